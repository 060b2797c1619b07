// The file list's row texts, sort comparisons, summary and report-line
// choices, without a window.
#include <gtest/gtest.h>

#include "channel/receiver.h"
#include "shell/results.h"

namespace rv::shell {
namespace {

TEST(ShellResults, SizesGroupByThreesWithTheirWholeValue) {
  EXPECT_EQ(FormatSizeText(0), u"0B");
  EXPECT_EQ(FormatSizeText(999), u"999B");
  EXPECT_EQ(FormatSizeText(1000), u"1,000B");
  EXPECT_EQ(FormatSizeText(1234567), u"1,234,567B");
  // From 2 GiB up a 32-bit signed print would be negative or wrapped.
  EXPECT_EQ(FormatSizeText(0x80000000ull), u"2,147,483,648B");
  EXPECT_EQ(FormatSizeText(0xFFFFFFFFull), u"4,294,967,295B");
  EXPECT_EQ(FormatSizeText(5000000000ull), u"5,000,000,000B");
  EXPECT_EQ(DigitsValue(u"5,000,000,000B"), 5000000000ull);
}

TEST(ShellResults, DateTextsFollowTheUserDateOrder) {
  EXPECT_EQ(ReorderDateText(u"03/14/2021 09:05", DateOrder::MonthDayYear), u"03/14/2021 09:05");
  EXPECT_EQ(ReorderDateText(u"03/14/2021 09:05", DateOrder::DayMonthYear), u"14/03/2021 09:05");
  EXPECT_EQ(ReorderDateText(u"03/14/2021 09:05", DateOrder::YearMonthDay), u"2021/03/14 09:05");
  // Not the engine's shape: kept as it is.
  EXPECT_EQ(ReorderDateText(u"3/14/21", DateOrder::DayMonthYear), u"3/14/21");
  EXPECT_EQ(ReorderDateText(u"", DateOrder::YearMonthDay), u"");
}

TEST(ShellResults, DateValuesOrderAsTimesDo) {
  auto mdy = [](TextView t) { return DateTextValue(t, DateOrder::MonthDayYear); };
  EXPECT_LT(mdy(u"12/31/2020 23:59"), mdy(u"01/01/2021 00:00"));
  EXPECT_LT(mdy(u"02/28/2024 10:00"), mdy(u"02/29/2024 09:00"));
  EXPECT_EQ(mdy(u"01/01/2021 00:01") - mdy(u"01/01/2021 00:00"), 1);
  EXPECT_EQ(DateTextValue(u"14/03/2021 09:05", DateOrder::DayMonthYear), mdy(u"03/14/2021 09:05"));
  EXPECT_EQ(DateTextValue(u"2021/03/14 09:05", DateOrder::YearMonthDay), mdy(u"03/14/2021 09:05"));
  // am and pm, in any case: 12 am is midnight, 1 pm is 13:00, 12 pm noon.
  EXPECT_EQ(mdy(u"03/14/2021 12:00 AM"), mdy(u"03/14/2021 00:00"));
  EXPECT_EQ(mdy(u"03/14/2021 01:30 pm"), mdy(u"03/14/2021 13:30"));
  EXPECT_EQ(mdy(u"03/14/2021 12:10 Pm"), mdy(u"03/14/2021 12:10"));
  // A FAT entry with zero words: month 00, day 00 sorts before any real date.
  EXPECT_LT(mdy(u"00/00/1980 00:00"), mdy(u"01/01/1980 00:00"));
  EXPECT_EQ(mdy(u"not a date"), 0);
}

FoundFile Found(uint32_t locator, uint32_t second, uint64_t size, const char16_t* time, const char16_t* path) {
  FoundFile f;
  f.locator = locator;
  f.second = second;
  f.size = size;
  f.time = time;
  f.path = path;
  return f;
}

TEST(ShellResults, RowTextsOfAFoundFile) {
  auto t = RowTexts(Found(37, 0xFFFFFFFF, 3000000000ull, u"03/14/2021 09:05", u"X:\\docs\\big.bin"),
                    DateOrder::DayMonthYear);
  EXPECT_EQ(t[kColName], u"big.bin");
  EXPECT_EQ(t[kColSize], u"3,000,000,000B");
  EXPECT_EQ(t[kColDate], u"14/03/2021 09:05");
  EXPECT_EQ(t[kColFolder], u"X:\\docs\\");
  EXPECT_EQ(t[kColFirst], u"37");
  EXPECT_EQ(t[kColSecond], u" ");  // -1: a single blank
  // A FAT locator inside a deleted folder has bit 31: printed signed, it
  // reads back to the same 32 bits.
  auto fat = RowTexts(Found(0x80000005u, 2, 10, u"00/00/1980 00:00", u"X:\\a.txt"), DateOrder::MonthDayYear);
  EXPECT_EQ(fat[kColFirst], u"-2147483643");
  EXPECT_EQ(static_cast<uint32_t>(IntegerValue(fat[kColFirst])), 0x80000005u);
  EXPECT_EQ(fat[kColSecond], u"2");
  EXPECT_EQ(fat[kColFolder] + fat[kColName], u"X:\\a.txt");
}

TEST(ShellResults, TextStoreKeepsRowsBackToBack) {
  ResultTextStore store;
  std::vector<int64_t> offsets;
  for (int i = 0; i < 20000; ++i) {
    Text n = u"file" + Text(1, static_cast<char16_t>(u'a' + i % 26));
    offsets.push_back(store.Append({n, u"1B", u"", u"X:\\", u"5", u" "}));
  }
  EXPECT_EQ(offsets[0], 0);
  EXPECT_EQ(store.Column(offsets[27], kColName), u"fileb");
  EXPECT_EQ(store.Column(offsets[27], kColDate), u"");
  EXPECT_EQ(store.Column(offsets[27], kColSecond), u" ");
  EXPECT_EQ(store.Column(offsets.back(), kColFolder), u"X:\\");
  EXPECT_EQ(store.Column(-1, 0), u"");
  EXPECT_EQ(store.Column(1 << 30, 0), u"");
  store.Clear();
  EXPECT_EQ(store.CharactersUsed(), 0u);
  EXPECT_EQ(store.Column(offsets[27], kColName), u"");
}

TEST(ShellResults, SortDirectionAlternatesOverEveryClick) {
  SortRule rule;
  // First click: descending, the largest size first.
  EXPECT_LT(rule.Compare(kColSize, u"1,000B", u"999B"), 0);
  rule.Sorted();
  EXPECT_GT(rule.Compare(kColSize, u"1,000B", u"999B"), 0);
  rule.Sorted();
  // The third click, on another column, is descending again.
  EXPECT_LT(rule.Compare(kColName, u"b", u"a"), 0);
  rule.Sorted();
  EXPECT_GT(rule.Compare(kColName, u"b", u"a"), 0);
}

TEST(ShellResults, ComparisonsByColumnKind) {
  SortRule rule;
  rule.Sorted();  // ascending: the comparison as it stands
  EXPECT_LT(rule.Compare(kColSize, u"999B", u"1,000B"), 0);  // by value, not text
  EXPECT_LT(rule.Compare(kColSize, u"2,147,483,647B", u"4,294,967,295B"), 0);
  EXPECT_LT(rule.Compare(kColSize, u"1B", u"5,000,000,000B"), 0);
  EXPECT_LT(rule.Compare(kColFirst, u"9", u"10"), 0);
  EXPECT_LT(rule.Compare(kColFirst, u"-2147483643", u"2147483647"), 0);  // no overflow
  EXPECT_LT(rule.Compare(kColSecond, u" ", u"1"), 0);
  EXPECT_LT(rule.Compare(kColDate, u"12/31/2020 23:59", u"01/01/2021 00:00"), 0);
  EXPECT_LT(rule.Compare(kColFolder, u"X:\\b\\", u"X:\\c\\"), 0);
  EXPECT_EQ(rule.Compare(kColName, u"same", u"same"), 0);
  EXPECT_LT(rule.Compare(kColName, u"B", u"a"), 0);  // case-sensitive
  rule.order = DateOrder::DayMonthYear;
  EXPECT_LT(rule.Compare(kColDate, u"31/12/2020 23:59", u"01/01/2021 00:00"), 0);
}

TEST(ShellResults, SummaryTexts) {
  // Two of five rows selected, 1,000B and 24B.
  Summary s = SummaryFor(5, 2, 1024, 0);
  EXPECT_EQ(s.counts.stringId, 291u);
  EXPECT_EQ(s.counts.value, 2u);
  EXPECT_EQ(s.bytes.stringId, 292u);
  EXPECT_EQ(s.bytes.value, 1024u);
  // Sums beyond 32 bits stay whole.
  EXPECT_EQ(SummaryFor(3, 2, 6000000000ull, 0).bytes.value, 6000000000ull);
  s = SummaryFor(5, 0, 0, 2000);
  EXPECT_EQ(s.counts.stringId, 288u);
  EXPECT_EQ(s.counts.value, 5u);
  EXPECT_EQ(s.bytes.stringId, 305u);
  EXPECT_EQ(s.bytes.value, 2u);
  EXPECT_TRUE(s.bytes.withDrive);
  EXPECT_EQ(SummaryFor(0, 0, 0, 0).bytes.stringId, 289u);
  EXPECT_EQ(SummaryFor(0, 0, 0, 1024).bytes.stringId, 289u);
  EXPECT_EQ(SummaryFor(0, 0, 0, 1025).bytes.stringId, 305u);
  EXPECT_EQ(SummaryFor(0, 0, 0, 1048576).bytes.value, 1024u);
  s = SummaryFor(0, 0, 0, 1048577);
  EXPECT_EQ(s.bytes.stringId, 290u);
  EXPECT_EQ(s.bytes.value, 1u);
}

TEST(ShellResults, ReportLineChoice) {
  struct Case {
    uint32_t code;
    unsigned id;
    bool output;
  } cases[] = {{776, 101, true}, {777, 102, true}, {778, 104, false}, {779, 103, false},
               {783, 284, true}, {784, 283, true}, {785, 377, false}, {780, 143, false}, {0, 143, false}};
  for (const auto& c : cases) {
    auto r = ReportLineFor(c.code);
    EXPECT_EQ(r.stringId, c.id) << c.code;
    EXPECT_EQ(r.outputName, c.output) << c.code;
  }
}


TEST(ShellResults, ConditionWordsAndTexts) {
  auto cond = [](int share, bool guessed = false, bool zeroed = false) {
    FileCondition c;
    c.share = share;
    c.guessed = guessed;
    c.zeroed = zeroed;
    return c;
  };
  EXPECT_EQ(WordFor(cond(-1)), ConditionWord::Unknown);
  EXPECT_EQ(WordFor(cond(100)), ConditionWord::Whole);
  EXPECT_EQ(WordFor(cond(99)), ConditionWord::Partly);
  EXPECT_EQ(WordFor(cond(1)), ConditionWord::Partly);
  EXPECT_EQ(WordFor(cond(0)), ConditionWord::Overwritten);
  // A guess is said whatever share the guessed clusters give.
  EXPECT_EQ(WordFor(cond(100, true)), ConditionWord::Guessed);
  EXPECT_EQ(WordFor(cond(-1, true)), ConditionWord::Guessed);
  EXPECT_EQ(WordFor(cond(0, true)), ConditionWord::Overwritten);  // nothing left to guess about
  // Zeroed bytes beat every share and guess: nothing is left to recover.
  EXPECT_EQ(WordFor(cond(100, true, true)), ConditionWord::Zeroed);
  FileCondition carved = cond(100);
  carved.carved = true;
  EXPECT_EQ(WordFor(carved), ConditionWord::Whole);
  carved.truncated = true;
  EXPECT_EQ(WordFor(carved), ConditionWord::Truncated);

  EXPECT_EQ(ConditionText(cond(100), u"Whole"), u"100% Whole");
  EXPECT_EQ(ConditionText(cond(37), u"Partly overwritten"), u"37% Partly overwritten");
  EXPECT_EQ(ConditionText(cond(-1), u""), u"");
  EXPECT_EQ(ConditionText(cond(-1, true), u"Guessed"), u"Guessed");
  EXPECT_EQ(ConditionText(cond(250), u"Whole"), u"100% Whole");  // a bogus share is not shown past 100
}

TEST(ShellResults, ConditionSortsByShareThenWord) {
  FileCondition unknown, none, half, whole, guessed, zeroed;
  none.share = 0;
  half.share = 50;
  whole.share = 100;
  guessed.share = 100;
  guessed.guessed = true;
  zeroed.share = 100;
  zeroed.zeroed = true;
  SortRule rule;
  rule.Sorted();  // ascending
  EXPECT_LT(rule.CompareConditions(unknown, none), 0);
  EXPECT_LT(rule.CompareConditions(none, half), 0);
  EXPECT_LT(rule.CompareConditions(half, whole), 0);
  // Same share: whole first, then the guessed, then the zeroed.
  EXPECT_LT(rule.CompareConditions(whole, guessed), 0);
  EXPECT_LT(rule.CompareConditions(guessed, zeroed), 0);
  EXPECT_EQ(rule.CompareConditions(whole, whole), 0);
  rule.Sorted();  // the next click reverses
  EXPECT_GT(rule.CompareConditions(none, half), 0);
}

}  // namespace
}  // namespace rv::shell
