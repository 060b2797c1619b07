#include "platform/gmem.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/lasterror.h"
#include "platform/types.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace rv::gmem {
namespace {
std::atomic<unsigned> g_failCountdown{0};

bool InjectedFailure() {
  unsigned n = g_failCountdown.load();
  while (n != 0) {
    if (g_failCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}
}  // namespace

void FailNthAllocation(unsigned n) { g_failCountdown.store(n); }

#ifdef _WIN32

Handle Alloc(size_t size) {
  if (InjectedFailure()) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  return ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
}
Handle ReAlloc(Handle block, size_t size) {
  if (InjectedFailure()) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  return ::GlobalReAlloc(static_cast<HGLOBAL>(block), size, GMEM_MOVEABLE | GMEM_ZEROINIT);
}
void* Lock(Handle block) { return ::GlobalLock(static_cast<HGLOBAL>(block)); }
bool Unlock(Handle block) { return ::GlobalUnlock(static_cast<HGLOBAL>(block)) != 0; }
Handle Free(Handle block) { return ::GlobalFree(static_cast<HGLOBAL>(block)); }
size_t Size(Handle block) { return block ? ::GlobalSize(static_cast<HGLOBAL>(block)) : 0; }

#else

namespace {
constexpr uint32_t kMagic = 0x4B4C4247;  // "GBLK"
// The handle is the block header; its first data follows it in the same
// allocation (one allocation per message posted), and moves out only when
// the block is reallocated, so the handle never changes.
struct Block {
  uint32_t magic;
  unsigned lockCount;
  size_t size;
  unsigned char* data;
  bool separate;  // data allocated apart from the header
};
Block* FromHandle(Handle h) {
  auto* b = static_cast<Block*>(h);
  if (!b || b->magic != kMagic) return nullptr;
  return b;
}
unsigned char* InlineData(Block* b) { return reinterpret_cast<unsigned char*>(b) + sizeof(Block); }
}  // namespace

Handle Alloc(size_t size) {
  if (InjectedFailure()) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  if (size > SIZE_MAX - sizeof(Block) - 1) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  // operator new and a clear rather than calloc: glibc serves small
  // allocations from its per-thread cache, calloc never (and the compiler
  // turns malloc and a clear into calloc).
  const size_t bytes = sizeof(Block) + (size ? size : 1);
  void* raw = ::operator new(bytes, std::nothrow);
  if (!raw) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  std::memset(raw, 0, bytes);
  auto* b = static_cast<Block*>(raw);
  b->magic = kMagic;
  b->size = size;
  b->data = InlineData(b);
  return b;
}

Handle ReAlloc(Handle block, size_t size) {
  Block* b = FromHandle(block);
  if (!b) { SetLastErrorCode(kErrorInvalidHandle); return nullptr; }
  if (InjectedFailure()) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  // GMEM_MOVEABLE lets the block move even while locked; the lock count
  // stays with the handle.
  auto* data = static_cast<unsigned char*>(std::calloc(size ? size : 1, 1));
  if (!data) { SetLastErrorCode(kErrorNotEnoughMemory); return nullptr; }
  std::memcpy(data, b->data, size < b->size ? size : b->size);
  if (b->separate) std::free(b->data);
  b->data = data;
  b->separate = true;
  b->size = size;
  return b;
}

void* Lock(Handle block) {
  Block* b = FromHandle(block);
  if (!b) { SetLastErrorCode(kErrorInvalidHandle); return nullptr; }
  ++b->lockCount;
  return b->data;
}

bool Unlock(Handle block) {
  Block* b = FromHandle(block);
  if (!b || b->lockCount == 0) return false;
  return --b->lockCount != 0;
}

Handle Free(Handle block) {
  Block* b = FromHandle(block);
  if (!b) { SetLastErrorCode(kErrorInvalidHandle); return block; }
  b->magic = 0;
  if (b->separate) std::free(b->data);
  ::operator delete(b);
  return nullptr;
}

size_t Size(Handle block) {
  Block* b = FromHandle(block);
  return b ? b->size : 0;
}

#endif

}  // namespace rv::gmem
