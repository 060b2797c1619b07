#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/text.h"

namespace rv::test {

// The build writes a Unix path; a Windows build running under Wine reaches
// it through drive Z:, unless the path is already a Windows one.
std::string ImagesDir() {
  std::string dir = RETRIVA_TEST_IMAGES;
#ifdef _WIN32
  if (!dir.empty() && dir[0] == '/') {
    for (auto& c : dir)
      if (c == '/') c = '\\';
    dir = "Z:" + dir;
  }
#endif
  return dir;
}

std::string ImagePath(const std::string& name) {
  std::string p = ImagesDir() + "/" + name;
#ifdef _WIN32
  for (auto& c : p)
    if (c == '/') c = '\\';
#endif
  return std::filesystem::exists(p) ? p : std::string();
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  // The path is UTF-8; on Windows a narrow name would go through the ANSI
  // code page and miss names like "café-日本語.txt".
  // One read of the whole file: the test volumes run to hundreds of MiB,
  // and a byte-wise stream copy of those takes seconds unoptimised.
  std::ifstream f(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary | std::ios::ate);
  if (!f) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(f.tellg()));
  f.seekg(0);
  f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) bytes.clear();
  return bytes;
}

MessageRecorder::MessageRecorder()
    : sink_([this](uint32_t id, const std::vector<uint8_t>& p) { messages.push_back({id, p}); }) {
  SetMessageSink(&sink_);
}

MessageRecorder::~MessageRecorder() { SetMessageSink(nullptr); }

std::vector<uint32_t> MessageRecorder::Ids() const {
  std::vector<uint32_t> ids;
  for (const auto& m : messages) ids.push_back(m.id);
  return ids;
}

size_t MessageRecorder::Count(uint32_t id) const {
  size_t n = 0;
  for (const auto& m : messages) n += m.id == id;
  return n;
}

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto p = base / ("retriva-test-" + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) {
      path_ = p.string();
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Text TempDir::EnginePath() const {
  Text t = FromUtf8(path_);
  for (auto& c : t)
    if (c == u'/') c = u'\\';
  return t;
}

}  // namespace rv::test
