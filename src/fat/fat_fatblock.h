// One cluster-sized block of the FAT in memory at a time: the entry of
// cluster c lies in block c / E at index c mod E (E = entries per block).
#pragma once
#include <cstdint>

#include "platform/gmem.h"

namespace rv {

struct FueVolumeData;

class FatBlockCache {
 public:
  enum class Result { Ok, ReadFailed, LockFailed };
  explicit FatBlockCache(const FueVolumeData& volume);
  ~FatBlockCache();
  FatBlockCache(const FatBlockCache&) = delete;
  FatBlockCache& operator=(const FatBlockCache&) = delete;

  // 0 for a file-system kind other than FAT16 and FAT32.
  uint32_t EntriesPerBlock() const;
  // The entry of `cluster`: 16 bits on FAT16, the low 28 bits on FAT32.
  Result Entry(uint64_t cluster, uint32_t& value);
  bool IsEndOfChain(uint32_t value) const;
  void Release();

 private:
  const FueVolumeData& volume_;
  gmem::Handle block_ = nullptr;
  void* address_ = nullptr;
  uint64_t blockNumber_ = UINT64_MAX;
};

}  // namespace rv
