// Work buffers: movable blocks, resize semantics and the failure contract.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/gmem.h"
#include "volume/diaglog.h"

namespace rv {
namespace {

TEST(AllocGlobalBlock, ZeroSizeFailsAndLeavesExistingBlockAlone) {
  gmem::Handle block = nullptr;
  void* addr = nullptr;
  EXPECT_FALSE(AllocGlobalBlock(0, &block, &addr));
  EXPECT_EQ(block, nullptr);
  ASSERT_TRUE(AllocGlobalBlock(64, &block, &addr));
  static_cast<uint8_t*>(addr)[0] = 0x5A;
  EXPECT_FALSE(AllocGlobalBlock(0, &block, &addr));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(addr)[0], 0x5A);
  FreeGlobalBlock(&block, &addr);
}

TEST(AllocGlobalBlock, FirstAllocationIsZeroFilledAndLocked) {
  gmem::Handle block = nullptr;
  void* addr = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(4096, &block, &addr));
  ASSERT_NE(addr, nullptr);
  EXPECT_EQ(gmem::Size(block), 4096u);
  auto* p = static_cast<uint8_t*>(addr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
  FreeGlobalBlock(&block, &addr);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(addr, nullptr);
}

TEST(AllocGlobalBlock, SameSizeRelocksWithSameContents) {
  gmem::Handle block = nullptr;
  void* addr = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(128, &block, &addr));
  std::memset(addr, 0x11, 128);
  gmem::Unlock(block);
  addr = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(128, &block, &addr));
  ASSERT_NE(addr, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(addr)[127], 0x11);
  FreeGlobalBlock(&block, &addr);
}

TEST(AllocGlobalBlock, GrowingKeepsOldBytesZeroFillsNewAndMayMove) {
  gmem::Handle block = nullptr;
  void* addr = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(100, &block, &addr));
  std::memset(addr, 0xAB, 100);
  auto* old = static_cast<uint8_t*>(addr);
  uint8_t* inside = old + 40;  // a table pointer into the block
  ASSERT_TRUE(AllocGlobalBlock(65636, &block, &addr));
  auto* p = static_cast<uint8_t*>(addr);
  // Callers move their pointers by the distance the block moved.
  inside = p + (inside - old);
  EXPECT_EQ(*inside, 0xAB);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0xAB);
  for (int i = 100; i < 65636; ++i) ASSERT_EQ(p[i], 0) << i;
  FreeGlobalBlock(&block, &addr);
}

TEST(AllocGlobalBlock, FailedResizeLeavesCallerWithoutBlock) {
  gmem::Handle block = nullptr;
  void* addr = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(100, &block, &addr));
  gmem::FailNthAllocation(1);
  EXPECT_FALSE(AllocGlobalBlock(200, &block, &addr));
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(addr, nullptr);
  gmem::FailNthAllocation(0);
}

TEST(AllocGlobalBlock, WithoutAddressVariableLeavesBlockUnlocked) {
  gmem::Handle block = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(32, &block, nullptr));
  void* p = gmem::Lock(block);
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(gmem::Unlock(block));  // the only lock was ours
  gmem::Free(block);
}

}  // namespace
}  // namespace rv
