// Our LZNT1 decoder against the system's RtlDecompressBuffer on the same
// compression units (Windows builds, run under Wine).
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <vector>

#include "format/lznt1.h"

namespace rv {
namespace {

using RtlCompressFn = LONG(WINAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, ULONG, PULONG, PVOID);
using RtlDecompressFn = LONG(WINAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);
using RtlWorkSpaceFn = LONG(WINAPI*)(USHORT, PULONG, PULONG);

template <typename Fn>
Fn Ntdll(const char* name) {
  FARPROC p = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
  Fn fn;
  static_assert(sizeof fn == sizeof p);
  std::memcpy(&fn, &p, sizeof fn);
  return fn;
}

// A 64 KiB compression unit of text-like data with repeats at every distance.
std::vector<uint8_t> Unit(unsigned seed) {
  std::mt19937 rnd(seed);
  std::vector<uint8_t> u;
  const char* words[] = {"cluster ", "record ", "NTFS ", "deleted ", "file ", "\r\n", "0000", "zzzz"};
  while (u.size() < 65536) {
    if (rnd() % 5 == 0 && u.size() > 16) {
      size_t back = 1 + rnd() % std::min<size_t>(u.size(), 4000);
      size_t len = 3 + rnd() % 60;
      for (size_t i = 0; i < len && u.size() < 65536; ++i) u.push_back(u[u.size() - back]);
    } else if (seed % 3 == 0) {
      u.push_back(static_cast<uint8_t>(rnd()));  // incompressible stretches
    } else {
      for (const char* w = words[rnd() % 8]; *w && u.size() < 65536; ++w) u.push_back(static_cast<uint8_t>(*w));
    }
  }
  return u;
}

TEST(Lznt1AgainstSystem, SameBytesAsRtlDecompressBuffer) {
  auto compress = Ntdll<RtlCompressFn>("RtlCompressBuffer");
  auto decompress = Ntdll<RtlDecompressFn>("RtlDecompressBuffer");
  auto workspace = Ntdll<RtlWorkSpaceFn>("RtlGetCompressionWorkSpaceSize");
  ASSERT_TRUE(compress && decompress && workspace);
  ULONG ws = 0, fragment = 0;
  ASSERT_EQ(workspace(COMPRESSION_FORMAT_LZNT1, &ws, &fragment), 0);
  std::vector<uint8_t> work(ws);
  for (unsigned seed = 0; seed < 24; ++seed) {
    SCOPED_TRACE(seed);
    std::vector<uint8_t> unit = Unit(seed);
    std::vector<uint8_t> packed(unit.size() + 4096);
    ULONG packedSize = 0;
    ASSERT_EQ(compress(COMPRESSION_FORMAT_LZNT1, unit.data(), static_cast<ULONG>(unit.size()), packed.data(),
                       static_cast<ULONG>(packed.size()), 4096, &packedSize, work.data()),
              0);
    std::vector<uint8_t> sys(unit.size()), ours(unit.size());
    ULONG sysSize = 0;
    ASSERT_EQ(decompress(COMPRESSION_FORMAT_LZNT1, sys.data(), static_cast<ULONG>(sys.size()), packed.data(), packedSize,
                         &sysSize),
              0);
    size_t produced = 0;
    ASSERT_TRUE(ntfs::Lznt1Decompress(Bytes(packed.data(), packedSize), MutableBytes(ours.data(), ours.size()), produced));
    EXPECT_EQ(produced, sysSize);
    EXPECT_EQ(ours, sys);
    EXPECT_EQ(ours, unit);
  }
}

TEST(Lznt1AgainstSystem, TruncatedUnitsDecodeAsFarAsTheSystemDoesOrFail) {
  auto compress = Ntdll<RtlCompressFn>("RtlCompressBuffer");
  auto decompress = Ntdll<RtlDecompressFn>("RtlDecompressBuffer");
  auto workspace = Ntdll<RtlWorkSpaceFn>("RtlGetCompressionWorkSpaceSize");
  ULONG ws = 0, fragment = 0;
  workspace(COMPRESSION_FORMAT_LZNT1, &ws, &fragment);
  std::vector<uint8_t> work(ws);
  std::vector<uint8_t> unit = Unit(7);
  std::vector<uint8_t> packed(unit.size() + 4096);
  ULONG packedSize = 0;
  ASSERT_EQ(compress(COMPRESSION_FORMAT_LZNT1, unit.data(), static_cast<ULONG>(unit.size()), packed.data(),
                     static_cast<ULONG>(packed.size()), 4096, &packedSize, work.data()),
            0);
  for (ULONG cut : {packedSize / 3, packedSize / 2, packedSize - 1}) {
    std::vector<uint8_t> sys(unit.size()), ours(unit.size());
    ULONG sysSize = 0;
    LONG status = decompress(COMPRESSION_FORMAT_LZNT1, sys.data(), static_cast<ULONG>(sys.size()), packed.data(), cut,
                             &sysSize);
    size_t produced = 0;
    bool ok = ntfs::Lznt1Decompress(Bytes(packed.data(), cut), MutableBytes(ours.data(), ours.size()), produced);
    // Where both succeed they agree byte for byte; a cut chunk never
    // passes as a clean unit with us.
    if (ok && status == 0) {
      EXPECT_EQ(produced, sysSize);
      EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + produced, sys.begin()));
    }
    EXPECT_LE(produced, unit.size());
  }
}

}  // namespace
}  // namespace rv
#endif
