// How much of a deleted NTFS file can still come back: the share of its
// data clusters that the volume bitmap shows free now (resident data lives
// in the record and is always whole).
#include <algorithm>

#include "channel/freespac.h"
#include "ntfs/nue.h"

namespace rv::NueUdel {

bool RecoverablePercent(uint64_t recordNumber, uint32_t& percent) {
  NueVolumeData& v = TheNueVolume();
  if (!v.handle || v.bytesPerCluster == 0 || !v.mftBitmap) return false;
  uint8_t* raw = nullptr;
  uint64_t got = recordNumber;
  if (!ReadNextFreeFileRecord(v, got, raw)) return false;
  if (got != recordNumber || !raw) {
    percent = 0;  // the record is in use again: nothing of it is left
    return true;
  }
  std::vector<uint8_t> record(raw, raw + v.bytesPerFileRecord);
  v.currentRecordNumber = recordNumber;
  RecordExamination exam;
  if (ExamineRecord(v, Bytes(record.data(), record.size()), exam) != 0) return false;
  RunGroupView group;
  if (exam.dataKind != 2 || !FirstRunGroup(v, group)) {
    percent = 100;
    return true;
  }
  // Only the clusters that hold data up to the file's size count.
  uint64_t wanted = (v.dataSize + v.bytesPerCluster - 1) / v.bytesPerCluster;
  uint64_t stored = 0, free = 0;
  for (const auto& run : group.runs) {
    if (wanted == 0) break;
    const uint64_t n = std::min<uint64_t>(run.length, wanted);
    wanted -= n;
    if (run.lcn < 0 || n == 0) continue;  // a hole has nothing to lose
    VolumeBitmapSlice slice;
    if (!FetchVolumeBitmap(v, static_cast<uint64_t>(run.lcn), n, slice)) return false;
    for (uint64_t c = 0; c < n; ++c) free += slice.Allocated(static_cast<uint64_t>(run.lcn) + c) ? 0 : 1;
    stored += n;
  }
  percent = stored == 0 ? 100 : static_cast<uint32_t>(free * 100 / stored);
  return true;
}

}  // namespace rv::NueUdel
