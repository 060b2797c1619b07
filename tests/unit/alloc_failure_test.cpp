// Allocation failures inside the engines: whichever allocation fails, the
// engine shell returns with its usual closing messages, no exception
// reaches the caller (a window procedure, in the window program), and no
// block is left behind (the sanitizer build checks for leaks).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "channel/packet.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
#include "platform/text.h"
#include "test_support.h"
#include "volume/osvolume.h"


namespace {
// The allocation to fail, counted down by every operator new of the test
// program; negative: none.
std::atomic<long> g_failIn{-1};
}  // namespace

void* operator new(std::size_t n) {
  long k = g_failIn.load(std::memory_order_relaxed);
  if (k >= 0 && g_failIn.fetch_sub(1) == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
// Every form releases through free: the sanitizers see malloc and free pair.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace rv {
namespace {

struct Run {
  bool threw = false;
  uint32_t lastId = 0;
};

template <class Shell>
Run RunFailing(long failIn, Shell&& shell) {
  Run r;
  test::MessageRecorder rec;
  g_failIn.store(failIn);
  try {
    shell();
  } catch (...) {
    r.threw = true;
  }
  g_failIn.store(-1);
  if (!rec.messages.empty()) r.lastId = rec.messages.back().id;
  return r;
}

void CheckEveryFailurePoint(const char* image, bool ntfs) {
  const std::string path = test::ImagePath(image);
  if (path.empty()) GTEST_SKIP() << image << " not unpacked";
  uint32_t err = 0;
  const Text vol = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err));
  SearchRequestFields req{1, u"", u"\\", vol + u"\\"};
  test::TempDir dir;
  // The records of the first few deleted files, for the undelete request.
  std::vector<int32_t> records;
  std::vector<FatUndeleteRecord> fatRecords;
  {
    test::MessageRecorder rec;
    if (ntfs) NueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
    else FueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
    for (const auto& m : rec.messages)
      if (m.id == CM_FILE_FOUND && records.size() < 4) {
        Bytes b(m.payload.data(), m.payload.size());
        records.push_back(static_cast<int32_t>(le32(b, 0)));
        if (!ntfs) {
          uint32_t off = 12;
          Text time, p;
          ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), off, time);
          ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), off, p);
          fatRecords.push_back({le32(b, 0), le32(b, 4), p});
        }
      }
  }
  ASSERT_FALSE(records.empty());
  const auto search = RequestPacket::Wrap(BuildSearchRequest(req));
  const auto undelete = RequestPacket::Wrap(ntfs ? BuildNtfsUndeleteRequest(dir.EnginePath(), records)
                                                 : BuildFatUndeleteRequest(dir.EnginePath(), fatRecords));
  // Each of the first 200 allocations of a search and a recovery, then
  // every 17th further on.
  for (long n = 0; n < 2500; n += n < 200 ? 1 : 17) {
    Run s = RunFailing(n, [&] {
      ntfs ? NueDel::GetDeletedFileHeadersShell(search) : FueDel::GetDeletedFileHeadersShell(search);
    });
    ASSERT_FALSE(s.threw) << "search, allocation " << n;
    EXPECT_EQ(s.lastId, CM_SEARCH_FINISHED) << "search, allocation " << n;
    Run u = RunFailing(n, [&] {
      ntfs ? NueUdel::UndeleteFileShell(undelete) : FueUdel::UndeleteFileShell(undelete);
    });
    ASSERT_FALSE(u.threw) << "undelete, allocation " << n;
    EXPECT_TRUE(u.lastId == CM_UNDELETE_REPORT || u.lastId == CM_UNDELETE_FINISHED) << "undelete, allocation " << n;
    // Whatever failed, no file is left half-written: each one left has a name.
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
      ASSERT_EQ(e.path().filename().string().rfind("~rv", 0), std::string::npos) << e.path();
  }
  if (ntfs) FreeNueVolumeDataStructures(TheNueVolume());
  DetachVolume(vol);
}

TEST(AllocationFailure, NtfsShellsEndWithTheirMessages) { CheckEveryFailurePoint("ntfs-4k.img", true); }
TEST(AllocationFailure, FatShellsEndWithTheirMessages) { CheckEveryFailurePoint("fat16-2k.img", false); }

}  // namespace
}  // namespace rv
