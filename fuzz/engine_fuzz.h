// Whole-engine fuzzing: a real volume image (made by mkntfs/ntfs-3g or
// mkfs.fat/mtools) is loaded once, and each input is a list of patches
// (offset, length, bytes) laid over its metadata area. The patched image is
// searched and its findings recovered into a scratch folder, through the
// same shells the front ends call.
#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "channel/messages.h"
#include "channel/packet.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv::fuzz {

inline std::vector<uint8_t> LoadImage(const char* name) {
  std::string path = std::string(RETRIVA_FUZZ_IMAGES) + "/" + name;
  // One read of the whole file: a byte-wise stream copy of a volume image
  // takes longer under the sanitizers than libFuzzer waits for one input.
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> image(f ? static_cast<size_t>(f.tellg()) : 0);
  f.seekg(0);
  f.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (!f) image.clear();
  return image;
}

// Patch records: u32 offset (within [areaStart, areaStart + areaLength)),
// u8 length, then that many bytes.
inline void ApplyPatches(std::vector<uint8_t>& image, uint64_t areaStart, uint64_t areaLength, const uint8_t* data,
                         size_t size) {
  size_t i = 0;
  while (i + 5 <= size && areaLength != 0) {
    uint64_t off = areaStart + le32(Bytes(data + i, 4), 0) % areaLength;
    size_t len = data[i + 4];
    i += 5;
    for (size_t k = 0; k < len && i < size; ++k, ++i)
      if (off + k < image.size()) image[off + k] = data[i];
  }
}

struct Findings {
  std::vector<uint32_t> locators;
  std::vector<uint32_t> indexes;
  std::vector<Text> paths;
};

inline Text ScratchFolder() {
  static std::string dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("retriva-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p.string();
  }();
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove_all(e.path(), ec);
  Text t = FromUtf8(dir);
  for (auto& c : t)
    if (c == u'/') c = u'\\';
  return t;
}

inline void CheckOutputsInside(const Text& folder) {
  // Every file the recovery made must lie directly in the scratch folder.
  std::string dir = ToUtf8(folder);
  for (auto& c : dir)
    if (c == '\\') c = '/';
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
    if (e.path().parent_path() != std::filesystem::path(dir)) __builtin_trap();
}

}  // namespace rv::fuzz
