// Container formats known by their signatures, and what a build without a
// format's library says; reading through the libraries is tested end to end
// on containers made by qemu-img and ewfacquire (tests/cli/test_containers.py).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "volume/container.h"

namespace rv {
namespace {

std::vector<uint8_t> Head(const void* signature, size_t n) {
  std::vector<uint8_t> h(512, 0);
  std::memcpy(h.data(), signature, n);
  return h;
}

ImageFormat FromHead(const std::vector<uint8_t>& head) {
  return ImageFormatFromSignature(head.data(), head.size(), nullptr, 0, 1 << 20);
}

// A VHD footer: "conectix", the disk's size at 48 and its type at 60, both
// big-endian.
std::vector<uint8_t> VhdFooter(uint64_t size, uint32_t type) {
  std::vector<uint8_t> f(512, 0);
  std::memcpy(f.data(), "conectix", 8);
  for (int i = 0; i < 8; ++i) f[48 + i] = static_cast<uint8_t>(size >> (56 - 8 * i));
  for (int i = 0; i < 4; ++i) f[60 + i] = static_cast<uint8_t>(type >> (24 - 8 * i));
  return f;
}

TEST(ContainerSignature, EachFormatByItsFirstBytes) {
  EXPECT_EQ(FromHead(Head("EVF\x09\x0D\x0A\xFF\x00", 8)), ImageFormat::Ewf);
  EXPECT_EQ(FromHead(Head("EVF2\x0D\x0A\x81\x00", 8)), ImageFormat::Ewf);
  EXPECT_EQ(FromHead(Head("vhdxfile", 8)), ImageFormat::Vhdx);
  EXPECT_EQ(FromHead(Head("conectix", 8)), ImageFormat::Vhd);  // a dynamic disk's leading copy
  EXPECT_EQ(FromHead(Head("KDMV", 4)), ImageFormat::Vmdk);
  EXPECT_EQ(FromHead(Head("COWD", 4)), ImageFormat::Vmdk);
  EXPECT_EQ(FromHead(Head("# Disk DescriptorFile\n", 22)), ImageFormat::Vmdk);
  EXPECT_EQ(FromHead(Head("QFI\xFB", 4)), ImageFormat::Qcow2);
}

TEST(ContainerSignature, NearMissesAndShortFilesAreRaw) {
  // An NTFS boot sector, a logical-evidence (L01) file, signatures one byte
  // off, and files shorter than a signature.
  EXPECT_EQ(FromHead(Head("\xEB\x52\x90NTFS    ", 11)), ImageFormat::Raw);
  EXPECT_EQ(FromHead(Head("LVF\x09\x0D\x0A\xFF\x00", 8)), ImageFormat::Raw);
  EXPECT_EQ(FromHead(Head("EVF\x09\x0D\x0A\xFF\x01", 8)), ImageFormat::Raw);
  EXPECT_EQ(FromHead(Head("QFI\xFA", 4)), ImageFormat::Raw);
  const uint8_t kd[] = {'K', 'D', 'M'};
  EXPECT_EQ(ImageFormatFromSignature(kd, sizeof kd, nullptr, 0, sizeof kd), ImageFormat::Raw);
  EXPECT_EQ(ImageFormatFromSignature(nullptr, 0, nullptr, 0, 0), ImageFormat::Raw);
}

TEST(ContainerSignature, FixedVhdOnlyWhenTheFooterMatchesTheFile) {
  const std::vector<uint8_t> mbr(512, 0);
  const uint64_t disk = 4 << 20;
  auto tail = VhdFooter(disk, 2);
  EXPECT_EQ(ImageFormatFromSignature(mbr.data(), 512, tail.data(), 512, disk + 512), ImageFormat::Vhd);
  // A raw image whose last sector merely holds the word, or a footer of
  // another size or type, stays raw.
  EXPECT_EQ(ImageFormatFromSignature(mbr.data(), 512, tail.data(), 512, disk), ImageFormat::Raw);
  tail = VhdFooter(disk, 3);
  EXPECT_EQ(ImageFormatFromSignature(mbr.data(), 512, tail.data(), 512, disk + 512), ImageFormat::Raw);
  tail = VhdFooter(disk, 2);
  EXPECT_EQ(ImageFormatFromSignature(mbr.data(), 512, tail.data(), 511, disk + 512), ImageFormat::Raw);
}

TEST(ContainerSignature, NamesAndLibraries) {
  EXPECT_STREQ(ImageFormatName(ImageFormat::Raw), "raw");
  EXPECT_STREQ(ImageFormatName(ImageFormat::Ewf), "E01");
  EXPECT_STREQ(ImageFormatLibrary(ImageFormat::Vhdx), "libvhdi");
  EXPECT_TRUE(ImageFormatBuiltIn(ImageFormat::Raw));
  // A format without its library is refused with a reason naming both.
  for (ImageFormat f : {ImageFormat::Ewf, ImageFormat::Vhd, ImageFormat::Vhdx, ImageFormat::Vmdk, ImageFormat::Qcow2}) {
    if (ImageFormatBuiltIn(f)) continue;
    std::string error;
    EXPECT_EQ(OpenContainerDisk(u"/nonexistent", f, error), nullptr);
    EXPECT_NE(error.find(ImageFormatLibrary(f)), std::string::npos) << error;
  }
}

TEST(ContainerSignature, ARawSourceIsNoContainer) {
  auto memory = MakeMemorySource(std::vector<uint8_t>(4096, 0), 512);
  EXPECT_EQ(SourceImageFormat(*memory), ImageFormat::Raw);
  EXPECT_EQ(ContainerSlice(*memory, 0, 0), nullptr);
}

}  // namespace
}  // namespace rv
