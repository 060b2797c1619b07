#include "cli/volume_arg.h"

#include "platform/lasterror.h"
#include "platform/samevolume.h"
#include "platform/text.h"
#include "volume/ondisk.h"
#include "volume/osvolume.h"

namespace rv::cli {

std::string AccessDeniedText() {
#ifdef _WIN32
  return "access denied: reading a drive or disk raw needs administrator rights; run retriva from a command prompt "
         "opened with \"Run as administrator\"";
#else
  return "permission denied: reading a disk or partition raw needs root (sudo) or membership of the disk group";
#endif
}

namespace {

std::string ErrorText(uint32_t code) {
  switch (code) {
    case kErrorFileNotFound: case kErrorPathNotFound: return "no such file or device";
    case kErrorAccessDenied: return AccessDeniedText();
    case kErrorInvalidParameter: return "offset beyond the end of the volume";
    case kErrorNotSupported: return "not a disk, partition or image file";
    default: return "cannot be opened (error " + std::to_string(code) + ")";
  }
}

#ifdef _WIN32
// The volume root an engine request names for every spelling of an OS
// volume ("X:\\" or the volume GUID path); empty for anything else.
Text OsVolumeRoot(const std::string& v) {
  const VolumeIdentity id = IdentifyVolume(v);
  if (id.letter) return Text{static_cast<char16_t>(id.letter), u':', u'\\'};
  return Text(id.guid.begin(), id.guid.end());
}
#endif

}  // namespace

OpenedVolume::~OpenedVolume() {
  if (source) DetachVolume(volumeName);
}

std::unique_ptr<OpenedVolume> OpenVolumeArg(const VolumeArgs& args, std::string& error) {
  auto out = std::make_unique<OpenedVolume>();
  out->display = args.volume;
#ifdef _WIN32
  const Text osRoot = args.partition || args.offset ? Text() : OsVolumeRoot(args.volume);
  if (!osRoot.empty()) {
    out->root = osRoot;
    out->volumeName = osRoot.substr(0, osRoot.size() - 1);
    return out;
  }
#endif
  const Text path = FromUtf8(args.volume);
  uint32_t code = 0;
  // An image container is known by its content, whatever its name; its
  // disk then stands where the raw image would.
  out->format = DetectImageFormat(path);
  const bool container = out->format != ImageFormat::Raw;
  std::shared_ptr<VolumeSource> disk;
  if (container) {
    std::string why;
    disk = OpenContainerDisk(path, out->format, why);
    if (!disk) {
      error = args.volume + ": " + why;
      return nullptr;
    }
  } else {
    disk = OpenImageSource(path, 0, 0, code);
  }
  if (!disk) {
    error = args.volume + ": " + ErrorText(code);
    return nullptr;
  }
  out->table = ReadPartitionTable(*disk);
  std::shared_ptr<VolumeSource> volume = disk;
  auto part = [&](uint64_t offset, uint64_t length) {
    if (!container) return OpenImageSource(path, offset, length, code);
    code = kErrorInvalidParameter;
    return ContainerSlice(*disk, offset, length);
  };
  if (args.partition) {
    const PartitionEntry* found = nullptr;
    for (const auto& p : out->table.partitions)
      if (p.number == *args.partition) found = &p;
    if (!found) {
      error = args.volume + ": no partition " + std::to_string(*args.partition) +
              (out->table.partitions.empty() ? " (no partition table found)" : "");
      return nullptr;
    }
    volume = part(found->startBytes, found->sizeBytes);
    out->offsetInImage = found->startBytes;
  } else if (args.offset) {
    volume = part(*args.offset, 0);
    out->offsetInImage = *args.offset;
  } else {
    out->wholeDisk = !out->table.partitions.empty() && !disk->OnDisk().Recognised();
  }
  if (!volume) {
    error = args.volume + ": " + ErrorText(code);
    return nullptr;
  }
  out->source = volume;
  out->volumeName = AttachVolume(volume);
  out->root = out->volumeName + u"\\";
  return out;
}

}  // namespace rv::cli
