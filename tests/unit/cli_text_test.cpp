// The command line's text helpers: sizes and dates as users type them, and
// the columns text takes on a terminal.
#include <gtest/gtest.h>

#include "cli/text_columns.h"

namespace rv::cli {
namespace {

TEST(CliText, SizesWithUnitsAndWhatIsRefused) {
  struct Case {
    const char* text;
    uint64_t bytes;
  } good[] = {{"0", 0},          {"4096", 4096},           {"10K", 10240},         {"10k", 10240},
              {"10KB", 10240},   {"10KiB", 10240},         {"1.5M", 1572864},      {"2G", 2ull << 30},
              {"1T", 1ull << 40}, {"0.5K", 512},           {"12B", 12},            {"16383T", 16383ull << 40},
              {"18446744073709551615", UINT64_MAX}};
  for (const auto& c : good) {
    uint64_t v = 1;
    EXPECT_TRUE(ParseSize(c.text, v)) << c.text;
    EXPECT_EQ(v, c.bytes) << c.text;
  }
  for (const char* bad : {"", "K", "-1", "1.5", "1.M", "10Q", "10 K", "10KK", "1e3", "18446744073709551616",
                          "16777216T", "10BB", "0x10"}) {
    uint64_t v = 7;
    EXPECT_FALSE(ParseSize(bad, v)) << bad;
    EXPECT_EQ(v, 7u) << bad;
  }
}

TEST(CliText, DatesAsTypedAndImpossibleOnesRefused) {
  TypedTime t;
  ASSERT_TRUE(ParseIsoTime("2024-02-29", t));
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 0);
  EXPECT_FALSE(t.utc);
  ASSERT_TRUE(ParseIsoTime("2023-01-31T14:30", t));
  EXPECT_EQ(t.minute, 30);
  ASSERT_TRUE(ParseIsoTime("2023-01-31 14:30:59Z", t));
  EXPECT_EQ(t.second, 59);
  EXPECT_TRUE(t.utc);
  for (const char* bad : {"2023-02-29", "1900-02-29", "2023-13-01", "2023-00-10", "2023-1-5", "2023-01-31T24:00",
                          "2023-01-31T12", "2023-01-31T12:60", "2023-01-31T12:00:00+01:00", "31/01/2023", "",
                          "1600-12-31", "2023-01-31Zx"})
    EXPECT_FALSE(ParseIsoTime(bad, t)) << bad;
  // Days since 1970 across leap years and a century.
  ASSERT_TRUE(ParseIsoTime("2000-03-01T00:00:01Z", t));
  EXPECT_EQ(UnixSecondsOfUtc(t), 951868801);
  ASSERT_TRUE(ParseIsoTime("1601-01-01", t));
  EXPECT_EQ(UnixSecondsOfUtc(t), -11644473600);
  TypedTime a, b;
  ASSERT_TRUE(ParseIsoTime("2023-01-31T14:30", a));
  ASSERT_TRUE(ParseIsoTime("2023-01-31T14:31", b));
  EXPECT_LT(CompareCalendar(a, b), 0);
  EXPECT_EQ(CompareCalendar(a, a), 0);
}

TEST(CliText, DisplayWidthOfWideCombiningAndEmoji) {
  EXPECT_EQ(DisplayWidth("report.txt"), 10u);
  EXPECT_EQ(DisplayWidth("日本語"), 6u);              // CJK: two columns each
  EXPECT_EQ(DisplayWidth("한국"), 4u);                // Hangul syllables
  EXPECT_EQ(DisplayWidth("ｆｕｌｌ"), 8u);            // full-width Latin
  EXPECT_EQ(DisplayWidth("cafe\u0301"), 4u);          // e + combining acute
  EXPECT_EQ(DisplayWidth("\U0001F600.txt"), 6u);      // emoji
  EXPECT_EQ(DisplayWidth("\U0001F468\u200D\U0001F469"), 4u);  // joined emoji: the joiner takes none
  EXPECT_EQ(DisplayWidth("\u2764\uFE0F"), 1u);        // a variation selector takes none
  EXPECT_EQ(DisplayWidth("\xff\xfe"), 2u);            // bytes that are not UTF-8: one each
  EXPECT_EQ(DisplayWidth("\xe6\x97"), 2u);            // a cut sequence
  EXPECT_EQ(PadToWidth("日本", 6), "日本  ");
  EXPECT_EQ(PadToWidth("long name", 4), "long name");
}

TEST(CliText, FolderShortenedFromItsStartWithAnEllipsis) {
  EXPECT_EQ(ShortenFromStart("\\a\\b\\", 10), "\\a\\b\\");
  EXPECT_EQ(ShortenFromStart("\\Users\\me\\Pictures\\", 12), "\u2026e\\Pictures\\");
  EXPECT_EQ(DisplayWidth(ShortenFromStart("\\Users\\me\\Pictures\\", 12)), 12u);
  // A wide character that would pass the width is left out whole.
  EXPECT_EQ(ShortenFromStart("\\日本語\\", 6), "\u2026本語\\");
  EXPECT_EQ(ShortenFromStart("\\日本語\\", 5), "\u2026語\\");
  EXPECT_EQ(ShortenFromStart("\\日本語\\", 3), "\u2026\\");
  // A combining mark stays with its letter, and never starts the kept part.
  EXPECT_EQ(ShortenFromStart("xxxxe\u0301\\", 3), "\u2026e\u0301\\");
  EXPECT_EQ(ShortenFromStart("xxxxe\u0301\\", 2), "\u2026\\");
  EXPECT_EQ(ShortenFromStart("abc", 0), "");
  EXPECT_EQ(ShortenFromStart("abcdef", 1), "\u2026");
}

TEST(CliText, HumanSizesAndCsvFields) {
  EXPECT_EQ(HumanSize(0), "0");
  EXPECT_EQ(HumanSize(1023), "1023");
  EXPECT_EQ(HumanSize(1024), "1.0K");
  EXPECT_EQ(HumanSize(1536), "1.5K");
  EXPECT_EQ(HumanSize(1537), "1.6K");  // never shown smaller than it is
  EXPECT_EQ(HumanSize(10 * 1024), "10K");
  EXPECT_EQ(HumanSize(1024 * 1024 - 1), "1.0M");
  EXPECT_EQ(HumanSize(5ull << 30), "5.0G");
  EXPECT_EQ(HumanSize(UINT64_MAX), "16E");
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
}

}  // namespace
}  // namespace rv::cli
