// Clock, threads and operating-system facts.
#pragma once
#include <cstdint>

#include "platform/types.h"

namespace rv {

struct CalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// FILETIME (100 ns ticks since 1601-01-01 UTC) to the local calendar time of
// the user's time zone (TZ on POSIX). False for times the system cannot map.
bool FileTimeToLocal(uint64_t fileTime, CalendarTime& out);
// Local calendar time (the user's zone) to FILETIME; in the hour repeated
// when daylight saving ends, the system's choice of the two.
bool LocalToFileTime(const CalendarTime& local, uint64_t& fileTime);
// FILETIME to UTC calendar time, without time-zone conversion.
bool FileTimeToUtc(uint64_t fileTime, CalendarTime& out);
// Seconds since 1970-01-01 UTC to FILETIME and back.
uint64_t UnixToFileTime(int64_t seconds);
int64_t FileTimeToUnix(uint64_t fileTime);
CalendarTime LocalNow();

// Calls `handler` on Ctrl-C (SIGINT, and SIGTERM on POSIX; the console's
// Ctrl-C and Ctrl-Break on Windows) instead of ending the process; null
// restores the default. The handler runs in a signal or console thread: it
// may only store to atomics.
void OnInterrupt(void (*handler)());

// The machine's name (GetComputerNameW; the host name on POSIX).
bool ComputerName(Text& out);

uint32_t CurrentThreadId();
uint32_t CurrentProcessId();
// Major version of the operating system as the engines test it (4 = NT 4).
// POSIX builds behave as a later Windows version.
uint32_t OsMajorVersion();
// True when the Windows build runs under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();

}  // namespace rv
