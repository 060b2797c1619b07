#include "platform/samevolume.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace rv {

#ifdef _WIN32

bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath, std::string& why) {
  // Only OS volumes ("C:", "\\?\Volume{...}") can hold a destination; an
  // image file is searched through its own handle.
  auto wide = [](const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    return w;
  };
  std::wstring vol = wide(volumePath);
  if (vol.size() < 2) return false;
  wchar_t destRoot[MAX_PATH];
  std::wstring dest = wide(destination);
  if (!GetVolumePathNameW(dest.c_str(), destRoot, MAX_PATH)) return false;
  wchar_t destName[64] = {}, volName[64] = {};
  std::wstring volRoot = vol;
  if (volRoot.back() != L'\\') volRoot += L'\\';
  bool a = GetVolumeNameForVolumeMountPointW(destRoot, destName, 64) != 0;
  bool b = (volRoot.rfind(L"\\\\?\\Volume{", 0) == 0) ? (wcsncpy(volName, volRoot.c_str(), 63), true)
                                                        : GetVolumeNameForVolumeMountPointW(volRoot.c_str(), volName, 64) != 0;
  if (a && b && _wcsicmp(destName, volName) == 0) {
    why = "the destination lies on the volume being searched";
    return true;
  }
  if (!a && vol.size() >= 2 && vol[1] == L':' && towupper(destRoot[0]) == towupper(vol[0]) && destRoot[1] == L':') {
    why = "the destination lies on the volume being searched";
    return true;
  }
  return false;
}

#else

namespace {

// Nearest existing ancestor of a path (the destination may not exist yet).
bool StatNearest(std::string path, struct stat& st) {
  for (int guard = 0; guard < 4096; ++guard) {
    if (::stat(path.c_str(), &st) == 0) return true;
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ::stat(".", &st) == 0;
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return false;
}

// Mount-info fields are space separated with octal escapes (\040 = blank).
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
    if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
  std::vector<MountEntry> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::vector<std::string> fields;
    std::string w;
    while (f >> w) fields.push_back(w);
    // id parent maj:min root mountpoint opts [optional...] - fstype source superopts
    size_t dash = 0;
    for (size_t i = 6; i < fields.size(); ++i)
      if (fields[i] == "-") { dash = i; break; }
    if (fields.size() < 5 || dash == 0 || dash + 2 >= fields.size()) continue;
    out.push_back({Unescape(fields[4]), Unescape(fields[dash + 2])});
  }
  return out;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  std::string t = s.str();
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  return t;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The whole-disk device a partition device belongs to (itself otherwise).
dev_t DiskOf(dev_t dev) {
  std::string base = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  struct stat st;
  if (::stat((base + "/partition").c_str(), &st) != 0) return dev;
  std::string parent = ReadSmallFile(base + "/../dev");
  unsigned ma = 0, mi = 0;
  if (std::sscanf(parent.c_str(), "%u:%u", &ma, &mi) == 2) return makedev(ma, mi);
  return dev;
}

// For a loop device (or a partition of one), the file behind it.
bool LoopBackingFile(dev_t dev, struct stat& backing) {
  dev_t disk = DiskOf(dev);
  std::string path = ReadSmallFile("/sys/dev/block/" + std::to_string(major(disk)) + ":" +
                                   std::to_string(minor(disk)) + "/loop/backing_file");
  return !path.empty() && ::stat(path.c_str(), &backing) == 0;
}

}  // namespace

bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath,
                           const std::string& mountinfo, std::string& why) {
  struct stat dest, vol;
  if (!StatNearest(destination, dest) || ::stat(volumePath.c_str(), &vol) != 0) return false;
  if (S_ISBLK(vol.st_mode)) {
    if (dest.st_dev == vol.st_rdev || DiskOf(dest.st_dev) == vol.st_rdev || DiskOf(dest.st_dev) == DiskOf(vol.st_rdev)) {
      why = "the destination lies on the device being searched";
      return true;
    }
    return false;
  }
  if (!S_ISREG(vol.st_mode)) return false;
  // A file system mounted from the image itself, or from a loop device
  // backed by it, that holds the destination.
  for (const auto& m : ParseMountInfo(mountinfo)) {
    struct stat mp, src;
    if (::stat(m.mountPoint.c_str(), &mp) != 0 || mp.st_dev != dest.st_dev) continue;
    if (::stat(m.source.c_str(), &src) != 0) continue;
    struct stat backing;
    if ((S_ISREG(src.st_mode) && SameFile(src, vol)) ||
        (S_ISBLK(src.st_mode) && LoopBackingFile(src.st_rdev, backing) && SameFile(backing, vol))) {
      why = "the destination lies on a file system mounted from the image being searched (" + m.mountPoint + ")";
      return true;
    }
  }
  // A loop device of the image whose file system is the destination's.
  struct stat backing;
  if (LoopBackingFile(dest.st_dev, backing) && SameFile(backing, vol)) {
    why = "the destination lies on a loop device backed by the image being searched";
    return true;
  }
  return false;
}

bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath, std::string& why) {
  return DestinationIsOnVolume(destination, volumePath, ReadSmallFile("/proc/self/mountinfo"), why);
}

#endif

}  // namespace rv
