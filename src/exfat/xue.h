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
#include "format/cluster_stretches.h"
#include "format/exfat_format.h"
#include "platform/types.h"
#include "volume/exfat_volume.h"
#include "volume/source.h"

namespace rv {

class FoundFileReader;

// Where a folder's listing lies, enough to read it again: found files are
// located by their folder's first cluster and the index of their file entry.
struct ExfatFolder {
  uint32_t firstCluster = 0;
  uint64_t bytes = 0;       // data length; 0 for the root, read to its chain's end
  bool noFatChain = false;
  bool root = false;
  bool deleted = false;     // deleted itself, or inside a deleted folder
  // A deleted folder's end is judged from what its clusters hold: once the
  // walk has judged it, the length of the listing it took.
  bool listedKnown = false;
  uint64_t listedBytes = 0;
};

struct XueVolume {
  Text devicePath;  // found paths start with it: "X:", or the device path
  // Folder reads that failed on the volume (a bad sector, a container cut
  // short) since the volume was set up; the walk tells each folder it cost.
  uint64_t folderReadFailures = 0;
  std::shared_ptr<VolumeSource> source;
  exfat::BootSector boot;
  exfat::RootFacts root;
  exfat::AllocationBitmap bitmap;
  std::unique_ptr<exfat::FatReader> fat;
  // Every folder the last walk entered, by first cluster (a cluster may
  // start a live folder and, before it, a deleted one).
  std::unordered_multimap<uint32_t, ExfatFolder> folders;
  bool walked = false;
  // The deleted sets the last finished walk listed (files, folders, and
  // every set inside a deleted folder), sorted by first cluster: which of
  // them may own the clusters a file without its chain is searched across.
  struct DeletedClaim {
    uint32_t cluster = 0;  // first cluster
    uint32_t clusters = 0; // clusters its data length covers, at least 1
    uint64_t age = 0;      // SetAge
  };
  std::vector<DeletedClaim> deletedClaims;
  bool claimsComplete = false;  // the walk went to its end
  // Listings read again to find files by their entry index, kept so that a
  // recovery of many files of one folder reads it once; emptied by every
  // walk and recovery, and when they pass kMaxKeptListingBytes.
  std::unordered_map<const ExfatFolder*, std::vector<uint8_t>> keptListings;
  uint64_t keptListingBytes = 0;
  void ForgetListings() {
    keptListings.clear();
    keptListingBytes = 0;
  }
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
  bool byFormat = false; // the chain was gone: the file's format chose the clusters after the first
  bool cut = false;      // the file ran past the end of the cluster heap
  uint64_t FreeCount() const;
};
// `deleted`: the clusters must be free (a deleted file or folder); a live
// folder's clusters are read as its entry describes them.
// `age` (SetAge, 0: unknown) tells which other deleted sets' clusters a
// deleted file without its chain may have jumped or taken.
bool PlanClusters(XueVolume& v, uint32_t firstCluster, uint64_t bytes, bool noFatChain, bool deleted,
                  ClusterPlan& plan, uint64_t age = 0);
// When a set was written, to order deleted sets: its creation timestamp
// (else its modification one) with its 10 ms steps; 0 when it has none.
uint64_t SetAge(const exfat::EntrySet& set);
constexpr uint64_t kMaxKeptListingBytes = 64ull << 20;
// The listing of a folder the walk entered, read once while kept; null when
// it cannot be read.
const std::vector<uint8_t>* KeptListing(XueVolume& v, const ExfatFolder& folder);
// Reads a folder's listing up to its end-of-directory entry; a deleted
// folder's (read whatever the bitmap says of its clusters) also up to the
// first cluster that holds no valid entry set.
bool ReadFolder(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing);
// The same, where `taken` holds the folder clusters read before: a deleted
// folder stops short of them, and the clusters read are added to it.
bool ReadFolderOnce(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing, ClusterStretches* taken);

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
// The name a set is listed under: every unit as it is stored, but U+0000
// (which would end the name in every message and request that carries it)
// is shown as U+2400, the symbol for NUL. The output file is named from the
// stored name, which makes NUL "_" as it does every control character.
Text ListedName(const Text& storedName);
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
// A reader of a found file as a recovery writes it; null when the set is no
// longer a deleted file of that path.
std::unique_ptr<FoundFileReader> OpenReader(const FatUndeleteRecord& record);
bool RecoverablePercent(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t& percent);
}  // namespace XueUdel

}  // namespace rv
