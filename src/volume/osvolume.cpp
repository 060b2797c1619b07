#include "volume/osvolume.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"

#ifdef _WIN32
#include "platform/winapi.h"
#endif

namespace rv {
namespace {

struct Attached {
  std::shared_ptr<VolumeSource> source;
  char16_t letter;
};

std::mutex g_mutex;
std::map<Text, Attached> g_attached;  // key: upper-cased GUID name, no trailing "\"
unsigned g_nextId = 1;

Text StripTrailingBackslash(TextView s) {
  Text t(s);
  if (!t.empty() && t.back() == u'\\') t.pop_back();
  return t;
}

// "X:", "X:\", "\\.\X:" and "\\.\X:\" name drive X.
char16_t DriveLetterOf(TextView name) {
  Text t = StripTrailingBackslash(name);
  if (t.size() == 2 && t[1] == u':') return UpcaseChar(t[0]);
  if (t.size() == 6 && t.substr(0, 4) == u"\\\\.\\" && t[5] == u':') return UpcaseChar(t[4]);
  return 0;
}

}  // namespace

Text AttachVolume(std::shared_ptr<VolumeSource> source, char16_t driveLetter) {
  std::lock_guard<std::mutex> lock(g_mutex);
  char buf[64];
  std::snprintf(buf, sizeof buf, "\\\\?\\Volume{52747276-0000-4000-8000-%012X}", g_nextId++);
  Text name = FromUtf8(buf);
  g_attached[Upcase(name)] = Attached{std::move(source), UpcaseChar(driveLetter)};
  return name;
}

void DetachVolume(TextView volumeName) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_attached.erase(Upcase(StripTrailingBackslash(volumeName)));
}

std::shared_ptr<VolumeSource> FindAttachedVolume(TextView name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (char16_t letter = DriveLetterOf(name)) {
    for (auto& [key, a] : g_attached)
      if (a.letter == letter) return a.source;
    return nullptr;
  }
  auto it = g_attached.find(Upcase(StripTrailingBackslash(name)));
  return it == g_attached.end() ? nullptr : it->second.source;
}

BOOL QueryVolumeNameForMountPoint(TextView mountPoint, Text& volumeName) {
  if (char16_t letter = DriveLetterOf(mountPoint)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [key, a] : g_attached) {
      if (a.letter == letter) {
        // Stored upper-cased; the name itself is ASCII, so this is the name.
        volumeName = key + u"\\";
        return kTrue;
      }
    }
  }
#ifdef _WIN32
  using Fn = BOOL(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
  static Fn fn = win::ProcAddress<Fn>(L"KERNEL32", "GetVolumeNameForVolumeMountPointW");
  // Wine gives a mapped drive a GUID name once its mount manager has seen
  // it, but a handle opened by that name cannot read (ERROR_INVALID_FUNCTION):
  // only the drive device "\\.\X:" reaches the image. Report no GUID name.
  if (fn && RunningUnderWine()) {
    SetLastErrorCode(kErrorNotSupported);
    return kFalse;
  }
  if (fn) {
    std::wstring mp(mountPoint.begin(), mountPoint.end());
    wchar_t buf[51];
    if (fn(mp.c_str(), buf, 51)) {
      volumeName.assign(buf, buf + wcslen(buf));
      return kTrue;
    }
    return kFalse;
  }
#endif
  SetLastErrorCode(kErrorFileNotFound);
  return kFalse;
}

#ifndef _WIN32

BOOL QueryVolumeInformation(TextView rootPath, Text& fileSystemName, Text& label) {
  auto src = FindAttachedVolume(rootPath);
  if (!src) {
    SetLastErrorCode(kErrorPathNotFound);
    return kFalse;
  }
  return src->VolumeInformation(fileSystemName, label) ? kTrue : kFalse;
}

BOOL QueryDiskFreeSpace(TextView rootPath, DiskFreeSpace& out) {
  auto src = FindAttachedVolume(rootPath);
  if (!src) {
    SetLastErrorCode(kErrorPathNotFound);
    return kFalse;
  }
  return src->QueryDiskFreeSpace(out) ? kTrue : kFalse;
}

uint32_t QueryDriveType(TextView rootPath) {
  auto src = FindAttachedVolume(rootPath);
  return src ? src->DriveType() : kDriveNoRootDir;
}

std::shared_ptr<VolumeSource> OpenVolumeDevice(TextView devicePath, bool) {
  auto src = FindAttachedVolume(devicePath);
  if (!src) SetLastErrorCode(kErrorFileNotFound);
  return src;
}

#else

namespace {
using win::Wide;

// The device behind a root path, for the on-disk fallback: "X:\" opens
// "\\.\X:", a GUID path opens itself without the trailing "\".
std::shared_ptr<VolumeSource> DeviceForRoot(TextView rootPath) {
  if (auto src = FindAttachedVolume(rootPath)) return src;
  Text dev;
  if (char16_t letter = DriveLetterOf(rootPath)) {
    dev = u"\\\\.\\";
    dev.push_back(letter);
    dev += u":";
  } else {
    dev = StripTrailingBackslash(rootPath);
  }
  return OpenWin32VolumeDevice(dev, false, StripTrailingBackslash(rootPath) + u"\\");
}

// The root path that GetVolumeInformationW takes for a device: "X:\" for
// the drive device "\\.\X:", the GUID path with its "\" for a volume name.
Text RootForDevice(TextView devicePath) {
  if (char16_t letter = DriveLetterOf(devicePath)) return Text(1, letter) + u":\\";
  return StripTrailingBackslash(devicePath) + u"\\";
}
}  // namespace

BOOL QueryVolumeInformation(TextView rootPath, Text& fileSystemName, Text& label) {
  if (auto src = FindAttachedVolume(rootPath)) return src->VolumeInformation(fileSystemName, label) ? kTrue : kFalse;
  // Wine reports "NTFS" and no label for every drive mapped to an image: ask
  // the volume itself there.
  if (!RunningUnderWine()) {
    wchar_t fs[15] = {}, lab[100] = {};
    if (GetVolumeInformationW(Wide(rootPath).c_str(), lab, 100, nullptr, nullptr, nullptr, fs, 15)) {
      fileSystemName.assign(fs, fs + wcslen(fs));
      label.assign(lab, lab + wcslen(lab));
      return kTrue;
    }
  }
  auto src = DeviceForRoot(rootPath);
  return src && src->VolumeInformation(fileSystemName, label) ? kTrue : kFalse;
}

BOOL QueryDiskFreeSpace(TextView rootPath, DiskFreeSpace& out) {
  if (auto src = FindAttachedVolume(rootPath)) return src->QueryDiskFreeSpace(out) ? kTrue : kFalse;
  if (!RunningUnderWine()) {
    DWORD spc = 0, bps = 0, freeC = 0, totalC = 0;
    if (GetDiskFreeSpaceW(Wide(rootPath).c_str(), &spc, &bps, &freeC, &totalC)) {
      out = DiskFreeSpace{spc, bps, freeC, totalC};
      return kTrue;
    }
  }
  auto src = DeviceForRoot(rootPath);
  return src && src->QueryDiskFreeSpace(out) ? kTrue : kFalse;
}

uint32_t QueryDriveType(TextView rootPath) {
  if (auto src = FindAttachedVolume(rootPath)) return src->DriveType();
  return GetDriveTypeW(Wide(rootPath).c_str());
}

std::shared_ptr<VolumeSource> OpenVolumeDevice(TextView devicePath, bool writeAccess) {
  if (auto src = FindAttachedVolume(devicePath)) return src;
  return OpenWin32VolumeDevice(devicePath, writeAccess, RootForDevice(devicePath));
}

#endif

}  // namespace rv
