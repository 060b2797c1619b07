#include "platform/system.h"
#include "platform/text.h"

#include <ctime>

#ifdef _WIN32
#include "platform/winapi.h"
#else
#include <csignal>
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

bool LocalToFileTime(const CalendarTime& local, uint64_t& fileTime) {
  SYSTEMTIME l{static_cast<WORD>(local.year), static_cast<WORD>(local.month), 0, static_cast<WORD>(local.day),
               static_cast<WORD>(local.hour), static_cast<WORD>(local.minute), static_cast<WORD>(local.second), 0};
  SYSTEMTIME utc;
  FILETIME ft;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &l, &utc) || !SystemTimeToFileTime(&utc, &ft)) return false;
  fileTime = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return true;
}

CalendarTime LocalNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

namespace {
void (*g_interruptHandler)() = nullptr;
BOOL WINAPI ConsoleHandler(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && g_interruptHandler) {
    g_interruptHandler();
    return TRUE;
  }
  return FALSE;
}
}  // namespace

void OnInterrupt(void (*handler)()) {
  g_interruptHandler = handler;
  SetConsoleCtrlHandler(ConsoleHandler, handler != nullptr);
}

bool ComputerName(Text& out) {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return false;
  out.assign(name, name + size);
  return true;
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }
uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

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

bool LocalToFileTime(const CalendarTime& local, uint64_t& fileTime) {
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;
  const std::time_t secs = std::mktime(&tm);
  if (secs == static_cast<std::time_t>(-1) && tm.tm_year != 69) return false;
  fileTime = UnixToFileTime(secs);
  return true;
}

bool FileTimeToLocal(uint64_t fileTime, CalendarTime& out) {
  const int64_t unix = FileTimeToUnix(fileTime);
  std::time_t t = static_cast<std::time_t>(unix);
  // Files deleted together were mostly written within the same minute, and
  // localtime_r is dear: the last minute converted is kept. localtime_r
  // follows the zone of the last tzset (the first call makes one), and
  // tzset publishes that zone in tzname, timezone and daylight: the minute
  // is kept for those. It serves only when both ends of the minute have one
  // whole-minute offset, so no change of offset falls inside it.
  struct MinuteCache {
    int64_t minute = INT64_MIN;
    const char* names[2] = {nullptr, nullptr};
    long zone = 0;
    int daylight = 0;
    CalendarTime start;
  };
  thread_local MinuteCache cache;
  const int64_t minute = unix >= 0 ? unix / 60 : -((59 - unix) / 60);
  if (minute == cache.minute && cache.names[0] == tzname[0] && cache.names[1] == tzname[1] &&
      cache.zone == timezone && cache.daylight == daylight) {
    out = cache.start;
    out.second = static_cast<int>(unix - minute * 60);
    return true;
  }
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return false;
  FromTm(tm, out);
  std::time_t first = static_cast<std::time_t>(minute * 60), last = first + 59;
  std::tm a{}, b{};
  cache.minute = INT64_MIN;
  if (localtime_r(&first, &a) && localtime_r(&last, &b) && a.tm_gmtoff == b.tm_gmtoff && a.tm_gmtoff % 60 == 0) {
    cache.minute = minute;
    cache.names[0] = tzname[0];
    cache.names[1] = tzname[1];
    cache.zone = timezone;
    cache.daylight = daylight;
    FromTm(a, cache.start);
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

namespace {
void (*volatile g_interruptHandler)() = nullptr;
void SignalHandler(int) {
  if (auto h = g_interruptHandler) h();
}
}  // namespace

void OnInterrupt(void (*handler)()) {
  g_interruptHandler = handler;
  struct sigaction sa {};
  sa.sa_handler = handler ? SignalHandler : SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool ComputerName(Text& out) {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return false;
  out = FromUtf8(name);
  return true;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }
uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }
uint32_t OsMajorVersion() { return 10; }
bool RunningUnderWine() { return false; }

#endif

}  // namespace rv
