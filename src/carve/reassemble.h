// Fragment reassembly: the clusters of a deleted file whose chain is gone,
// chosen by validating its format across them (bifragment gap carving,
// extended to four pieces).
#pragma once
#include <vector>

#include "volume/cluster_layout.h"

namespace rv::carve {

// The answer the engine table installs for the engines (ClusterLayoutCheck):
// the layouts tried, in order, are the engine's guess, then the file in
// order over the usable clusters from its first, passing over up to three
// of the hinted spans, then gaps of free clusters chosen piece by piece
// where the structure broke. The first whose structure ends in the file's
// last cluster wins. Bounded in trials and in the bytes the format's check
// reads over them all: a small multiple of the file's size, plus a constant.
// Gaps chosen by the search alone stand only where the format checked every
// byte (Measure::contentChecked).
bool ChooseClustersByContent(const ClusterLayoutQuestion& question, std::vector<LcnRun>& runs);

}  // namespace rv::carve
