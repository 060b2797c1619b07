// Recovery of the files the old-record scanners found. NTFS records go
// through the NTFS engine's writers (resident data, runs, holes, LZNT1,
// "*" where a cluster is in use now; the record's run list is the file's
// placement). FAT and exFAT files are read from their first cluster for
// their size: over consecutive clusters for an exFAT file marked
// NoFatChain (exact); otherwise the chain went with the old FAT, and the
// clusters after the first are those the file's format validates across
// (the installed ClusterLayoutCheck: free now, pieces around clusters
// other old files start at), else consecutive ones, a guess, with "*"
// over every cluster the volume shows in use now.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "channel/file_reader.h"
#include "lost/lost_file.h"
#include "platform/types.h"
#include "volume/source.h"

namespace rv {
struct NueVolumeData;
}

namespace rv::lost {

// What the other files found on the volume say of its clusters: a file
// its old folder still listed when the volume was formatted owned its
// first cluster then, so no other old file went on there. A deleted old
// entry says nothing (its clusters were free for anything written after
// it). Built once for all the files a scan found.
class LostClaims {
 public:
  LostClaims() = default;
  explicit LostClaims(const std::vector<LostFile>& files);
  bool StartsListedFile(uint64_t cluster) const;
  // A listed file: its first cluster and size, as its entry stores them.
  struct Listed {
    uint64_t cluster = 0, size = 0;
  };
  // The listed files that start in [from, to), by first cluster: the
  // spans their sizes cover are those a fragmented file most likely jumped.
  std::vector<Listed> StartingIn(uint64_t from, uint64_t to) const;

 private:
  std::vector<Listed> listed_;  // by first cluster
};

struct LostRecovery {
  uint32_t code = 0;     // 776 recovered, 777 with "*" in place of clusters in use, 778 not recovered, 785 no room
  bool guessed = false;  // clusters after the first were taken as consecutive without a chain to say so
  bool byFormat = false; // clusters after the first were chosen by validating the file's format across them
  Text output;           // the file written; empty when none
  // Where the bytes were read from, for a report: the clusters read (none
  // that is in use now) and the spans written as zeros; `placed` false
  // where that is not known (resident data, compressed data).
  std::vector<ClusterRun> clusters;
  std::vector<ZeroSpan> zeros;
  bool placed = false;
  // An NTFS record's resident data: where on the volume its bytes are.
  std::vector<StoredPiece> resident;
};

// `folder` is the destination in the engines' "\" form; the name is made
// safe there. `ntfs` is the NTFS engine's volume record, open on `source`
// (only NTFS records need it). `claims` are those of the files found with
// this one (none known where null).
LostRecovery RecoverLostFile(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file, const Text& folder,
                             const LostClaims* claims = nullptr);

// The file's bytes read in place as RecoverLostFile writes them (a mount's
// view); null where it cannot be read (a name from an old folder index
// without its record). Reads go to `source`, and for NTFS records through
// `ntfs`, which must stay open on it.
std::unique_ptr<FoundFileReader> OpenLostReader(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file,
                                                const LostClaims* claims = nullptr);

}  // namespace rv::lost
