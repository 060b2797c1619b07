// Refusing destinations on the volume being searched.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/samevolume.h"
#include "test_support.h"

namespace rv {
namespace {

#ifndef _WIN32
TEST(DestinationIsOnVolume, FileSystemMountedFromTheImageIsRefused) {
  test::TempDir tmp;
  std::string image = tmp.path() + "/disk.img";
  std::ofstream(image) << std::string(4096, '\0');
  std::string mnt = tmp.path() + "/mnt";
  std::string why;
  // As ntfs-3g lists a FUSE mount of an image file; blanks escaped.
  std::string info = "36 25 0:45 / " + mnt + " rw,relatime shared:1 - fuseblk " + image + " rw\n";
  std::filesystem::create_directory(mnt);
  EXPECT_TRUE(DestinationIsOnVolume(mnt + "/recovered/deeper", image, info, why));
  EXPECT_NE(why.find(mnt), std::string::npos);
  // Another image mounted there is no reason to refuse.
  std::string other = tmp.path() + "/other.img";
  std::ofstream(other) << "x";
  std::string info2 = "36 25 0:45 / " + mnt + " rw - fuseblk " + other + " rw\n";
  EXPECT_FALSE(DestinationIsOnVolume(mnt + "/recovered", image, info2, why));
  EXPECT_FALSE(DestinationIsOnVolume(mnt + "/recovered", image, "", why));
}

TEST(DestinationIsOnVolume, EscapedMountPoints) {
  test::TempDir tmp;
  std::string image = tmp.path() + "/a.img";
  std::ofstream(image) << "x";
  std::string mnt = tmp.path() + "/with space";
  std::filesystem::create_directory(mnt);
  std::string escaped = tmp.path() + "/with\\040space";
  std::string info = "1 2 0:1 / " + escaped + " rw - fuseblk " + image + " rw\n";
  std::string why;
  EXPECT_TRUE(DestinationIsOnVolume(mnt, image, info, why));
}

// exfat-fuse mounts an image only through a loop device; its mount lists the
// loop device, which the image backs.
TEST(DestinationIsOnVolume, ExfatFuseMountThroughALoopDeviceIsRefused) {
  if (::geteuid() != 0 || ::access("/dev/fuse", F_OK) != 0 || std::system("command -v mount.exfat-fuse >/dev/null") != 0 ||
      std::system("command -v mkfs.exfat >/dev/null") != 0)
    GTEST_SKIP() << "mounting with exfat-fuse needs root, /dev/fuse, exfatprogs and exfat-fuse";
  test::TempDir tmp;
  const std::string image = tmp.path() + "/ex.img", mnt = tmp.path() + "/mnt";
  std::filesystem::create_directory(mnt);
  const std::string make = "truncate -s 8M " + image + " && mkfs.exfat " + image + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);
  FILE* p = ::popen(("losetup -f --show " + image + " 2>/dev/null").c_str(), "r");
  char loop[64] = {};
  if (!p || !std::fgets(loop, sizeof loop, p) || ::pclose(p) != 0) GTEST_SKIP() << "no loop device here";
  std::string dev(loop);
  dev.erase(dev.find_last_not_of("\n") + 1);
  if (std::system(("mount.exfat-fuse " + dev + " " + mnt + " >/dev/null 2>&1").c_str()) != 0) {
    std::system(("losetup -d " + dev).c_str());
    GTEST_SKIP() << "exfat-fuse could not mount here";
  }
  std::string why;
  const bool refused = DestinationIsOnVolume(mnt + "/rescued", image, why);
  std::system(("fusermount -u " + mnt + "; losetup -d " + dev).c_str());
  EXPECT_TRUE(refused);
  EXPECT_FALSE(why.empty());
}
#endif

TEST(DestinationIsOnVolume, UnrelatedDestinationIsAccepted) {
  test::TempDir tmp;
  std::string image = tmp.path() + "/b.img";
  std::ofstream(image) << "x";
  std::string why;
  EXPECT_FALSE(DestinationIsOnVolume(tmp.path() + "/out", image, why));
}

}  // namespace
}  // namespace rv
