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

namespace {

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  for (auto& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

bool IsDriveSpelling(const std::wstring& s) {
  return s.size() == 2 && s[1] == L':' && iswalpha(s[0]);
}

}  // namespace

VolumeIdentity IdentifyVolume(const std::string& spelled) {
  VolumeIdentity id;
  std::wstring s = Wide(spelled);
  while (s.size() > 3 && s.back() == L'\\') s.pop_back();
  if (s.size() == 3 && s[2] == L'\\') s.pop_back();
  std::wstring rest = s;
  if (s.rfind(L"\\\\.\\", 0) == 0 || s.rfind(L"\\\\?\\", 0) == 0) rest = s.substr(4);
  if (IsDriveSpelling(rest)) {
    id.letter = towupper(rest[0]);
  } else if (rest.size() > 7 && _wcsnicmp(rest.c_str(), L"Volume{", 7) == 0) {
    id.guid = L"\\\\?\\" + rest;
    if (id.guid.back() != L'\\') id.guid += L'\\';
  } else if (s.rfind(L"\\\\", 0) != 0) {
    // A folder: the volume mounted there, if one is.
    wchar_t root[MAX_PATH] = {};
    std::wstring folder = s + L"\\";
    if (GetVolumePathNameW(folder.c_str(), root, MAX_PATH) && _wcsicmp(root, folder.c_str()) == 0) {
      if (IsDriveSpelling(std::wstring(root).substr(0, 2)) && wcslen(root) == 3) id.letter = towupper(root[0]);
      wchar_t guid[64] = {};
      if (GetVolumeNameForVolumeMountPointW(folder.c_str(), guid, 64)) id.guid = guid;
    }
    return id;
  } else {
    return id;
  }
  // Both names where the system knows them (Wine knows no GUIDs).
  if (id.letter && id.guid.empty()) {
    wchar_t root[4] = {id.letter, L':', L'\\', 0}, guid[64] = {};
    if (GetVolumeNameForVolumeMountPointW(root, guid, 64)) id.guid = guid;
  } else if (!id.guid.empty() && !id.letter) {
    wchar_t names[1024] = {};
    DWORD len = 0;
    if (GetVolumePathNamesForVolumeNameW(id.guid.c_str(), names, 1024, &len))
      for (const wchar_t* n = names; *n; n += wcslen(n) + 1)
        if (wcslen(n) == 3 && n[1] == L':') {
          id.letter = towupper(n[0]);
          break;
        }
  }
  return id;
}

bool SameVolume(const VolumeIdentity& a, const VolumeIdentity& b) {
  if (!a.guid.empty() && !b.guid.empty() && _wcsicmp(a.guid.c_str(), b.guid.c_str()) == 0) return true;
  return a.letter != 0 && a.letter == b.letter;
}

bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath, std::string& why) {
  const VolumeIdentity vol = IdentifyVolume(volumePath);
  if (!vol.letter && vol.guid.empty()) return false;  // an image file: searched through its own handle
  // The volume that holds the destination (which need not exist yet).
  std::wstring dest = Wide(destination);
  wchar_t full[32768];
  DWORD n = GetFullPathNameW(dest.c_str(), 32768, full, nullptr);
  if (n > 0 && n < 32768) dest = full;
  std::vector<wchar_t> root(dest.size() + 2);
  if (!GetVolumePathNameW(dest.c_str(), root.data(), static_cast<DWORD>(root.size()))) return false;
  std::wstring r = root.data();
  int u = WideCharToMultiByte(CP_UTF8, 0, r.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string r8(u > 0 ? u - 1 : 0, '\0');
  if (u > 1) WideCharToMultiByte(CP_UTF8, 0, r.c_str(), -1, r8.data(), u, nullptr, nullptr);
  if (SameVolume(IdentifyVolume(r8), vol)) {
    why = "the destination lies on the volume being searched";
    return true;
  }
  return false;
}

bool PathInsideVolume(const std::string& destination, std::u16string& inside) {
  std::wstring dest = Wide(destination);
  std::vector<wchar_t> full(32768);
  DWORD n = GetFullPathNameW(dest.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return false;
  dest = full.data();
  std::vector<wchar_t> root(dest.size() + 2);
  if (!GetVolumePathNameW(dest.c_str(), root.data(), static_cast<DWORD>(root.size()))) return false;
  size_t rootLength = wcslen(root.data());
  // The root ends in a separator; the path at the root itself may not.
  if (dest.size() < rootLength) {
    inside.clear();
    return true;
  }
  inside.assign(dest.begin() + static_cast<std::ptrdiff_t>(rootLength), dest.end());
  return true;
}

#else

bool PathInsideVolume(const std::string&, std::u16string&) { return false; }

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
