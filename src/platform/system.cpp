#include "platform/system.h"

#include <cstdlib>
#include <ctime>
#include <string>

#ifdef _WIN32
#include "platform/winapi.h"
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace rv {
namespace {
constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600LL;
}  // namespace

uint64_t UnixToFileTime(int64_t seconds) {
  return static_cast<uint64_t>(seconds + kUnixEpochInFileTimeSeconds) * 10000000ULL;
}

int64_t FileTimeToUnix(uint64_t fileTime) {
  return static_cast<int64_t>(fileTime / 10000000ULL) - kUnixEpochInFileTimeSeconds;
}

#ifdef _WIN32

bool FileTimeToLocal(uint64_t fileTime, CalendarTime& out) {
  FILETIME ft{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&ft, &utc)) return false;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return false;
  out = {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
  return true;
}

bool FileTimeToUtc(uint64_t fileTime, CalendarTime& out) {
  FILETIME ft{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &st)) return false;
  out = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  return true;
}

CalendarTime LocalNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

uint32_t OsMajorVersion() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto fn = win::ProcAddress<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  OSVERSIONINFOW vi{};
  vi.dwOSVersionInfoSize = sizeof vi;
  if (fn && fn(&vi) == 0) return vi.dwMajorVersion;
  return 10;
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#else

namespace {
bool FromTm(const std::tm& tm, CalendarTime& out) {
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  return true;
}
}  // namespace

bool FileTimeToLocal(uint64_t fileTime, CalendarTime& out) {
  const int64_t unix = FileTimeToUnix(fileTime);
  std::time_t t = static_cast<std::time_t>(unix);
  // Files deleted together were mostly written within the same minute, and
  // localtime_r is dear: the last minute converted is kept, with the TZ it
  // was converted under. It serves only when both ends of the minute have
  // one whole-minute offset, so no zone change falls inside it.
  struct MinuteCache {
    int64_t minute = INT64_MIN;
    bool zoneSet = false;
    std::string zone;
    CalendarTime start;
  };
  thread_local MinuteCache cache;
  const char* zone = std::getenv("TZ");
  const int64_t minute = unix >= 0 ? unix / 60 : -((59 - unix) / 60);
  const bool sameZone = (zone != nullptr) == cache.zoneSet && (!zone || cache.zone == zone);
  if (minute == cache.minute && sameZone) {
    out = cache.start;
    out.second = static_cast<int>(unix - minute * 60);
    return true;
  }
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  FromTm(tm, out);
  std::time_t first = static_cast<std::time_t>(minute * 60), last = first + 59;
  std::tm a{}, b{};
  if (localtime_r(&first, &a) && localtime_r(&last, &b) && a.tm_gmtoff == b.tm_gmtoff && a.tm_gmtoff % 60 == 0) {
    cache.minute = minute;
    cache.zoneSet = zone != nullptr;
    cache.zone = zone ? zone : "";
    FromTm(a, cache.start);
  } else {
    cache.minute = INT64_MIN;
  }
  return true;
}

bool FileTimeToUtc(uint64_t fileTime, CalendarTime& out) {
  std::time_t t = static_cast<std::time_t>(FileTimeToUnix(fileTime));
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return false;
  return FromTm(tm, out);
}

CalendarTime LocalNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  CalendarTime c;
  FromTm(tm, c);
  return c;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }
uint32_t OsMajorVersion() { return 10; }
bool RunningUnderWine() { return false; }

#endif

}  // namespace rv
