// Turns the VOLUME argument of every subcommand (an image file, a block
// device, and on Windows also "C:" or a volume GUID path, optionally with
// --partition or --offset) into the volume root an engine request names.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/types.h"
#include "volume/container.h"
#include "volume/partition.h"
#include "volume/source.h"

namespace rv::cli {

struct VolumeArgs {
  std::string volume;
  std::optional<uint32_t> partition;
  std::optional<uint64_t> offset;
};

struct OpenedVolume {
  std::shared_ptr<VolumeSource> source;  // null for an OS volume on Windows
  Text root;                             // "X:\" or "\\?\Volume{...}\"
  Text volumeName;                       // root without the trailing "\"
  PartitionTable table;                  // of the whole disk, when it has one
  bool wholeDisk = false;                // a partition table and no file system at the start
  ImageFormat format = ImageFormat::Raw;  // how the image file holds the disk
  std::string display;                   // the argument as the user gave it
  uint64_t offsetInImage = 0;            // where the volume starts in the image (--partition, --offset)
  ~OpenedVolume();
};

// What to say when the system refused to open a volume: on Windows that
// raw access needs "Run as administrator", elsewhere root.
std::string AccessDeniedText();

// Opens and attaches the volume; on failure returns null and sets `error`
// to a one-line reason naming the volume.
std::unique_ptr<OpenedVolume> OpenVolumeArg(const VolumeArgs& args, std::string& error);

}  // namespace rv::cli
