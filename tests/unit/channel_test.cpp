// Request packets and controller messages: the exact byte layouts, and the
// order of messages the shells post.
#include <gtest/gtest.h>

#include <cstring>

#include "channel/chashtbl.h"
#include "channel/messages.h"
#include "channel/receiver.h"
#include "channel/packet.h"
#include "channel/shells.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
#include "platform/system.h"
#include "platform/text.h"
#include "test_support.h"
#include "format/le.h"

namespace rv {
namespace {

std::vector<uint8_t> Utf16(const char16_t* s, bool nul = true) {
  std::vector<uint8_t> out;
  for (; *s; ++s) {
    out.push_back(static_cast<uint8_t>(*s));
    out.push_back(static_cast<uint8_t>(*s >> 8));
  }
  if (nul) out.insert(out.end(), {0, 0});
  return out;
}

TEST(RequestPacket, HeaderBytes) {
  RequestPacket p = RequestPacket::Wrap({1, 2, 3});
  ASSERT_NE(p.Block(), nullptr);
  EXPECT_EQ(p.Capacity(), 51u);
  const uint8_t* b = p.Block();
  EXPECT_EQ(b[0], 48);
  EXPECT_EQ(b[1], 3);
  EXPECT_EQ(b[2], 0);
  EXPECT_EQ(b[3], 0);
  EXPECT_EQ(std::memcmp(b + 4, "CsbS", 4), 0);
  EXPECT_EQ(b[8], 0);
  EXPECT_EQ(b[9], 1);
  for (int i = 10; i < 48; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(p.Payload(), b + 48);
  EXPECT_EQ(p.Payload()[2], 3);
}

TEST(RequestPacket, PayloadLengthIsTwentyFourBitsAndClampedToBlock) {
  RequestPacket p;
  ASSERT_TRUE(p.Create(0x12345));
  p.SetPayloadLength(0x12345);
  EXPECT_EQ(p.Block()[1], 0x45);
  EXPECT_EQ(p.Block()[2], 0x23);
  EXPECT_EQ(p.Block()[3], 0x01);
  EXPECT_EQ(p.PayloadLength(), 0x12345u);
  p.SetPayloadLength(0xFFFFFF);  // lies about its size
  EXPECT_EQ(p.PayloadLength(), 0x12345u);
  RequestPacket empty;
  EXPECT_EQ(empty.Payload(), nullptr);
}

TEST(SearchRequest, ExactBytes) {
  SearchRequestFields f{1, u"*.txt", u"\\docs\\", u"C:\\"};
  auto b = BuildSearchRequest(f);
  std::vector<uint8_t> want = {1, 0, 0, 0, 0, 0};
  for (auto* s : {u"*.txt", u"\\docs\\", u"C:\\"}) {
    auto t = Utf16(s);
    want.insert(want.end(), t.begin(), t.end());
  }
  want.insert(want.end(), {0, 0});
  EXPECT_EQ(b, want);
  // 2 × characters + 14 bytes.
  EXPECT_EQ(b.size(), 2u * (5 + 6 + 3) + 14);
  SearchRequestFields back;
  ASSERT_TRUE(ParseSearchRequest(RequestPacket::Wrap(b), back));
  EXPECT_EQ(back.includeSubfolders, 1u);
  EXPECT_EQ(back.pattern, u"*.txt");
  EXPECT_EQ(back.folder, u"\\docs\\");
  EXPECT_EQ(back.volumeRoot, u"C:\\");
}

TEST(SearchRequest, TruncatedOrUnterminatedIsRefused) {
  SearchRequestFields f{0, u"a", u"\\", u"\\\\?\\Volume{x}\\"};
  auto b = BuildSearchRequest(f);
  SearchRequestFields out;
  for (size_t cut = 0; cut < b.size() - 2; ++cut) {
    std::vector<uint8_t> t(b.begin(), b.begin() + cut);
    EXPECT_FALSE(ParseSearchRequest(RequestPacket::Wrap(t), out)) << cut;
  }
}

TEST(PayloadText, ReadsUpToTheTerminatorAndNeverPastTheEnd) {
  std::vector<uint8_t> p;
  AppendPayloadText(p, u"ab\u00e9");
  AppendPayloadText(p, u"");
  ASSERT_EQ(p.size(), 10u);
  uint32_t off = 0;
  Text t;
  EXPECT_TRUE(ReadPayloadText(p.data(), static_cast<uint32_t>(p.size()), off, t));
  EXPECT_EQ(t, u"ab\u00e9");
  EXPECT_EQ(off, 8u);
  EXPECT_TRUE(ReadPayloadText(p.data(), static_cast<uint32_t>(p.size()), off, t));
  EXPECT_EQ(t, u"");
  EXPECT_EQ(off, 10u);
  EXPECT_FALSE(ReadPayloadText(p.data(), static_cast<uint32_t>(p.size()), off, t));
  // No terminator, and an odd byte at the end: what is there, but false.
  const uint8_t open[] = {'x', 0, 'y', 0, 'z'};
  off = 0;
  EXPECT_FALSE(ReadPayloadText(open, sizeof open, off, t));
  EXPECT_EQ(t, u"xy");
  EXPECT_LE(off, sizeof open);
  off = 99;
  EXPECT_FALSE(ReadPayloadText(open, sizeof open, off, t));
  EXPECT_TRUE(t.empty());
}

// The terminator is found four units at a time: every length and start,
// units whose bytes are zero alone (0x0100, 0x0001), and payloads that end
// inside a word, all read exactly as a unit-by-unit scan does.
TEST(PayloadText, WordScanAgreesWithUnitScanAtEveryPosition) {
  for (size_t units = 0; units < 20; ++units) {
    for (uint32_t start = 0; start < 6; start += 2) {
      for (int odd = 0; odd < 2; ++odd) {
        std::vector<uint8_t> p(start, 0xEE);
        for (size_t i = 0; i < units; ++i) {
          const char16_t c = i % 3 == 0 ? 0x0100 : i % 3 == 1 ? 0x0001 : u'a';
          p.push_back(static_cast<uint8_t>(c));
          p.push_back(static_cast<uint8_t>(c >> 8));
        }
        for (int terminated = 0; terminated < 2; ++terminated) {
          std::vector<uint8_t> q = p;
          if (terminated) q.insert(q.end(), {0, 0, 'z', 0});
          if (odd) q.push_back('q');
          uint32_t off = start;
          Text t;
          const bool ok = ReadPayloadText(q.data(), static_cast<uint32_t>(q.size()), off, t);
          EXPECT_EQ(ok, terminated == 1) << units << " " << start;
          EXPECT_EQ(t.size(), units) << units << " " << start;
          EXPECT_EQ(off, start + 2 * units + (terminated ? 2 : 0)) << units << " " << start;
        }
      }
    }
  }
}

TEST(Utf8Text, EveryLengthAndUnpairedSurrogates) {
  EXPECT_EQ(ToUtf8(u"a\u00e9\u65e5"), "a\xc3\xa9\xe6\x97\xa5");
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
  const char16_t loneHigh[] = {u'x', 0xD800, u'y', 0};
  const char16_t loneLow[] = {0xDC00, 0xD83D, 0};  // a low unit first, a high one last
  EXPECT_EQ(ToUtf8(loneHigh), "x\xef\xbf\xbdy");
  EXPECT_EQ(ToUtf8(loneLow), "\xef\xbf\xbd\xef\xbf\xbd");
  std::string out = "kept:";
  AppendUtf8(out, u"\u65e5");
  EXPECT_EQ(out, "kept:\xe6\x97\xa5");
  EXPECT_EQ(FromUtf8(ToUtf8(u"caf\u00e9-\U0001F600")), u"caf\u00e9-\U0001F600");
}

TEST(UndeleteRequest, NtfsRecordsAndEndMark) {
  auto b = BuildNtfsUndeleteRequest(u"D:\\out", {42, 70000});
  auto dest = Utf16(u"D:\\out");
  ASSERT_EQ(b.size(), dest.size() + 3 * 8);
  EXPECT_TRUE(std::equal(dest.begin(), dest.end(), b.begin()));
  Bytes r(b.data() + dest.size(), 24);
  EXPECT_EQ(le32(r, 0), 42u);
  EXPECT_EQ(le32(r, 4), 0u);
  EXPECT_EQ(le32(r, 8), 70000u);
  EXPECT_EQ(le32(r, 16), 0xFFFFFFFFu);
  std::vector<int32_t> back;
  ASSERT_TRUE(ParseNtfsUndeleteRecords(b.data(), b.size(), dest.size(), back));
  EXPECT_EQ(back, (std::vector<int32_t>{42, 70000}));
  // Without its end mark the list is refused.
  EXPECT_FALSE(ParseNtfsUndeleteRecords(b.data(), b.size() - 8, dest.size(), back));
}

TEST(UndeleteRequest, FatRecordsFollowWithoutAlignment) {
  auto b = BuildFatUndeleteRequest(u"E:\\r", {{0x7FFFFFFF, 3, u"C:\\a.txt"}, {0x80000010, 9, u"C:\\d\\b"}});
  auto dest = Utf16(u"E:\\r");
  size_t off = dest.size();
  Bytes v(b);
  EXPECT_EQ(le32(v, off), 0x7FFFFFFFu);
  EXPECT_EQ(le32(v, off + 4), 3u);
  auto p1 = Utf16(u"C:\\a.txt");
  EXPECT_TRUE(std::equal(p1.begin(), p1.end(), b.begin() + off + 8));
  size_t off2 = off + 8 + p1.size();
  EXPECT_EQ(le32(v, off2), 0x80000010u);
  EXPECT_EQ(le32(v, b.size() - 4), 0xFFFFFFFFu);
  std::vector<FatUndeleteRecord> back;
  ASSERT_TRUE(ParseFatUndeleteRecords(b.data(), b.size(), off, back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].path, u"C:\\d\\b");
  EXPECT_FALSE(ParseFatUndeleteRecords(b.data(), b.size() - 6, off, back));
}

TEST(DeletedFileHeader, LayoutAndSize) {
  auto h = BuildDeletedFileHeader(17, 0xFFFFFFFF, 1234, u"01/02/2003 04:05", u"C:\\x\\y.txt");
  EXPECT_EQ(h.size(), 2u * (16 + 10) + 20);
  Bytes b(h);
  EXPECT_EQ(le32(b, 0), 17u);
  EXPECT_EQ(le32(b, 4), 0xFFFFFFFFu);
  EXPECT_EQ(le32(b, 8), 1234u);
  auto t = Utf16(u"01/02/2003 04:05");
  EXPECT_TRUE(std::equal(t.begin(), t.end(), h.begin() + 12));
  auto p = Utf16(u"C:\\x\\y.txt");
  EXPECT_TRUE(std::equal(p.begin(), p.end(), h.begin() + 12 + t.size()));
}

TEST(UndeleteResult, LayoutAndSize) {
  auto r = BuildUndeleteResult(777, 55, u"C:\\a", u"D:\\o\\a");
  EXPECT_EQ(r.size(), 2u * (4 + 6) + 16);
  Bytes b(r);
  EXPECT_EQ(le32(b, 0), 777u);
  EXPECT_EQ(le32(b, 4), 55u);
  EXPECT_EQ(le16(b, 8), u'C');
  EXPECT_EQ(le16(b, 8 + 10), u'D');
}

TEST(ProgressAndMessageBox, FixedSizes) {
  auto p = BuildProgressReport(42, u"\\dir\\", 524);
  ASSERT_EQ(p.size(), 524u);
  EXPECT_EQ(le32(Bytes(p), 0), 42u);
  EXPECT_EQ(le16(Bytes(p), 4), u'\\');
  auto u = BuildProgressReport(100, Text(400, u'x'), 528);
  ASSERT_EQ(u.size(), 528u);
  EXPECT_EQ(le16(Bytes(u), 4 + 2 * 261), 0);  // always terminated inside 262 units
  auto m = BuildMessageBoxRequest(u"text", u"cap", 16, -1);
  ASSERT_EQ(m.size(), 2608u);
  EXPECT_EQ(le16(Bytes(m), 0), u't');
  EXPECT_EQ(le16(Bytes(m), 2080), u'c');
  EXPECT_EQ(le32(Bytes(m), 2600), 16u);
  EXPECT_EQ(le32(Bytes(m), 2604), 0xFFFFFFFFu);
}

TEST(TimeTexts, FatWordsAndZero) {
  EXPECT_EQ(FatTimeText(0, 0), u"00/00/1980 00:00");
  // 2021-07-14 13:37:58
  uint16_t date = static_cast<uint16_t>(((2021 - 1980) << 9) | (7 << 5) | 14);
  uint16_t time = static_cast<uint16_t>((13 << 11) | (37 << 5) | 29);
  EXPECT_EQ(FatTimeText(time, date), u"07/14/2021 13:37");
}

TEST(TimeTexts, NtfsIsLocalTime) {
#ifndef _WIN32
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(NtfsTimeText(UnixToFileTime(1600000000)), u"09/13/2020 12:26");
  setenv("TZ", "America/New_York", 1);
  tzset();
  EXPECT_EQ(NtfsTimeText(UnixToFileTime(1600000000)), u"09/13/2020 08:26");
  setenv("TZ", "UTC", 1);
  tzset();
#else
  GTEST_SKIP() << "time zone is the system's under Wine";
#endif
}

// Conversions reuse the last minute: a zone change inside a minute, a
// non-whole-minute offset and a TZ switch must each still convert afresh.
TEST(TimeTexts, NtfsMinutesAcrossZoneChanges) {
#ifndef _WIN32
  auto local = [](int64_t unix) {
    CalendarTime t;
    EXPECT_TRUE(FileTimeToLocal(UnixToFileTime(unix), t));
    return t;
  };
  auto clock = [](const CalendarTime& t) { return t.hour * 3600 + t.minute * 60 + t.second; };
  setenv("TZ", "America/New_York", 1);
  tzset();
  // 2021-03-14 07:00:00 UTC: 02:00 EST becomes 03:00 EDT.
  EXPECT_EQ(clock(local(1615705170)), 1 * 3600 + 59 * 60 + 30);
  EXPECT_EQ(clock(local(1615705171)), 1 * 3600 + 59 * 60 + 31);
  EXPECT_EQ(clock(local(1615705230)), 3 * 3600 + 30);
  // Amsterdam in 1930 kept +00:19:32: the seconds move with the offset.
  setenv("TZ", "Europe/Amsterdam", 1);
  tzset();
  EXPECT_EQ(clock(local(-1262304000)), 19 * 60 + 32);  // 1930-01-01 00:00:00 UTC
  EXPECT_EQ(clock(local(-1262303999)), 19 * 60 + 33);
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(local(1615705170).hour, 6);
  unsetenv("TZ");
  tzset();
  CalendarTime unset = local(1615705170);
  EXPECT_EQ(unset.minute, 59);
  setenv("TZ", "UTC", 1);
  tzset();
#else
  GTEST_SKIP() << "time zone is the system's under Wine";
#endif
}

// A path too long for the window's 260-unit buffers is posted all the
// same: shortened in its fixed place, in full after the details. The
// contract's fields keep their bytes; the details beside them carry the
// whole size and the stored time.
TEST(Posters, LongPathsArePostedShortenedAndInFull) {
  test::MessageRecorder rec;
  const Text prefix = u"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}";
  const Text longPath = prefix + u"\\" + Text(900, u'a') + u"\\" + Text(300, u'b') + u"\U0001F600.txt";
  const Text edge = prefix + u"\\" + Text(259 - prefix.size() - 1, u'c');
  const uint64_t big = (4ull << 30) + (256ull << 20);  // 4.25 GiB
  const uint64_t when = 133196904101234567ull;
  EXPECT_EQ(PostNtfsFileFound(1, longPath, 0, 1), 1);
  EXPECT_EQ(PostFatFileFound(1, 2, longPath, 0, 0, 1), 1);
  EXPECT_EQ(PostNtfsFileFound(1, edge, when, big, kNtfsFileItself, {when - 30, when + 10, when + 20}), 1);
  EXPECT_EQ(PostNtfsUndeleteResult(777, 1, longPath, u"/out/x"), 1);
  ASSERT_EQ(rec.Count(CM_FILE_FOUND), 3u);
  auto texts = [](const std::vector<uint8_t>& p, size_t at, size_t count) {
    std::vector<Text> out;
    while (out.size() < count && at + 1 < p.size()) {
      Text t;
      for (; at + 1 < p.size() && (p[at] | p[at + 1]) != 0; at += 2) t.push_back(char16_t(p[at] | p[at + 1] << 8));
      at += 2;
      out.push_back(t);
    }
    return std::make_pair(out, at);
  };
  for (size_t i = 0; i < 2; ++i) {
    const auto& p = rec.messages[i].payload;
    const auto [t, end] = texts(p, 12, 2);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1].size(), kShownPathUnits);
    EXPECT_EQ(t[1], ShortenedPath(longPath));
    EXPECT_EQ(t[1].substr(0, prefix.size() + 4), prefix + u"\\...");
    EXPECT_EQ(t[1].substr(t[1].size() - 6), u"\U0001F600.txt");
    EXPECT_EQ(le32(Bytes(p), end), kFoundDetailsMagic);
    EXPECT_EQ(texts(p, end + kFoundDetailsBytes, 1).first.at(0), longPath);
    FoundFile f;
    ASSERT_TRUE(DecodeFoundFile(p.data(), p.size(), prefix, f));
    EXPECT_EQ(f.path, longPath);
    EXPECT_TRUE(f.pathShortened);
  }
  // A short path: the contract's bytes, then the details, an empty text and
  // the filler.
  const auto& shortRecord = rec.messages[2].payload;
  const size_t fields = 12 + 2 * (16 + 1 + edge.size() + 1);
  ASSERT_EQ(shortRecord.size(), fields + kFoundDetailsBytes + 2 + kFoundTimesBytes + 4);
  EXPECT_EQ(le32(Bytes(shortRecord), 8), static_cast<uint32_t>(big));  // low 32 bits, as laid out
  EXPECT_EQ(texts(shortRecord, 12, 2).first.back(), edge);
  EXPECT_EQ(le32(Bytes(shortRecord), fields), kFoundDetailsMagic);
  EXPECT_EQ(le64(Bytes(shortRecord), fields + 4), big);
  EXPECT_EQ(le64(Bytes(shortRecord), fields + 12), when);
  EXPECT_EQ(le32(Bytes(shortRecord), fields + 20), static_cast<uint32_t>(FoundTimeKind::FileTimeUtc));
  FoundFile f;
  ASSERT_TRUE(DecodeFoundFile(shortRecord.data(), shortRecord.size(), prefix, f));
  EXPECT_EQ(f.size, big);
  EXPECT_EQ(f.timeValue, when);
  EXPECT_EQ(f.path, edge);
  EXPECT_FALSE(f.pathShortened);
  // The other times after the empty full-path text, before the filler.
  const size_t timesAt = fields + kFoundDetailsBytes + 2;
  EXPECT_EQ(le32(Bytes(shortRecord), timesAt), kFoundTimesMagic);
  EXPECT_EQ(le64(Bytes(shortRecord), timesAt + 4), when - 30);
  EXPECT_EQ(le64(Bytes(shortRecord), timesAt + 12), when + 10);
  EXPECT_EQ(le64(Bytes(shortRecord), timesAt + 20), when + 20);
  EXPECT_EQ(le32(Bytes(shortRecord), timesAt + kFoundTimesBytes), 0u);
  EXPECT_EQ(f.times.created, when - 30);
  EXPECT_EQ(f.times.changed, when + 10);
  EXPECT_EQ(f.times.accessed, when + 20);
  {
    // A header from before the times were carried, or one cut inside
    // them: the other times are unknown, the rest reads as before.
    std::vector<uint8_t> old(shortRecord.begin(), shortRecord.begin() + static_cast<long>(timesAt));
    old.insert(old.end(), 4, 0);
    FoundFile o;
    o.times.created = 5;
    ASSERT_TRUE(DecodeFoundFile(old.data(), old.size(), prefix, o));
    EXPECT_EQ(o.times.created, 0u);
    EXPECT_EQ(o.timeValue, when);
    EXPECT_EQ(o.path, edge);
    std::vector<uint8_t> cut(shortRecord.begin(), shortRecord.begin() + static_cast<long>(timesAt + 20));
    ASSERT_TRUE(DecodeFoundFile(cut.data(), cut.size(), prefix, o));
    EXPECT_EQ(o.times.accessed, 0u);
    EXPECT_EQ(o.size, big);
  }
  EXPECT_EQ(f.folder, u"\\");
  // The FAT poster's time is the entry's two words, local.
  FoundFile fat;
  ASSERT_TRUE(DecodeFoundFile(rec.messages[1].payload.data(), rec.messages[1].payload.size(), prefix, fat));
  EXPECT_EQ(fat.timeKind, FoundTimeKind::FatLocal);
  const auto result = texts(rec.messages[3].payload, 8, 4).first;
  ASSERT_EQ(result.size(), 4u);
  EXPECT_EQ(result[2], longPath);
  EXPECT_EQ(result[3], u"/out/x");
  // A cut never splits a surrogate pair.
  const Text pairs = u"X:\\" + Text(150, u'd') + u"\\" + [] {
    Text t;
    for (int i = 0; i < 100; ++i) t += u"\U0001F600";
    return t;
  }();
  const Text cut = ShortenedPath(pairs);
  EXPECT_LE(cut.size(), kShownPathUnits);
  EXPECT_FALSE(cut.back() >= 0xD800 && cut.back() <= 0xDBFF);
  const size_t dots = cut.find(u"...");
  ASSERT_NE(dots, Text::npos);
  EXPECT_FALSE(cut[dots + 3] >= 0xDC00 && cut[dots + 3] <= 0xDFFF);
}

TEST(DataToController, NoSinkMeansNothingPostedAndNoLeak) {
  SetMessageSink(nullptr);
  uint8_t payload[4] = {1, 2, 3, 4};
  EXPECT_EQ(DataToController(CM_SEARCH_STARTED, payload, 4, -1), 0);
  test::MessageRecorder rec;
  EXPECT_EQ(DataToController(CM_SEARCH_STARTED, nullptr, 0, 83), 1);
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_TRUE(rec.messages[0].payload.empty());
}

TEST(SearchShells, RefusedRequestStillStartsAndFinishes) {
  for (auto shell : {&NueDel::GetDeletedFileHeadersShell, &FueDel::GetDeletedFileHeadersShell}) {
    test::MessageRecorder rec;
    RequestPacket garbage = RequestPacket::Wrap({1, 0, 0});
    EXPECT_FALSE(shell(garbage));
    EXPECT_EQ(rec.Ids(), (std::vector<uint32_t>{CM_SEARCH_STARTED, CM_SHOW_MESSAGE, CM_SEARCH_FINISHED}));
    ASSERT_EQ(rec.messages[1].payload.size(), 2608u);
    EXPECT_EQ(le32(Bytes(rec.messages[1].payload), 2600), 16u);
    EXPECT_EQ(g_ntfsRunState.load(), kEngineIdle);
    EXPECT_EQ(g_fatRunState.load(), kEngineIdle);
  }
}

TEST(SearchShells, UnknownVolumeIsRefusedWithText72) {
  test::MessageRecorder rec;
  SearchRequestFields f{1, u"", u"\\", u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"};
  EXPECT_FALSE(NueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(f))));
  ASSERT_EQ(rec.Count(CM_SHOW_MESSAGE), 1u);
}

TEST(UndeleteShells, UncreatableDestinationGivesMessageAndFinishedButNoReport) {
  test::TempDir tmp;
  // A file where the destination folder should be.
  std::string file = tmp.path() + "/blocker";
  { FILE* f = std::fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  Text dest = tmp.EnginePath() + u"\\blocker\\sub";
  test::MessageRecorder rec;
  EXPECT_FALSE(NueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildNtfsUndeleteRequest(dest, {100}))));
  EXPECT_EQ(rec.Ids(), (std::vector<uint32_t>{CM_SHOW_MESSAGE, CM_UNDELETE_FINISHED}));
}

TEST(Chashtbl, AppendRewindNextClear) {
  Chashtbl t;
  t.Rewind();
  EXPECT_EQ(t.Next(), nullptr);
  EXPECT_TRUE(t.Append(u"one"));
  EXPECT_TRUE(t.Append(Text(600, u'z')));
  t.Rewind();
  auto* a = t.Next();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Text(a->text), u"one");
  auto* b = t.Next();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Text(b->text).size(), 519u);
  EXPECT_EQ(t.Next(), nullptr);
  t.Clear();
  t.Rewind();
  EXPECT_EQ(t.Next(), nullptr);
}

}  // namespace
}  // namespace rv
