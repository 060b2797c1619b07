// Pure text helpers of the command line: parsing the sizes and dates users
// type, and laying out table columns by the width text takes on a terminal.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace rv::cli {

// "4096", "10K", "1.5M", "2G", "1T" (also "10KB", "10KiB"; any case): bytes,
// counted in powers of 1024. False for anything else, or past 2^64.
bool ParseSize(std::string_view text, uint64_t& bytes);

// A point in time as typed: "2024-03-01", "2024-03-01T14:30",
// "2024-03-01 14:30:05", with a trailing "Z" when it is UTC. Without the
// "Z" it is the user's local time, as the table shows times.
struct TypedTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool utc = false;
};
bool ParseIsoTime(std::string_view text, TypedTime& out);
// Orders two calendar times field by field.
int CompareCalendar(const TypedTime& a, const TypedTime& b);
// Seconds since 1970 of a UTC calendar time (proleptic Gregorian).
int64_t UnixSecondsOfUtc(const TypedTime& t);

// Columns the UTF-8 text takes on a terminal: East Asian wide characters
// and emoji two, combining marks, variation selectors and zero-width
// joiners none, every other character one (a byte that is not UTF-8: one).
size_t DisplayWidth(std::string_view utf8);
// The text padded with blanks to `width` columns (never cut).
std::string PadToWidth(const std::string& utf8, size_t width);
// The text shortened to at most `width` columns by dropping its start and
// putting "…" in its place: the end of a folder path says most.
std::string ShortenFromStart(const std::string& utf8, size_t width);
// Sizes as `ls -h` shows them: "812", "1.5K", "23M", "4.0G" (powers of 1024).
std::string HumanSize(uint64_t bytes);
// A CSV field (RFC 4180): quoted when it holds a comma, quote or line break.
std::string CsvField(const std::string& utf8);

}  // namespace rv::cli
