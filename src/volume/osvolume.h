// The volume queries of the operating system, in the shape the engines use
// them. Volumes attached here (image files, block devices, memory) get a
// volume GUID name "\\?\Volume{...}" and optionally a drive letter, and every
// answer for them comes from their on-disk structures. Other names go to the
// operating system on Windows (with the on-disk fallback where it cannot
// answer) and are unknown elsewhere.
#pragma once
#include <memory>

#include "platform/types.h"
#include "volume/source.h"

namespace rv {

// Attaches a source; returns its volume GUID name without trailing "\".
Text AttachVolume(std::shared_ptr<VolumeSource> source, char16_t driveLetter = 0);
void DetachVolume(TextView volumeName);
// The attached source named by a GUID name, "X:", "X:\" or "\\.\X:" (with
// or without a trailing "\"); null when none.
std::shared_ptr<VolumeSource> FindAttachedVolume(TextView name);

BOOL QueryVolumeInformation(TextView rootPath, Text& fileSystemName, Text& label);  // GetVolumeInformationW
BOOL QueryDiskFreeSpace(TextView rootPath, DiskFreeSpace& out);                    // GetDiskFreeSpaceW
uint32_t QueryDriveType(TextView rootPath);                                        // GetDriveTypeW
// GetVolumeNameForVolumeMountPointW: "X:\" to "\\?\Volume{...}\".
BOOL QueryVolumeNameForMountPoint(TextView mountPoint, Text& volumeName);

// CreateFileW(device path, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING) for a
// volume; `writeAccess` adds GENERIC_WRITE where the platform needs it for
// control requests (NTFS on Windows). Null with the last error set.
std::shared_ptr<VolumeSource> OpenVolumeDevice(TextView devicePath, bool writeAccess);

#ifdef _WIN32
// A Windows volume device (\\.\X: or \\?\Volume{...}) as a source.
std::shared_ptr<VolumeSource> OpenWin32VolumeDevice(TextView devicePath, bool writeAccess, Text rootPath);
#endif

}  // namespace rv
