// The Windows side of the platform layer: the diagnostic log is a file of
// UTF-16LE records with CRLF line ends made through the wide-char API, and
// the work buffers are the system's own movable global blocks, so that a
// block from the engines can be released with GlobalFree.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/gmem.h"
#include "platform/text.h"
#include "platform/winapi.h"
#include "test_support.h"
#include "volume/dasd.h"
#include "volume/diaglog.h"

namespace rv {
namespace {

class Win32DiagnosticLog : public ::testing::Test {
 protected:
  void TearDown() override { DisableDiagnosticLog(); }
};

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size;
  if (GetFileSizeEx(h, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 24)) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) got = 0;
    bytes.resize(got);
  }
  CloseHandle(h);
  return bytes;
}

TEST_F(Win32DiagnosticLog, RecordsAreUtf16LittleEndianWithCrlfUnderAWidePath) {
  test::TempDir tmp;
  // A folder name outside the ANSI code page reaches the file only through
  // the wide-char API.
  const Text folder = tmp.EnginePath() + u"\\Prot\x00F6koll \x65E5\x672C";
  ASSERT_TRUE(CreateDirectoryW(win::Wide(folder).c_str(), nullptr));
  const Text logPath = folder + u"\\RetrivaGui.log";
  EnableDiagnosticLog(logPath, u"Start \x00E4");

  const Text message = u"Gr\x00FC\x00DF" u"e \x65E5\x672C \xD83D\xDE00";
  EXPECT_EQ(WriteLogRecord(message, 5, u"param \x00FC"), 1u);
  EXPECT_EQ(WriteLogRecord(u"second", kNoStatus, nullptr), 1u);

  const std::vector<uint8_t> bytes = ReadWholeFile(win::Wide(logPath));
  ASSERT_FALSE(bytes.empty());
  ASSERT_EQ(bytes.size() % 2, 0u);
  Text units;
  for (size_t i = 0; i < bytes.size(); i += 2) units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));

  // No byte-order mark: the first record starts with its date.
  EXPECT_NE(units[0], u'\xFEFF');
  EXPECT_TRUE(units[0] >= u'0' && units[0] <= u'9');
  // Little-endian units: "日" (U+65E5) is stored as E5 65.
  const size_t at = units.find(u'\x65E5');
  ASSERT_NE(at, Text::npos);
  EXPECT_EQ(bytes[2 * at], 0xE5);
  EXPECT_EQ(bytes[2 * at + 1], 0x65);
  EXPECT_NE(units.find(u"    Message   : " + message + u"\r\n"), Text::npos);
  EXPECT_NE(units.find(u"    Parameter : param \x00FC\r\n"), Text::npos);
  EXPECT_NE(units.find(u"    Parameter : Start \x00E4\r\n"), Text::npos);
  EXPECT_NE(units.find(u" - Error #5\r\n"), Text::npos);

  // Every line ends in CR LF: no bare LF, no doubled CR, and the file ends
  // with a complete line.
  size_t lines = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i] == u'\n') {
      ++lines;
      ASSERT_GT(i, 0u);
      EXPECT_EQ(units[i - 1], u'\r') << "bare LF at unit " << i;
      if (i >= 2) {
        EXPECT_NE(units[i - 2], u'\r') << "CR CR LF at unit " << i;
      }
    } else if (units[i] == u'\r') {
      ASSERT_LT(i + 1, units.size());
      EXPECT_EQ(units[i + 1], u'\n') << "bare CR at unit " << i;
    }
  }
  EXPECT_GE(lines, 9u);  // start record (4 lines), 4 + 3 for the two records, the system text's own line end
  EXPECT_EQ(units.substr(units.size() - 2), u"\r\n");
}

TEST_F(Win32DiagnosticLog, RecordsAreAppended) {
  test::TempDir tmp;
  const Text logPath = tmp.EnginePath() + u"\\append.log";
  EnableDiagnosticLog(logPath, u"p");
  ASSERT_EQ(WriteLogRecord(u"one", kNoStatus, nullptr), 1u);
  const size_t first = ReadWholeFile(win::Wide(logPath)).size();
  ASSERT_EQ(WriteLogRecord(u"two", kNoStatus, nullptr), 1u);
  const std::vector<uint8_t> bytes = ReadWholeFile(win::Wide(logPath));
  EXPECT_GT(bytes.size(), first);
  Text units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  const size_t one = units.find(u"Message   : one\r\n"), two = units.find(u"Message   : two\r\n");
  ASSERT_NE(one, Text::npos);
  ASSERT_NE(two, Text::npos);
  EXPECT_LT(one, two);
}

TEST(Win32GlobalMemory, BlocksAreMovableGlobalAllocBlocks) {
  gmem::Handle h = gmem::Alloc(100);
  ASSERT_NE(h, nullptr);
  HGLOBAL g = static_cast<HGLOBAL>(h);
  EXPECT_GE(GlobalSize(g), 100u);
  EXPECT_EQ(GlobalFlags(g) & GMEM_LOCKCOUNT, 0u);

  auto* p = static_cast<uint8_t*>(gmem::Lock(h));
  ASSERT_NE(p, nullptr);
  // A movable block's handle is not its address; the system maps back.
  EXPECT_NE(static_cast<void*>(p), h);
  EXPECT_EQ(GlobalHandle(p), g);
  EXPECT_EQ(GlobalFlags(g) & GMEM_LOCKCOUNT, 1u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;  // GMEM_ZEROINIT
  std::memset(p, 0xAB, 100);
  EXPECT_FALSE(gmem::Unlock(h));  // the last unlock
  EXPECT_EQ(GlobalFlags(g) & GMEM_LOCKCOUNT, 0u);

  gmem::Handle grown = gmem::ReAlloc(h, 5000);
  ASSERT_NE(grown, nullptr);
  EXPECT_GE(gmem::Size(grown), 5000u);
  p = static_cast<uint8_t*>(GlobalLock(static_cast<HGLOBAL>(grown)));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0xAB) << i;
  for (int i = 100; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
  GlobalUnlock(static_cast<HGLOBAL>(grown));
  EXPECT_EQ(gmem::Free(grown), nullptr);
  EXPECT_EQ(gmem::Size(nullptr), 0u);
}

TEST(Win32GlobalMemory, WorkBufferIsTheSystemsBlock) {
  gmem::Handle block = nullptr;
  void* address = nullptr;
  ASSERT_TRUE(AllocGlobalBlock(65536, &block, &address));
  EXPECT_EQ(GlobalHandle(address), static_cast<HGLOBAL>(block));
  EXPECT_GE(GlobalSize(static_cast<HGLOBAL>(block)), 65536u);
  EXPECT_EQ(GlobalFlags(static_cast<HGLOBAL>(block)) & GMEM_LOCKCOUNT, 1u);
  FreeGlobalBlock(&block, &address);
  EXPECT_EQ(block, nullptr);
}

TEST(Win32GlobalMemory, ClusterBlockIsReleasedWithGlobalFree) {
  std::vector<uint8_t> bytes(8 * 512);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 512 + 1);
  VolumeHandle v;
  v.handle = MakeMemorySource(bytes, 512);
  gmem::Handle h = DasdReadClusterAlloc(v, 2, 3, 512);
  ASSERT_NE(h, nullptr);
  HGLOBAL g = static_cast<HGLOBAL>(h);
  EXPECT_GE(GlobalSize(g), 4u * 512);
  EXPECT_EQ(GlobalFlags(g) & GMEM_LOCKCOUNT, 0u);  // handed back unlocked
  auto* p = static_cast<uint8_t*>(GlobalLock(g));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 3);
  EXPECT_EQ(p[3 * 512 - 1], 5);
  EXPECT_EQ(p[3 * 512], 0);  // the extra unit stays zero
  GlobalUnlock(g);
  EXPECT_EQ(GlobalFree(g), nullptr);
}

}  // namespace
}  // namespace rv
#endif
