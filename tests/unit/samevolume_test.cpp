// Refusing destinations on the volume being searched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
