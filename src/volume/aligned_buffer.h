// A page-aligned byte buffer for reads from the volume: the kernel copies
// into a page-aligned buffer several times faster than into one that is
// not (malloc's large blocks start 16 bytes into a page).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace rv {

class AlignedBuffer {
 public:
  static constexpr size_t kAlignment = 4096;
  AlignedBuffer() = default;
  explicit AlignedBuffer(size_t bytes) : bytes_(bytes), data_(new (std::align_val_t(kAlignment)) uint8_t[bytes]) {}
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return bytes_; }
  bool empty() const { return bytes_ == 0; }

 private:
  struct Delete {
    void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t(kAlignment)); }
  };
  size_t bytes_ = 0;
  std::unique_ptr<uint8_t[], Delete> data_;
};

}  // namespace rv
