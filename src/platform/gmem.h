// Movable, zero-filled global memory blocks (GMEM_MOVEABLE | GMEM_ZEROINIT).
// On Windows these are the real GlobalAlloc family. Elsewhere a small layer
// keeps the same contract: an opaque handle, lock/unlock, a resize that may
// move the block (this layer always moves it, so that callers that forget to
// relocate their pointers fail in tests rather than in the field), and zero
// fill of every byte that a resize adds.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rv::gmem {

using Handle = void*;  // HGLOBAL on Windows; null means "no block"

Handle Alloc(size_t size);                // null on failure (last error set)
Handle ReAlloc(Handle block, size_t size); // null on failure; old block kept
void* Lock(Handle block);                  // null on failure
bool Unlock(Handle block);                 // true while still locked
Handle Free(Handle block);                 // null on success
size_t Size(Handle block);                 // 0 for a null or bad handle

// Frees the block a variable holds when the scope ends, on every way out of
// it: an exception from an allocation that failed further on included. A
// block handed on to someone else is released from the guard first.
class ScopedBlock {
 public:
  explicit ScopedBlock(Handle& block) : block_(&block) {}
  ~ScopedBlock() {
    if (block_ && *block_) *block_ = Free(*block_);
  }
  ScopedBlock(const ScopedBlock&) = delete;
  ScopedBlock& operator=(const ScopedBlock&) = delete;
  void Release() { block_ = nullptr; }

 private:
  Handle* block_;
};

// Test hook: the n-th allocation or resize from now on fails (0 = never).
void FailNthAllocation(unsigned n);

}  // namespace rv::gmem
