// Helpers of the NTFS tests: the manifest entries of one NTFS image, the
// image loaded into memory (so damaged copies can be made), and the bytes
// of an original file.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace rv::test {

inline nlohmann::json ManifestImage(const std::string& name) {
  std::ifstream f(ImagesDir() + "/manifest.json");
  if (!f) return {};
  nlohmann::json m = nlohmann::json::parse(f, nullptr, false);
  if (m.is_discarded() || !m.contains("images")) return {};
  for (const auto& img : m["images"])
    if (img.value("name", "") == name) return img;
  return {};
}

// Original bytes of a manifest entry ("originals/<sha256>", unpacked).
inline bool OriginalBytes(const nlohmann::json& entry, std::vector<uint8_t>& out) {
  std::string rel = entry.value("original", "");
  if (rel.size() > 4 && rel.substr(rel.size() - 4) == ".zst") rel.resize(rel.size() - 4);
  std::string path = ImagePath(rel);
  if (path.empty()) path = ImagePath("originals/" + entry.value("sha256", ""));
  if (path.empty()) return false;
  out = ReadFileBytes(path);
  return true;
}

// The manifest's times are UTC; the found-file headers show local time.
inline void UseUtc() {
#ifdef _WIN32
  _putenv_s("TZ", "UTC");
  _tzset();
#else
  setenv("TZ", "UTC", 1);
  tzset();
#endif
}

inline std::vector<std::string> NtfsImageNames() {
  return {"ntfs-512.img", "ntfs-4k.img", "ntfs-4kn.img", "ntfs-64k.img", "ntfs-128k.img", "ntfs-256k.img",
          "ntfs-2m.img"};
}

}  // namespace rv::test
