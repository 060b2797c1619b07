// The answers the NTFS on-disk layer gives in place of the file system:
// volume data, file records and the volume bitmap, checked against the
// structures of the test images and against the manifest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "format/ntfs_format.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "volume/dasd.h"
#include "format/le.h"
#include "volume/ondisk.h"

namespace rv {
namespace {

struct Image {
  std::shared_ptr<VolumeSource> source;
  nlohmann::json manifest;
};

Image Open(const std::string& name) {
  Image im;
  std::string path = test::ImagePath(name);
  if (path.empty()) return im;
  uint32_t err = 0;
  im.source = OpenImageSource(FromUtf8(path), 0, 0, err);
  im.manifest = test::ManifestImage(name);
  return im;
}

// Runs `check` on every NTFS test image that is unpacked, traced with its
// name; the test is skipped when there is none.
template <class Check>
void ForEachImage(Check check) {
  int seen = 0;
  for (const auto& name : test::NtfsImageNames()) {
    Image im = Open(name);
    if (!im.source) continue;
    ++seen;
    SCOPED_TRACE(name);
    check(im);
  }
  if (!seen) GTEST_SKIP() << "no NTFS test images unpacked";
}

struct VolumeDataFields {
  uint64_t serial, sectors, total, free, bytesPerSector, bytesPerCluster, recordSize, clustersPerRecord, mftValid,
      mftLcn, mft2Lcn, zoneStart, zoneEnd;
};

VolumeDataFields VolumeData(VolumeSource& s) {
  uint8_t out[96] = {};
  uint64_t info = 0;
  EXPECT_EQ(s.FsControl(FSCTL_GET_NTFS_VOLUME_DATA_CODE, nullptr, 0, out, 96, info), kStatusSuccess);
  EXPECT_EQ(info, 96u);
  Bytes b(out, 96);
  return {le64(b, 0),  le64(b, 8),  le64(b, 16), le64(b, 24), le32(b, 40), le32(b, 44), le32(b, 48),
          le32(b, 52), le64(b, 56), le64(b, 64), le64(b, 72), le64(b, 80), le64(b, 88)};
}

TEST(NtfsOnDisk, VolumeDataMatchesTheImages) {
  ForEachImage([](Image& im) {
    VolumeDataFields v = VolumeData(*im.source);
    EXPECT_EQ(v.total, im.manifest.value("cluster_count", 0ull));
    EXPECT_EQ(v.bytesPerCluster, im.manifest.value("cluster_size", 0ull));
    EXPECT_EQ(v.bytesPerSector, im.manifest.value("sector_size", 0ull));
    EXPECT_EQ(v.sectors * v.bytesPerSector / v.bytesPerCluster, v.total);
    EXPECT_TRUE(v.recordSize == 1024 || v.recordSize == 4096);
    EXPECT_EQ(v.clustersPerRecord, v.recordSize >= v.bytesPerCluster ? v.recordSize / v.bytesPerCluster : 0);
    EXPECT_GT(v.mftValid, 16 * v.recordSize);
    EXPECT_EQ(v.mftValid % v.recordSize, 0u);
    EXPECT_LT(v.mftLcn, v.total);
    EXPECT_LT(v.mft2Lcn, v.total);
    EXPECT_LE(v.zoneStart, v.zoneEnd);
    EXPECT_LT(v.zoneEnd, v.total);
    EXPECT_LT(v.free, v.total);
    uint64_t freeClusters = 0;
    ASSERT_TRUE(im.source->OnDisk().FreeClusters(freeClusters));
    EXPECT_EQ(freeClusters, v.free);
    // Too small a buffer is refused outright.
    uint8_t small[95];
    uint64_t info = 7;
    EXPECT_EQ(im.source->FsControl(FSCTL_GET_NTFS_VOLUME_DATA_CODE, nullptr, 0, small, 95, info),
              kStatusBufferTooSmall);
  });
}

// Every byte of the bitmap answer, the count of clear bits, and the
// clusters the manifest says a live file took again must agree.
TEST(NtfsOnDisk, VolumeBitmapAgreesWithFreeCountAndReusedClusters) {
  ForEachImage([](Image& im) {
    VolumeDataFields v = VolumeData(*im.source);
    std::vector<uint8_t> out(16 + (v.total + 7) / 8);
    uint64_t start = 0, info = 0;
    ASSERT_EQ(im.source->FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, &start, 8, out.data(),
                                   static_cast<uint32_t>(out.size()), info),
              kStatusSuccess);
    EXPECT_EQ(info, out.size());
    Bytes b(out.data(), out.size());
    EXPECT_EQ(le64(b, 0), 0u);
    EXPECT_EQ(le64(b, 8), v.total);
    uint64_t clear = 0;
    for (uint64_t c = 0; c < v.total; ++c) clear += !((out[16 + c / 8] >> (c % 8)) & 1);
    EXPECT_EQ(clear, v.free);
    // Cluster 0 holds the boot sector; the MFT's first cluster is in use.
    EXPECT_TRUE(out[16] & 1);
    EXPECT_TRUE((out[16 + v.mftLcn / 8] >> (v.mftLcn % 8)) & 1);
    for (const auto& d : im.manifest["deleted"])
      for (const auto& r : d["reused_clusters"])
        for (uint64_t c = r[0].get<uint64_t>(); c < r[0].get<uint64_t>() + r[1].get<uint64_t>(); ++c)
          EXPECT_TRUE((out[16 + c / 8] >> (c % 8)) & 1) << "cluster " << c;

    // A start is rounded down to a multiple of 8 and the answer runs to the
    // end of the volume.
    start = 13;
    std::vector<uint8_t> part(16 + 4);
    ASSERT_EQ(im.source->FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, &start, 8, part.data(),
                                   static_cast<uint32_t>(part.size()), info),
              kStatusBufferOverflow);
    EXPECT_EQ(info, part.size());
    EXPECT_EQ(le64(Bytes(part.data(), 16), 0), 8u);
    EXPECT_EQ(le64(Bytes(part.data(), 16), 8), v.total - 8);
    EXPECT_EQ(std::memcmp(part.data() + 16, out.data() + 17, 4), 0);
    EXPECT_EQ(im.source->FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, &start, 8, part.data(), 15, info),
              kStatusBufferTooSmall);
    start = v.total;
    EXPECT_EQ(im.source->FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, &start, 8, part.data(),
                                   static_cast<uint32_t>(part.size()), info),
              kStatusInvalidParameter);
  });
}

// A deleted file's record is free, so the request for it returns the
// nearest record in use below it; record 5 (the root) comes back as asked,
// fixed up.
TEST(NtfsOnDisk, FileRecordIsTheNearestInUseAtOrBelow) {
  ForEachImage([](Image& im) {
    VolumeDataFields v = VolumeData(*im.source);
    std::vector<uint8_t> out(41440);
    uint64_t number = 5, info = 0;
    ASSERT_EQ(im.source->FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 8, out.data(), 41440, info),
              kStatusSuccess);
    Bytes b(out.data(), out.size());
    EXPECT_EQ(le64(b, 0) & ntfs::kRecordNumberMask, 5u);
    EXPECT_EQ(le32(b, 8), v.recordSize);
    EXPECT_EQ(info, 12 + v.recordSize);
    Bytes rec = b.subspan(12, v.recordSize);
    EXPECT_EQ(le32(rec, 0), ntfs::kFileSignature);
    EXPECT_EQ(le16(rec, ntfs::kRecFlags) & 3, 3);  // in use, folder
    // Fixed up: the last word of every 512-byte stride is the saved one.
    const uint16_t usa = le16(rec, 4);
    EXPECT_EQ(le16(rec, 510), le16(rec, usa + 2));
    for (const auto& d : im.manifest["deleted"]) {
      number = d["mft_record"].get<uint64_t>();
      ASSERT_EQ(im.source->FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 8, out.data(), 41440, info),
                kStatusSuccess);
      const uint64_t got = le64(b, 0) & ntfs::kRecordNumberMask;
      EXPECT_LT(got, number) << d["path"];
      EXPECT_EQ(le16(rec, ntfs::kRecFlags) & 1, 1);
    }
    number = 1ull << 40;  // far past the MFT: the last record in use
    EXPECT_EQ(im.source->FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 8, out.data(), 41440, info),
              kStatusSuccess);
    EXPECT_LT(le64(b, 0) & ntfs::kRecordNumberMask, v.mftValid / v.recordSize);
    EXPECT_EQ(im.source->FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 8, out.data(), 12 + v.recordSize - 1,
                                   info),
              kStatusBufferTooSmall);
    EXPECT_EQ(im.source->FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 4, out.data(), 41440, info),
              kStatusInvalidParameter);
  });
}

// Asked in any order, with other requests between, every record number
// gets the same answer: itself when in use, else the answer for the number
// below it.
TEST(NtfsOnDisk, FileRecordAnswersDoNotDependOnTheOrderAsked) {
  ForEachImage([](Image& im) {
    const VolumeDataFields v = VolumeData(*im.source);
    const uint64_t count = v.mftValid / v.recordSize;
    std::vector<uint8_t> out(12 + v.recordSize);
    auto answer = [&](uint64_t number) {
      uint64_t info = 0;
      EXPECT_EQ(im.source->FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 8, out.data(),
                                     static_cast<uint32_t>(out.size()), info),
                kStatusSuccess);
      return le64(Bytes(out.data(), out.size()), 0) & ntfs::kRecordNumberMask;
    };
    std::vector<uint64_t> inOrder(count);
    for (uint64_t n = 0; n < count; ++n) {
      inOrder[n] = answer(n);
      ASSERT_TRUE(inOrder[n] == n || (n > 0 && inOrder[n] == inOrder[n - 1])) << n;
    }
    std::vector<uint64_t> order(count);
    for (uint64_t n = 0; n < count; ++n) order[n] = n;
    std::srand(7);
    for (uint64_t i = count; i > 1; --i) std::swap(order[i - 1], order[static_cast<uint64_t>(std::rand()) % i]);
    for (uint64_t i = 0; i < count; ++i) {
      if (i % 17 == 0) VolumeData(*im.source);
      ASSERT_EQ(answer(order[i]), inOrder[order[i]]) << order[i];
    }
  });
}

}  // namespace
}  // namespace rv
