// The clusters a chain walk has taken, kept as stretches of adjacent
// clusters keyed by their first: a sound chain names each cluster once, so
// a cluster already held means the chain loops. A file of a million
// clusters in a few fragments costs a few stretches, not a million entries.
#pragma once
#include <cstdint>
#include <iterator>
#include <map>

namespace rv {

class ClusterStretches {
 public:
  ClusterStretches() = default;
  // `last_` points into `taken_`: a copy would point into the original.
  ClusterStretches(const ClusterStretches&) = delete;
  ClusterStretches& operator=(const ClusterStretches&) = delete;

  bool Contains(uint64_t cluster) const {
    auto it = taken_.upper_bound(cluster);
    if (it == taken_.begin()) return false;
    --it;
    return cluster - it->first < it->second;
  }
  // Adds a cluster the chain moves on to; true when it continues the
  // stretch added last (the chain did not break there).
  bool Add(uint64_t cluster) {
    if (last_ != taken_.end() && last_->first + last_->second == cluster) {
      ++last_->second;
      return true;
    }
    last_ = taken_.emplace(cluster, 1).first;
    return false;
  }

 private:
  std::map<uint64_t, uint64_t> taken_;
  std::map<uint64_t, uint64_t>::iterator last_ = taken_.end();
};

}  // namespace rv
