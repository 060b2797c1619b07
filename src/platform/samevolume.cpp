#include "platform/samevolume.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
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
    out.push_back({Unescape(fields[4]), Unescape(fields[dash + 2]), fields[dash + 1]});
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

// Whether an open object (a mount's source, a file a process holds) is the
// searched volume: the image file itself or a loop device backed by it; for
// a searched device, the device, its disk or one of its partitions.
bool IsTheVolume(const struct stat& candidate, const struct stat& vol) {
  if (S_ISREG(vol.st_mode)) {
    struct stat backing;
    return (S_ISREG(candidate.st_mode) && SameFile(candidate, vol)) ||
           (S_ISBLK(candidate.st_mode) && LoopBackingFile(candidate.st_rdev, backing) && SameFile(backing, vol));
  }
  if (S_ISBLK(vol.st_mode) && S_ISBLK(candidate.st_mode))
    return candidate.st_rdev == vol.st_rdev || DiskOf(candidate.st_rdev) == vol.st_rdev ||
           DiskOf(candidate.st_rdev) == DiskOf(vol.st_rdev);
  return false;
}

// A FUSE driver that holds the searched volume open: a process with both
// /dev/fuse and the volume (or a loop device of it) among its open files.
// Its command line names its mount point; `onDestination` tells whether one
// of its arguments lies on the destination's file system, `known` whether
// any argument is a FUSE mount point at all.
struct FuseDriver {
  std::string name;
  bool onDestination = false;
  bool known = false;
};

std::vector<FuseDriver> FuseDriversHolding(const struct stat& vol, dev_t destDev) {
  std::vector<FuseDriver> out;
  DIR* proc = ::opendir("/proc");
  if (!proc) return out;
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    const std::string base = std::string("/proc/") + e->d_name;
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (!fds) continue;
    bool fuse = false, holds = false;
    while (dirent* f = ::readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      const std::string link = base + "/fd/" + f->d_name;
      char target[64] = {};
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0 && std::strcmp(target, "/dev/fuse") == 0) fuse = true;
      struct stat st;
      if (::stat(link.c_str(), &st) == 0 && IsTheVolume(st, vol)) holds = true;
    }
    ::closedir(fds);
    if (!fuse || !holds) continue;
    FuseDriver d;
    std::string cmdline = ReadSmallFile(base + "/cmdline");
    for (size_t i = 0; i < cmdline.size();) {
      size_t end = cmdline.find('\0', i);
      if (end == std::string::npos) end = cmdline.size();
      std::string arg = cmdline.substr(i, end - i);
      if (d.name.empty()) d.name = arg.substr(arg.rfind('/') + 1);
      i = end + 1;
      if (arg.empty() || arg[0] == '-') continue;
      // Relative arguments are taken from the driver's own folder.
      const std::string path = arg[0] == '/' ? arg : base + "/cwd/" + arg;
      struct stat st, parent;
      if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      if (::stat((path + "/..").c_str(), &parent) == 0 && parent.st_dev != st.st_dev) d.known = true;
      if (st.st_dev == destDev) d.onDestination = true;
    }
    out.push_back(d);
  }
  ::closedir(proc);
  return out;
}

}  // namespace

bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath,
                           const std::string& mountinfo, std::string& why) {
  struct stat dest, vol;
  if (!StatNearest(destination, dest) || ::stat(volumePath.c_str(), &vol) != 0) return false;
  if (!S_ISBLK(vol.st_mode) && !S_ISREG(vol.st_mode)) return false;
  if (S_ISBLK(vol.st_mode) &&
      (dest.st_dev == vol.st_rdev || DiskOf(dest.st_dev) == vol.st_rdev || DiskOf(dest.st_dev) == DiskOf(vol.st_rdev))) {
    why = "the destination lies on the device being searched";
    return true;
  }
  // The destination's file system on a loop device of the image.
  struct stat backing;
  if (S_ISREG(vol.st_mode) && LoopBackingFile(dest.st_dev, backing) && SameFile(backing, vol)) {
    why = "the destination lies on a loop device backed by the image being searched";
    return true;
  }
  // The file system that holds the destination, known by what it is
  // mounted from: the volume itself, or a loop device of it. A FUSE driver
  // may name its mount's source as it likes (fusefat says "fusefat"); then
  // the driver itself tells, by holding the volume open.
  bool onFuse = false;
  for (const auto& m : ParseMountInfo(mountinfo)) {
    struct stat mp, src;
    if (::stat(m.mountPoint.c_str(), &mp) != 0 || mp.st_dev != dest.st_dev) continue;
    if (::stat(m.source.c_str(), &src) == 0 && IsTheVolume(src, vol)) {
      why = "the destination lies on a file system mounted from the volume being searched (" + m.mountPoint + ")";
      return true;
    }
    if (m.fileSystem == "fuse" || m.fileSystem == "fuseblk" || m.fileSystem.rfind("fuse.", 0) == 0) onFuse = true;
  }
  if (onFuse) {
    for (const auto& d : FuseDriversHolding(vol, dest.st_dev)) {
      // A driver whose mount point is known and is elsewhere serves another
      // file system; one that names none might be serving this one.
      if (d.onDestination || !d.known) {
        why = "the destination lies on a FUSE file system whose driver (" + d.name +
              ") holds the volume being searched open";
        return true;
      }
    }
  }
  return false;
}

bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath, std::string& why) {
  return DestinationIsOnVolume(destination, volumePath, ReadSmallFile("/proc/self/mountinfo"), why);
}

#endif

}  // namespace rv
