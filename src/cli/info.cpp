#include <cstdio>
#include <iostream>
#include <vector>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/terminal.h"
#include "format/fat_boot.h"
#include "platform/lasterror.h"
#include "platform/text.h"
#include "volume/dasd.h"
#include "volume/ondisk.h"
#include "volume/osvolume.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace rv::cli {

void Refuse(const std::string& reason) {
  ProgressLine::Get().Clear();
  WriteText(stderr, "retriva: " + ForTerminal(reason) + "\n");
}

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

std::string ForTerminal(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      out.push_back('?');
    } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out.push_back('?');  // U+0080..U+009F
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void WarnOfVolumeNotice(const OpenedVolume& v) {
  if (!v.source || v.wholeDisk || !v.source->OnDisk().Recognised()) return;
  const std::string& notice = v.source->OnDisk().Facts().notice;
  if (!notice.empty()) std::fprintf(stderr, "retriva: warning: %s\n", ForTerminal(v.display + ": " + notice).c_str());
}

Truncation CheckTruncation(const OpenedVolume& v, std::string& text) {
  return rv::CheckTruncation(v.source.get(), v.display, text);
}

std::string NoFileSystemText(const OpenedVolume& v) {
  const std::string why = v.source ? v.source->OnDisk().Facts().refusal : std::string();
  return why.empty() ? "no NTFS, FAT or exFAT file system found (the boot sector is damaged or of another kind)" : why;
}

namespace {

struct VolumeFacts {
  bool recognised = false;
  std::string fileSystem;  // NTFS, FAT12, FAT16, FAT32, exFAT
  std::string label;
  uint64_t sectorSize = 0, clusterSize = 0, clusterCount = 0;
  bool hasFree = false;
  uint64_t freeClusters = 0;
  uint64_t claimedBytes = 0, actualBytes = 0;
};

VolumeFacts GatherFacts(OpenedVolume& v) {
  VolumeFacts f;
  Text fsName, label;
  if (!QueryVolumeInformation(v.root, fsName, label)) return f;
  f.recognised = true;
  f.label = ToUtf8(label);
  DiskFreeSpace space;
  if (QueryDiskFreeSpace(v.root, space)) {
    f.sectorSize = space.bytesPerSector;
    f.clusterSize = uint64_t{space.bytesPerSector} * space.sectorsPerCluster;
    f.clusterCount = space.totalClusters;
    f.freeClusters = space.freeClusters;
    f.hasFree = true;
  }
#ifdef _WIN32
  if (!v.source && !f.hasFree) {
    // A system volume whose free space the system cannot tell (Wine for a
    // drive mapped to an image): the geometry still comes from its boot
    // sector, read through the raw device.
    Text device = v.volumeName;
    if (device.size() == 2 && device[1] == u':') device = u"\\\\.\\" + device;
    if (auto d = OpenVolumeDevice(device, false); d && d->OnDisk().Recognised()) {
      const FsFacts& facts = d->OnDisk().Facts();
      f.sectorSize = facts.bytesPerSector;
      f.clusterSize = facts.bytesPerCluster;
      f.clusterCount = facts.totalClusters;
    }
  }
#endif
  if (v.source) {
    const FsFacts& facts = v.source->OnDisk().Facts();
    f.sectorSize = facts.bytesPerSector;
    f.clusterSize = facts.bytesPerCluster;
    f.clusterCount = facts.totalClusters;
    f.claimedBytes = facts.totalSectors * facts.bytesPerSector;
    f.actualBytes = v.source->SizeBytes();
  }
  f.fileSystem = ToUtf8(fsName);
  if (f.fileSystem == "FAT") f.fileSystem = f.clusterCount < 4087 ? "FAT12" : "FAT16";
  return f;
}

// The container formats this build cannot read, each with its library.
std::vector<ImageFormat> FormatsNotBuiltIn() {
  std::vector<ImageFormat> out;
  for (ImageFormat f : {ImageFormat::Ewf, ImageFormat::Vhd, ImageFormat::Vhdx, ImageFormat::Vmdk, ImageFormat::Qcow2})
    if (!ImageFormatBuiltIn(f)) out.push_back(f);
  return out;
}

std::string FormatText(ImageFormat f) {
  if (f == ImageFormat::Raw) return ImageFormatName(f);
  return std::string(ImageFormatName(f)) + " (" + ImageFormatLibrary(f) + ")";
}

}  // namespace

int RunInfo(const VolumeArgs& args, bool json) {
  std::string error;
  auto v = OpenVolumeArg(args, error);
  if (!v) {
    Refuse(error);
    return kExitRefused;
  }
  SetLastErrorCode(0);
  VolumeFacts f = GatherFacts(*v);
  if (!f.recognised && GetLastErrorCode() == kErrorAccessDenied) {
    Refuse(args.volume + ": " + AccessDeniedText());
    return kExitRefused;
  }
  WarnOfVolumeNotice(*v);
  std::string truncation;
  const bool truncated = !v->wholeDisk && CheckTruncation(*v, truncation) == Truncation::ClustersCut;
  if (!truncation.empty() && !truncated) std::fprintf(stderr, "retriva: warning: %s\n", ForTerminal(truncation).c_str());
  // What the search will do: the FAT engine's own check decides for FAT.
  const char* fatRefusal = f.fileSystem == "FAT12" || f.fileSystem == "FAT16" || f.fileSystem == "FAT32"
                               ? fat::FatSearchRefusal(f.sectorSize, f.clusterSize, f.clusterCount)
                               : nullptr;
  const bool supported = f.recognised && !fatRefusal && !truncated;

  if (json) {
    nlohmann::ordered_json j;
    j["volume"] = args.volume;
    j["image_format"] = v->source ? nlohmann::ordered_json(ImageFormatName(v->format)) : nlohmann::ordered_json(nullptr);
    nlohmann::ordered_json missing = nlohmann::ordered_json::array();
    for (ImageFormat f : FormatsNotBuiltIn()) missing.push_back(ImageFormatName(f));
    j["image_formats_not_built_in"] = missing;
    j["file_system"] = f.recognised ? nlohmann::ordered_json(f.fileSystem) : nlohmann::ordered_json(nullptr);
    j["label"] = f.recognised ? nlohmann::ordered_json(f.label) : nlohmann::ordered_json(nullptr);
    j["sector_size"] = f.recognised ? nlohmann::ordered_json(f.sectorSize) : nlohmann::ordered_json(nullptr);
    j["cluster_size"] = f.recognised ? nlohmann::ordered_json(f.clusterSize) : nlohmann::ordered_json(nullptr);
    j["cluster_count"] = f.recognised ? nlohmann::ordered_json(f.clusterCount) : nlohmann::ordered_json(nullptr);
    j["free_clusters"] = f.hasFree ? nlohmann::ordered_json(f.freeClusters) : nlohmann::ordered_json(nullptr);
    j["supported"] = supported;
    j["partition_table"] = v->table.scheme.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(v->table.scheme);
    nlohmann::ordered_json parts = nlohmann::ordered_json::array();
    for (const auto& p : v->table.partitions)
      parts.push_back({{"number", p.number}, {"start", p.startBytes}, {"size", p.sizeBytes}, {"type", p.type},
                       {"description", p.description}});
    j["partitions"] = parts;
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << "Volume:        " << args.volume << "\n";
    if (v->source) std::cout << "Image format:  " << FormatText(v->format) << "\n";
    if (const auto missing = FormatsNotBuiltIn(); !missing.empty()) {
      std::string list;
      for (ImageFormat f : missing) list += (list.empty() ? "" : ", ") + FormatText(f);
      std::cout << "Not built in:  " << list << "\n";
    }
    if (f.recognised) {
      std::cout << "File system:   " << f.fileSystem << "\n"
                << "Label:         " << ForTerminal(f.label) << "\n"
                << "Sector size:   " << f.sectorSize << " bytes\n"
                << "Cluster size:  " << f.clusterSize << " bytes\n"
                << "Clusters:      " << f.clusterCount << "\n";
      if (f.hasFree) std::cout << "Free clusters: " << f.freeClusters << "\n";
    }
    if (!v->table.partitions.empty()) {
      std::cout << "Partitions (" << v->table.scheme << "):\n";
      std::printf("  %-3s %14s %14s  %s\n", "#", "start", "size", "type");
      std::fflush(stdout);
      for (const auto& p : v->table.partitions) {
        std::printf("  %-3u %14llu %14llu  %s %s\n", p.number, static_cast<unsigned long long>(p.startBytes),
                    static_cast<unsigned long long>(p.sizeBytes), p.type.c_str(), p.description.c_str());
      }
      std::fflush(stdout);
    }
  }
  if (v->wholeDisk) return kExitOk;  // a disk: its partitions are the answer
  if (!f.recognised) {
    Refuse(args.volume + ": " + NoFileSystemText(*v));
    return kExitRefused;
  }
  if (fatRefusal) {
    Refuse(args.volume + ": " + fatRefusal);
    return kExitRefused;
  }
  if (truncated) {
    Refuse(truncation);
    return kExitRefused;
  }
  return kExitOk;
}

}  // namespace rv::cli
