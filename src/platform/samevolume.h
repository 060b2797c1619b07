// Whether a destination folder lies on the volume being searched: writing
// recovered files there would overwrite the very clusters being recovered.
#pragma once
#include <string>

namespace rv {

struct MountEntry {
  std::string mountPoint;
  std::string source;      // device or image path as the kernel lists it
  std::string fileSystem;  // "ext4", "fuse", "fuseblk", "fuse.fusefat", ...
};

// True when `destination` (which need not exist yet: its nearest existing
// ancestor counts) is on the volume `volumePath` names: the same block
// device or one of its partitions, or a file system mounted from the same
// image file (directly through FUSE, or through a loop device), or a FUSE
// file system whose driver holds the volume open. On Windows every
// spelling of a volume counts: X:, X:\ , \\.\X:, \\?\X:, the volume GUID
// path, and a folder where the volume is mounted. `why` explains
// a refusal. Unknown cases answer false.
bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath, std::string& why);

// The destination's path inside the volume that holds it (the text after
// the volume's root, "" at the root itself), or nothing where volumes are
// not named so (POSIX) or the system cannot tell.
bool PathInsideVolume(const std::string& destination, std::u16string& inside);

#ifdef _WIN32
// A volume as Windows names it: its drive letter and its volume GUID path
// ("\\?\Volume{...}\"), each where known (0 or empty otherwise).
struct VolumeIdentity {
  wchar_t letter = 0;
  std::wstring guid;
};
// Every spelling of a volume: X:, X:\ , \\.\X:, \\?\X: (with or without
// a trailing separator), the volume GUID path, a folder where the volume is
// mounted. Anything else (an image file) identifies no volume.
VolumeIdentity IdentifyVolume(const std::string& spelled);
bool SameVolume(const VolumeIdentity& a, const VolumeIdentity& b);
#else
// The same test over a given mount table (the parser's input is
// /proc/self/mountinfo); split out for tests.
bool DestinationIsOnVolume(const std::string& destination, const std::string& volumePath,
                           const std::string& mountinfo, std::string& why);
#endif

}  // namespace rv
