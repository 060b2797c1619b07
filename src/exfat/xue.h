// The exFAT engine: volume setup, the walk over the directory tree that
// lists deleted entry sets (and every file set inside a deleted folder),
// and the recovery of a deleted file from its clusters: consecutive ones
// for a file without a FAT chain, its chain while that is intact and free,
// else the free clusters that follow its first one (a guess).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "channel/packet.h"
#include "format/exfat_format.h"
#include "platform/types.h"
#include "volume/exfat_volume.h"
#include "volume/source.h"

namespace rv {

// Where a folder's listing lies, enough to read it again: found files are
// located by their folder's first cluster and the index of their file entry.
struct ExfatFolder {
  uint32_t firstCluster = 0;
  uint64_t bytes = 0;       // data length; 0 for the root, read to its chain's end
  bool noFatChain = false;
  bool root = false;
  bool deleted = false;     // deleted itself, or inside a deleted folder
};

struct XueVolume {
  Text devicePath;  // found paths start with it: "X:", or the device path
  std::shared_ptr<VolumeSource> source;
  exfat::BootSector boot;
  exfat::RootFacts root;
  exfat::AllocationBitmap bitmap;
  std::unique_ptr<exfat::FatReader> fat;
  // Every folder the last walk entered, by first cluster (a cluster may
  // start a live folder and, before it, a deleted one).
  std::unordered_multimap<uint32_t, ExfatFolder> folders;
  bool walked = false;
  bool IsSetUp() const { return source != nullptr; }
};
XueVolume& TheXueVolume();
// Opens the volume, checks its boot region and loads the allocation bitmap.
bool SetupXueVolumeDataStructures(TextView volumeName, XueVolume& volume, std::string& why);
void FreeXueVolumeDataStructures(XueVolume& volume);

// The clusters a recovery reads: a cluster number for each cluster of the
// file up to its valid data length, 0 where the cluster is in use again
// (its bytes are written as '*').
struct ClusterPlan {
  std::vector<uint32_t> clusters;
  bool guessed = false;  // the chain was gone: clusters after the first are the free ones that follow it
  bool cut = false;      // the file ran past the end of the cluster heap
  uint64_t FreeCount() const;
};
// `deleted`: the clusters must be free (a deleted file or folder); a live
// folder's clusters are read as its entry describes them.
bool PlanClusters(XueVolume& v, uint32_t firstCluster, uint64_t bytes, bool noFatChain, bool deleted,
                  ClusterPlan& plan);
// Reads a folder's listing up to its end-of-directory entry.
bool ReadFolder(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing);

// One file the walk found: its folder, the index of its file entry in the
// folder's listing, the folder path ("\a\b\") and the parsed set.
struct XueFound {
  const ExfatFolder* folder = nullptr;
  uint32_t entryIndex = 0;
  const Text* folderPath = nullptr;
  const exfat::EntrySet* set = nullptr;
};
struct XueWalkStats {
  uint64_t setsPassedOver = 0;  // deleted sets that fail their checksum or are broken
};
// Walks the tree depth first from the root (a folder's files before its
// subfolders), calling `onFile` for every deleted file set and every file
// set inside a deleted folder; `onFolder` when a folder's scan starts.
// `onFile` returning false stops the walk. False when the root cannot be read.
bool WalkXueTree(XueVolume& v, const std::function<bool(const XueFound&)>& onFile,
                 const std::function<void(const Text& folderPath)>& onFolder, XueWalkStats& stats);

// A found file's entry set again, by its folder's first cluster, entry index
// and full path (the set's name must end the path); false when the set is
// no longer a deleted file of that name.
bool FindXueFile(XueVolume& v, uint32_t folderCluster, uint32_t entryIndex, TextView fullPath, exfat::EntrySet& set,
                 bool& inDeletedFolder);
// Share of a file's clusters a recovery would read intact (percent).
uint32_t RecoverablePercentOf(XueVolume& v, const exfat::EntrySet& set);

namespace XueDel {
BOOL GetDeletedFileHeadersShell(const RequestPacket& packet);
uint64_t SetsPassedOverByLastSearch();
// The estimate of the file being listed (asked while its header is handled).
bool RecoverablePercentOfListed(uint32_t& percent);
}  // namespace XueDel

namespace XueUdel {
BOOL UndeleteFileShell(const RequestPacket& packet);
bool RecoverablePercent(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t& percent);
}  // namespace XueUdel

}  // namespace rv
