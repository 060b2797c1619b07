// Partition tables of whole-disk images: MBR with logical partitions, GPT,
// and the guards against looping extended-partition chains.
#include <gtest/gtest.h>

#include <cstring>

#include "format/le.h"
#include "volume/partition.h"

namespace rv {
namespace {

void MbrEntry(std::vector<uint8_t>& d, size_t table, int i, uint8_t type, uint32_t lba, uint32_t count) {
  MutableBytes b(d.data(), d.size());
  size_t off = table + 446 + 16 * i;
  b[off + 4] = type;
  put32(b, off + 8, lba);
  put32(b, off + 12, count);
  put16(b, table + 510, 0xAA55);
}

TEST(PartitionTable, MbrPrimaryAndLogicalPartitions) {
  std::vector<uint8_t> d(64 * 512, 0);
  MbrEntry(d, 0, 0, 0x07, 2, 10);
  MbrEntry(d, 0, 1, 0x05, 20, 40);  // extended, EBRs at 20 and 30
  MbrEntry(d, 20 * 512, 0, 0x0B, 1, 5);
  MbrEntry(d, 20 * 512, 1, 0x05, 10, 10);
  MbrEntry(d, 30 * 512, 0, 0x83, 2, 3);
  auto src = MakeMemorySource(d, 512);
  PartitionTable t = ReadPartitionTable(*src);
  EXPECT_EQ(t.scheme, "MBR");
  ASSERT_EQ(t.partitions.size(), 3u);
  EXPECT_EQ(t.partitions[0].number, 1u);
  EXPECT_EQ(t.partitions[0].startBytes, 2u * 512);
  EXPECT_EQ(t.partitions[0].sizeBytes, 10u * 512);
  EXPECT_EQ(t.partitions[0].type, "0x07");
  EXPECT_EQ(t.partitions[1].number, 5u);
  EXPECT_EQ(t.partitions[1].startBytes, 21u * 512);
  EXPECT_EQ(t.partitions[2].number, 6u);
  EXPECT_EQ(t.partitions[2].startBytes, 32u * 512);
}

// Each slot of an extended boot record is read by its type: a logical
// partition in the second slot is a partition (not a link far past the
// disk), a link may sit in any slot, and an entry outside the disk is none.
TEST(PartitionTable, ExtendedRecordSlotsReadByTheirType) {
  std::vector<uint8_t> d(128 * 512, 0);
  MbrEntry(d, 0, 0, 0x0C, 2, 10);
  MbrEntry(d, 0, 1, 0x0F, 20, 100);     // extended: records at 20 and 70
  MbrEntry(d, 20 * 512, 0, 0x07, 1, 9);   // logical at 21
  MbrEntry(d, 20 * 512, 1, 0x0B, 11, 9);  // logical at 31, in the second slot
  MbrEntry(d, 20 * 512, 2, 0x83, 200, 9); // past the end of the disk
  MbrEntry(d, 20 * 512, 3, 0x05, 50, 20); // link to the record at 70
  MbrEntry(d, 70 * 512, 0, 0x06, 2, 8);   // logical at 72
  MbrEntry(d, 70 * 512, 1, 0x05, 0, 20);  // link back to the first record: read once
  auto src = MakeMemorySource(d, 512);
  PartitionTable t = ReadPartitionTable(*src);
  std::vector<std::pair<uint32_t, uint64_t>> got;
  for (const auto& p : t.partitions) got.push_back({p.number, p.startBytes / 512});
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint64_t>>{{1, 2}, {5, 21}, {6, 31}, {7, 72}}));
}

TEST(PartitionTable, LoopingExtendedChainEnds) {
  std::vector<uint8_t> d(64 * 512, 0);
  MbrEntry(d, 0, 0, 0x0F, 10, 40);
  MbrEntry(d, 10 * 512, 0, 0x07, 1, 2);
  MbrEntry(d, 10 * 512, 1, 0x05, 0, 0);
  // The next-record link points back at the first record (offset 0 is
  // "no next"; use an explicit self-reference through a second record).
  MbrEntry(d, 10 * 512, 1, 0x05, 5, 1);
  MbrEntry(d, 15 * 512, 0, 0x07, 1, 2);
  MbrEntry(d, 15 * 512, 1, 0x05, 0xFFFFFFFF - 9, 1);  // wraps around, far outside
  auto src = MakeMemorySource(d, 512);
  PartitionTable t = ReadPartitionTable(*src);
  EXPECT_EQ(t.partitions.size(), 2u);
}

TEST(PartitionTable, VolumeBootSectorIsNotAnMbr) {
  std::vector<uint8_t> d(16 * 512, 0);
  d[0] = 0xEB;
  d[1] = 0x52;
  d[2] = 0x90;
  std::memcpy(&d[3], "NTFS    ", 8);
  MutableBytes b(d.data(), d.size());
  put16(b, 0x0B, 512);
  b[0x0D] = 1;
  put64(b, 0x28, 15);
  put64(b, 0x30, 4);
  put64(b, 0x38, 8);
  b[0x40] = 2;
  put16(b, 510, 0xAA55);
  auto src = MakeMemorySource(d, 512);
  EXPECT_EQ(ReadPartitionTable(*src).scheme, "");
}

TEST(PartitionTable, GptEntries) {
  std::vector<uint8_t> d(128 * 512, 0);
  MbrEntry(d, 0, 0, 0xEE, 1, 127);
  MutableBytes b(d.data(), d.size());
  std::memcpy(&d[512], "EFI PART", 8);
  put64(b, 512 + 72, 2);    // entries at LBA 2
  put32(b, 512 + 80, 4);    // 4 entries
  put32(b, 512 + 84, 128);  // of 128 bytes
  // Entry 2 (the second slot): Microsoft basic data, LBA 34..99.
  const uint8_t basic[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                             0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  size_t e = 2 * 512 + 128;
  std::memcpy(&d[e], basic, 16);
  put64(b, e + 32, 34);
  put64(b, e + 40, 99);
  auto src = MakeMemorySource(d, 512);
  PartitionTable t = ReadPartitionTable(*src);
  EXPECT_EQ(t.scheme, "GPT");
  ASSERT_EQ(t.partitions.size(), 1u);
  EXPECT_EQ(t.partitions[0].number, 2u);
  EXPECT_EQ(t.partitions[0].startBytes, 34u * 512);
  EXPECT_EQ(t.partitions[0].sizeBytes, 66u * 512);
  EXPECT_EQ(t.partitions[0].description, "Microsoft basic data");
  EXPECT_EQ(t.partitions[0].type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
}

}  // namespace
}  // namespace rv
