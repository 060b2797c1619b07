// One MFT record (FILE record) as it lies on disk, 1024 or 4096 bytes:
// the update sequence is validated and applied, then the attributes are
// walked by the record readers the engines use. Invariants: fixups change
// only the protected words (and nothing when they fail), applying them
// twice is the same as once, every attribute lies inside the record and
// after the one before it, and every reader stays inside the attribute.
// The fixed-up record is then classified and examined as the raw MFT scan
// does (on a volume with no device behind it: nothing is read): sizes,
// statuses and runs stay within what the record and the volume allow.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "ntfs/nue.h"
#include "volume/diaglog.h"

using namespace rv;

namespace {

using fuzz::Check;

void CheckFixups(std::vector<uint8_t>& record) {
  const std::vector<uint8_t> before = record;
  const bool applied = ntfs::ApplyRecordFixups(MutableBytes(record.data(), record.size()));
  if (!applied) {
    Check(record == before);
    return;
  }
  // Only the last word of each 512-byte stride may change.
  for (size_t i = 0; i < record.size(); ++i) {
    const bool protectedWord = (i % ntfs::kFixupStride) >= ntfs::kFixupStride - 2;
    if (!protectedWord) Check(record[i] == before[i]);
  }
  const std::vector<uint8_t> once = record;
  Check(ntfs::ApplyRecordFixups(MutableBytes(record.data(), record.size())));
  Check(record == once);
}

void WalkAttributes(Bytes r) {
  ntfs::Attribute a;
  size_t count = 0, previousEnd = 0;
  for (bool have = ntfs::FirstAttributeOf(r, a); have; have = ntfs::NextAttributeOf(r, a, a)) {
    // Each attribute is at least a resident header long and the next starts
    // where it ends: the walk moves forward and ends inside the record.
    Check(a.offset >= previousEnd && a.length >= ntfs::kResidentHeaderBytes);
    Check(InBounds(r.size(), a.offset, a.length));
    previousEnd = a.offset + a.length;
    Check(++count <= r.size() / ntfs::kResidentHeaderBytes);
    Bytes attr = ntfs::AttributeBytes(r, a);
    Check(attr.size() == a.length && attr.data() == r.data() + a.offset);
    Bytes value = ntfs::ResidentValue(r, a);
    if (a.nonResident) {
      Check(value.empty());
      std::vector<ntfs::Run> runs;
      ntfs::DecodeMappingPairs(attr, 0, runs);
      Check(runs.size() <= attr.size() / 2);
    } else if (!value.empty()) {
      Check(value.data() >= attr.data() && value.data() + value.size() <= attr.data() + attr.size());
      // The value's bytes as stored: every piece inside the record, in
      // order, covering the value.
      size_t covered = 0;
      for (const ntfs::StoredRecordPiece& p :
           ntfs::StoredPiecesOf(r, static_cast<size_t>(value.data() - r.data()), value.size())) {
        Check(p.offsetInSpan == covered && InBounds(r.size(), p.offsetInRecord, p.length));
        covered += p.length;
      }
      Check(covered == value.size());
    }
    Check(ntfs::AttributeName(r, a).size() == a.nameLength);
    Check(ntfs::SameName(r, a, r, a));
    if (a.type == ntfs::kTypeFileName && !a.nonResident) {
      ntfs::FileName fn;
      if (ntfs::ParseFileName(value, fn))
        Check(ntfs::kFnName + 2 * fn.name.size() <= value.size());  // the name may be empty
    }
  }
  // The engine's searches over the same walk end as well.
  ntfs::Attribute found;
  for (uint32_t type : {ntfs::kTypeStandardInformation, ntfs::kTypeAttributeList, ntfs::kTypeFileName,
                        ntfs::kTypeData, 0xFFFFFFFFu})
    if (FindAttribute(type, r.data(), found, r.size())) Check(found.type == type && found.offset < r.size());
  for (bool bitmap : {false, true}) {
    size_t visited = 0;
    for (BOOL have = FirstDataAttribute(r, found, bitmap); have; have = NextDataAttribute(r, found, bitmap)) {
      Check(InBounds(r.size(), found.offset, found.length));
      Check(++visited <= count);
    }
  }
}

constexpr uint64_t kVolumeClusters = 1u << 20;

NueVolumeData& Volume() {
  static NueVolumeData* v = [] {
    auto* n = new NueVolumeData;
    n->bytesPerSector = 512;
    n->bytesPerCluster = 4096;
    n->totalClusters = kVolumeClusters;
    void* address = nullptr;
    if (!AllocGlobalBlock(kRunTableInitialBytes, &n->runTable, &address)) __builtin_trap();
    n->runTableAddress = static_cast<uint8_t*>(address);
    n->runTableCapacity = kRunTableInitialBytes;
    return n;
  }();
  return *v;
}

void Classify(std::vector<uint8_t>& record) {
  NueVolumeData& v = Volume();
  v.bytesPerFileRecord = record.size();
  Bytes r(record.data(), record.size());
  uint64_t modified = 0;
  uint32_t status = 0;
  if (ClassifyFileRecord(v, r, modified, status)) {
    Check(status == 1 || status == 2);
    Check(v.initializedSize <= v.dataSize);
    // Damaged data keeps the size its attribute claims; none of it is read.
    if (status == 1 && v.dataSize != 0 && v.dataDamaged == 0) Check(v.dataSize <= record.size());
    if (status == 2) {
      RunGroupView group;
      Check(FirstRunGroup(v, group));
      for (const ntfs::Run& run : group.runs)
        if (run.lcn >= 0) Check(InBounds(kVolumeClusters, static_cast<uint64_t>(run.lcn), run.length));
      Check(v.storedClusters <= v.totalRunClusters);
      Check(v.compressionUnitClusters >= 2 && v.compressionUnitClusters <= 256);
    }
  } else {
    Check(status <= 7);
  }
  v.lastParent = 0;
  v.currentFullPath.clear();
  RecordExamination ex;
  const uint32_t skip = ExamineRecord(v, r, ex);
  Check(skip == 0 || skip == 94 || skip == 95 || skip == 96 || skip == 98 || skip == 100);
  if (skip == 0) Check(ex.dataKind == 1 || ex.dataKind == 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  // The record at its real size, and cut to the bytes the input holds (a
  // record read short, or of a size no volume uses).
  const size_t recordSize = size <= 1024 ? 1024 : 4096;
  std::vector<uint8_t> record(recordSize, 0);
  std::memcpy(record.data(), data, size < recordSize ? size : recordSize);
  std::vector<uint8_t> exact(data, data + size);
  for (std::vector<uint8_t>* r : {&record, &exact}) {
    CheckFixups(*r);
    WalkAttributes(Bytes(r->data(), r->size()));
  }
  Classify(record);
  return 0;
}
