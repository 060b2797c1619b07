// The searched volume is opened read-only and never changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/text.h"
#include "test_support.h"
#include "volume/source.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace rv {
namespace {

#ifndef _WIN32
// Access mode of every descriptor this process holds on `path`.
std::vector<int> AccessModesOf(const std::string& path) {
  std::vector<int> modes;
  auto target = std::filesystem::canonical(path);
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto link = std::filesystem::read_symlink(e.path(), ec);
    if (ec || link != target) continue;
    int fd = std::stoi(e.path().filename().string());
    modes.push_back(fcntl(fd, F_GETFL) & O_ACCMODE);
  }
  return modes;
}

TEST(ReadOnlyVolume, ImageSourcesHoldOnlyReadOnlyDescriptors) {
  test::TempDir tmp;
  std::string image = tmp.path() + "/v.img";
  std::ofstream(image) << std::string(8192, '\0');
  uint32_t err = 0;
  auto src = OpenImageSource(FromUtf8(image), 0, 0, err);
  ASSERT_NE(src, nullptr);
  // One for reads through the cache and, where the file system allows it,
  // one for direct reads: both read-only.
  auto modes = AccessModesOf(image);
  ASSERT_GE(modes.size(), 1u);
  ASSERT_LE(modes.size(), 2u);
  for (int mode : modes) EXPECT_EQ(mode, O_RDONLY);
}
#endif

}  // namespace
}  // namespace rv
