// Cuts the blocks of a sequential pass into clusters: cluster k lies at
// `base + k * size`. A cluster that straddles two contiguous blocks is put
// together; one whose block is followed by a gap in the pass (a cluster the
// pass skipped) is dropped, never padded.
#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

#include "format/le.h"

namespace rv::lost {

class ClusterUnits {
 public:
  ClusterUnits(uint64_t base, uint64_t size) : base_(base), size_(size == 0 ? 1 : size) {}

  // Calls onCluster(index, bytes) for every whole cluster the block
  // completes, in order.
  template <typename OnCluster>
  void Feed(uint64_t offset, Bytes block, OnCluster&& onCluster) {
    if (!pending_.empty() && offset != pendingEnd_) pending_.clear();
    size_t pos = 0;
    if (offset < base_) {
      if (base_ - offset >= block.size()) return;
      pos = static_cast<size_t>(base_ - offset);
    }
    while (pos < block.size()) {
      const uint64_t at = offset + pos;
      if (!pending_.empty()) {
        const size_t take = std::min<size_t>(block.size() - pos, static_cast<size_t>(size_ - pending_.size()));
        pending_.insert(pending_.end(), block.begin() + pos, block.begin() + pos + take);
        pos += take;
        pendingEnd_ = offset + pos;
        if (pending_.size() == size_) {
          onCluster(pendingIndex_, Bytes(pending_.data(), pending_.size()));
          pending_.clear();
        }
        continue;
      }
      const uint64_t into = (at - base_) % size_;
      if (into != 0) {  // a block starting inside a cluster: skip to the next
        pos += static_cast<size_t>(std::min<uint64_t>(size_ - into, block.size() - pos));
        continue;
      }
      const uint64_t index = (at - base_) / size_;
      if (block.size() - pos >= size_) {
        onCluster(index, block.subspan(pos, static_cast<size_t>(size_)));
        pos += static_cast<size_t>(size_);
      } else {
        pending_.assign(block.begin() + pos, block.end());
        pendingIndex_ = index;
        pendingEnd_ = offset + block.size();
        pos = block.size();
      }
    }
  }

 private:
  uint64_t base_, size_;
  std::vector<uint8_t> pending_;
  uint64_t pendingIndex_ = 0, pendingEnd_ = 0;
};

}  // namespace rv::lost
