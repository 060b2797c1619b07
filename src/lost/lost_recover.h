// Recovery of the files the old-record scanners found. NTFS records go
// through the NTFS engine's writers (resident data, runs, holes, LZNT1,
// "*" where a cluster is in use now); FAT and exFAT files are read from
// their first cluster for their size, over consecutive clusters: exact for
// an exFAT file marked NoFatChain, a guess otherwise (the chain went with
// the old FAT), with "*" over every cluster the volume shows in use now.
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

struct LostRecovery {
  uint32_t code = 0;     // 776 recovered, 777 with "*" in place of clusters in use, 778 not recovered, 785 no room
  bool guessed = false;  // clusters after the first were taken as consecutive without a chain to say so
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
// (only NTFS records need it).
LostRecovery RecoverLostFile(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file, const Text& folder);

// The file's bytes read in place as RecoverLostFile writes them (a mount's
// view); null where it cannot be read (a name from an old folder index
// without its record). Reads go to `source`, and for NTFS records through
// `ntfs`, which must stay open on it.
std::unique_ptr<FoundFileReader> OpenLostReader(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file);

}  // namespace rv::lost
