// Where recovered files may go. A destination is checked against the
// volumes of the machine it is on: it must lie on one of them, and not in a
// recycle folder or recovery bin, whose contents the system itself deletes
// or rewrites. Pure functions over a volume list; the window program's
// destination dialogs and, on Windows, `retriva recover --to` use them.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/types.h"

namespace rv {

// One volume as a machine lists it.
struct DestinationVolume {
  Text name;         // "Volume{GUID}\" (the part after "\\?\")
  char16_t letter = 0;  // 0 when it has none
  Text displayPath;  // how the volume is shown, e.g. "C:" or a mount folder
  bool listed = true;
};

// Why a destination was refused; the values are the string ids of the
// texts the window program shows for them.
enum class DestinationRefusal : uint32_t {
  None = 0,
  NoVolume = 313,       // the path lies on none of the machine's volumes
  RecycleFolder = 315,  // a recycle folder or recovery bin
};

struct DestinationVerdict {
  DestinationRefusal refusal = DestinationRefusal::None;
  Text resolved;  // the volume's name followed by the path inside it
  bool Accepted() const { return refusal == DestinationRefusal::None; }
};

// The folder names, compared without regard to case at the start of the
// path inside the volume, whose contents belong to the system.
bool BeginsWithRecycleFolder(TextView insideVolume);

// The volume holding `path` (by drive letter "X:" then "\" or the end, by
// a "Volume{" name that prefixes it, or by a display path that prefixes it
// up to a separator), and the path inside it; null when none does.
const DestinationVolume* FindVolumeOf(TextView path, const std::vector<DestinationVolume>& volumes, TextView& rest);

// Finds the path's volume (by drive letter "X:" then "\" or the end, by a
// "Volume{" name that prefixes it, or by a display path that prefixes it)
// and refuses it when none holds it or it lies in a recycle folder or a
// recovery bin; with `anyAllowed` neither refusal applies.
DestinationVerdict CheckDestination(TextView path, const std::vector<DestinationVolume>& volumes, bool anyAllowed);

// The text a refusal shows (the same words as the window program's strings
// 313 and 315).
const char* DestinationRefusalText(DestinationRefusal refusal);

}  // namespace rv
