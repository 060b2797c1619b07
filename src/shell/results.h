// The file list's decisions that need no window: the row texts of a found
// file, the text store they live in, the sort comparison with its direction
// rule, the status-bar summary and the undelete report's line choice.
// Built on every platform so the tests reach them natively.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "platform/types.h"

namespace rv {
struct FoundFile;
}

namespace rv::shell {

constexpr int kResultColumns = 6;
enum ResultColumn : int { kColName = 0, kColSize = 1, kColDate = 2, kColFolder = 3, kColFirst = 4, kColSecond = 5 };

// The user's date order, as the locale's short date picture gives it.
enum class DateOrder { MonthDayYear, DayMonthYear, YearMonthDay };

// "1,234,567B": the whole 64-bit size grouped by threes.
Text FormatSizeText(uint64_t size);
// The engine's "MM/DD/YYYY HH:MM" in the user's date order; unchanged for
// month-day-year, or when the text does not have the engine's shape.
Text ReorderDateText(TextView engineText, DateOrder order);
// A value that orders date texts in `order` as their local times do
// (minutes since 1 January 1 of the proleptic calendar); 0 for a text that
// is not a date. A trailing "am"/"pm" is honoured.
int64_t DateTextValue(TextView text, DateOrder order);
// Digits only, as a number ("1,024B" -> 1024); saturates rather than wraps.
uint64_t DigitsValue(TextView text);
// The C library's integer conversion: optional blanks, sign, digits; 0 when
// there are none. Saturates at the 32-bit limits.
int32_t IntegerValue(TextView text);

// ---- Condition ------------------------------------------------------------------
// What decides whether a found file is worth recovering: the share of its
// clusters the volume still holds for it, whether its engine takes the
// clusters after the first as following it (a guess), and whether a read
// of it (a recovery, a preview) came back all zeros although the file is
// not empty (the device discarded the freed clusters).
struct FileCondition {
  int share = -1;  // percent, -1 while unknown
  bool guessed = false;
  bool zeroed = false;
  // A file the deep scan found by its format; `truncated`: its start is
  // certain, its end is not.
  bool carved = false;
  bool truncated = false;
};

// The word for a condition, in the order the tests apply: zeroed beats
// everything (the bytes are gone whatever the clusters say), then a
// truncated carved file, then nothing left (0%), then a guess, then the
// share.
enum class ConditionWord : int { Unknown = 0, Whole, Partly, Overwritten, Guessed, Zeroed, Truncated };
ConditionWord WordFor(const FileCondition& c);
// The image of the word in the list's small image list (the first column).
constexpr int kConditionImages = 7;
inline int ConditionImage(ConditionWord w) { return static_cast<int>(w); }
// "100% Whole": the share (when known) and the word from `word` (the
// library's text for it); the word alone when the share is unknown.
Text ConditionText(const FileCondition& c, TextView word);

// The six texts of a found file's row, in column order.
std::array<Text, kResultColumns> RowTexts(const FoundFile& file, DateOrder order);

// Rows' texts back to back, each NUL-terminated, in column order; a row is
// known by the offset of its first text. Grows in 64 KiB steps.
class ResultTextStore {
 public:
  static constexpr size_t kGrowthBytes = 65535;
  // The row's offset, or -1 when the store cannot grow.
  int64_t Append(const std::array<Text, kResultColumns>& texts);
  // The text of `column` of the row at `offset`; empty past the end.
  TextView Column(int64_t offset, int column) const;
  void Clear();
  size_t CharactersUsed() const { return text_.size(); }
  size_t BytesAllocated() const { return text_.capacity() * sizeof(char16_t); }

 private:
  std::vector<char16_t> text_;
};

// Texts compared by the locale (the window passes lstrcmpW's).
using TextCompare = int (*)(TextView a, TextView b);
int OrdinalCompare(TextView a, TextView b);

// Column clicks sort by the column's kind; the direction value starts at +1
// and is negated after every sort, and a +1 direction negates the
// comparison, so the first click of a run sorts descending and every later
// click reverses, whichever column it is on.
class SortRule {
 public:
  int Compare(int column, TextView a, TextView b) const;
  // The size column's comparison, of the files' 64-bit sizes.
  int CompareSizes(uint64_t a, uint64_t b) const;
  // The condition column's: by share (unknown below 0%), then by word so a
  // zeroed or guessed file does not sit among whole ones of its share.
  int CompareConditions(const FileCondition& a, const FileCondition& b) const;
  void Sorted() { direction_ = -direction_; }
  int direction() const { return direction_; }

  bool searchBar = true;  // the folder column sorts as text only with the search bar
  DateOrder order = DateOrder::MonthDayYear;
  TextCompare textCompare = OrdinalCompare;

 private:
  int direction_ = 1;
};

// Status-bar parts 1 and 2: which library string carries which value.
struct SummaryPart {
  unsigned stringId = 0;
  uint64_t value = 0;
  bool withDrive = false;
};
struct Summary {
  SummaryPart counts;  // part 1
  SummaryPart bytes;   // part 2
};
// `selectedBytes` is the 64-bit sum of the selected rows' sizes.
Summary SummaryFor(int rows, int selected, uint64_t selectedBytes, uint64_t freeBytes);

// The report line's string and which name fills its "%s".
struct ReportLineChoice {
  unsigned stringId;
  bool outputName;
};
ReportLineChoice ReportLineFor(uint32_t resultCode);

}  // namespace rv::shell
