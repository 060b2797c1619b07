// Run lists (mapping pairs) of a non-resident $DATA attribute.
// Input: u32 cluster count of the volume (0 = unchecked), u8 flags (bit 0
// compressed, bit 1 an allocated size is given, bit 2 two extents), u16
// allocated clusters, u8 split point of the two extents, then the mapping
// pairs. The pairs are decoded on their own, then through the engine's run
// table (decode, extents of one attribute, merging of adjacent runs).
// Invariants: decoded runs have a positive length, runs with clusters lie
// inside the volume, the run table holds exactly the decoded clusters (cut
// at the allocated size) and merging leaves no two runs that continue each
// other.
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

constexpr uint32_t kRecordBytes = 4096;
constexpr uint64_t kClusterBytes = 4096;

// A non-resident unnamed $DATA extent holding `pairs`.
size_t PutDataExtent(std::vector<uint8_t>& r, size_t at, Bytes pairs, uint16_t flags, uint16_t id,
                     uint64_t allocated) {
  const size_t length = (ntfs::kNonResidentHeaderBytes + pairs.size() + 1 + 7) / 8 * 8;
  MutableBytes m(r.data(), r.size());
  put32(m, at + ntfs::kAttrType, ntfs::kTypeData);
  put32(m, at + ntfs::kAttrLength, static_cast<uint32_t>(length));
  m[at + ntfs::kAttrNonResident] = 1;
  put16(m, at + ntfs::kAttrNameOffset, ntfs::kNonResidentHeaderBytes);
  put16(m, at + ntfs::kAttrFlags, flags);
  put16(m, at + ntfs::kAttrId, id);
  put16(m, at + ntfs::kAttrMappingPairs, ntfs::kNonResidentHeaderBytes);
  put16(m, at + ntfs::kAttrCompressionUnit, (flags & ntfs::kAttrCompressed) ? 4 : 0);
  put64(m, at + ntfs::kAttrAllocatedSize, allocated);
  std::memcpy(r.data() + at + ntfs::kNonResidentHeaderBytes, pairs.data(), pairs.size());
  return at + length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8 || size > 3000) return 0;
  Bytes in(data, size);
  const uint64_t totalClusters = le32(in, 0);
  const uint8_t flags = data[4];
  const uint64_t allocatedClusters = (flags & 2) ? le16(in, 5) : 0;
  const size_t split = data[7];
  Bytes pairs = in.subspan(8);

  // ---- Decoding alone.
  std::vector<ntfs::Run> runs;
  {
    std::vector<uint8_t> attr(ntfs::kNonResidentHeaderBytes + pairs.size());
    put16(MutableBytes(attr.data(), attr.size()), ntfs::kAttrMappingPairs, ntfs::kNonResidentHeaderBytes);
    std::memcpy(attr.data() + ntfs::kNonResidentHeaderBytes, pairs.data(), pairs.size());
    const bool ended = ntfs::DecodeMappingPairs(Bytes(attr.data(), attr.size()), totalClusters, runs);
    // Every pair is at least two bytes; a list that ended properly had its 0.
    Check(runs.size() <= pairs.size() / 2);
    if (ended) Check(pairs.size() > 2 * runs.size());
    uint64_t vcn = 0;
    for (const ntfs::Run& r : runs) {
      Check(r.length > 0 && r.length <= INT64_MAX);
      if (r.lcn >= 0 && totalClusters != 0) Check(InBounds(totalClusters, static_cast<uint64_t>(r.lcn), r.length));
      Check(r.lcn >= -1);
      if (r.lcn < 0) Check(r.length <= (uint64_t{1} << 40));  // a hole: up to 2^40 clusters
      // Mapping a VCN inside a run finds that run.
      size_t index = 0;
      uint64_t within = 0;
      if (vcn + r.length > vcn) {
        Check(ntfs::FindRunOfVcn(runs, vcn + r.length - 1, index, within));
        Check(runs[index].length > within);
      }
      vcn += r.length;
    }
    // Deterministic: decoding the same bytes again gives the same runs.
    std::vector<ntfs::Run> again;
    Check(ntfs::DecodeMappingPairs(Bytes(attr.data(), attr.size()), totalClusters, again) == ended);
    Check(again.size() == runs.size());
    for (size_t i = 0; i < runs.size(); ++i) Check(again[i].lcn == runs[i].lcn && again[i].length == runs[i].length);
  }

  // ---- Through the run table, as a record's $DATA.
  std::vector<uint8_t> record(kRecordBytes, 0);
  MutableBytes m(record.data(), record.size());
  put32(m, 0, ntfs::kFileSignature);
  put16(m, ntfs::kRecFirstAttribute, 56);
  put16(m, ntfs::kRecFlags, ntfs::kRecInUse);
  size_t at = 56;
  // $STANDARD_INFORMATION, resident, 72 bytes of value.
  put32(m, at, ntfs::kTypeStandardInformation);
  put32(m, at + 4, 96);
  put32(m, at + ntfs::kAttrValueLength, 72);
  put16(m, at + ntfs::kAttrValueOffset, 24);
  const bool compressed = (flags & 1) != 0;
  if (compressed) put32(m, at + 24 + ntfs::kSiFileAttributes, ntfs::kFileAttrCompressed);
  at += 96;
  const uint16_t attrFlags = compressed ? ntfs::kAttrCompressed : 0;
  const uint64_t allocated = allocatedClusters * kClusterBytes;
  if ((flags & 4) && split < pairs.size()) {
    at = PutDataExtent(record, at, pairs.subspan(0, split), attrFlags, 1, allocated);
    at = PutDataExtent(record, at, pairs.subspan(split), attrFlags, 2, allocated);
  } else {
    at = PutDataExtent(record, at, pairs, attrFlags, 1, allocated);
  }
  put32(m, at, ntfs::kAttrEnd);

  // The runs the table must hold: each extent's decoded runs, cut where the
  // allocated size is reached.
  std::vector<ntfs::Run> expected;
  {
    uint64_t mapped = 0;
    ntfs::Attribute a;
    for (bool have = ntfs::FirstAttributeOf(Bytes(record.data(), record.size()), a); have;
         have = ntfs::NextAttributeOf(Bytes(record.data(), record.size()), a, a)) {
      if (a.type != ntfs::kTypeData) continue;
      if (allocated != 0 && mapped >= allocated) break;
      std::vector<ntfs::Run> extent;
      ntfs::DecodeMappingPairs(ntfs::AttributeBytes(Bytes(record.data(), record.size()), a), totalClusters, extent);
      for (const ntfs::Run& r : extent) {
        if (allocated != 0 && mapped >= allocated) break;
        expected.push_back(r);
        mapped += r.length * kClusterBytes;
      }
    }
  }

  NueVolumeData v;
  v.bytesPerSector = 512;
  v.bytesPerCluster = kClusterBytes;
  v.totalClusters = totalClusters;
  v.bytesPerFileRecord = kRecordBytes;
  void* address = nullptr;
  Check(AllocGlobalBlock(kRunTableInitialBytes, &v.runTable, &address));
  v.runTableAddress = static_cast<uint8_t*>(address);
  v.runTableCapacity = kRunTableInitialBytes;
  const bool built = BuildRunTable(v, false, record.data()) != 0;
  RunGroupView group;
  if (built && FirstRunGroup(v, group)) {
    uint64_t want = 0, have = 0, wantStored = 0, haveStored = 0;
    for (const ntfs::Run& r : expected) {
      want += r.length;
      if (r.lcn >= 0) wantStored += r.length;
    }
    for (size_t i = 0; i < group.runs.size(); ++i) {
      const ntfs::Run& r = group.runs[i];
      Check(r.length > 0);
      if (r.lcn >= 0 && totalClusters != 0) Check(InBounds(totalClusters, static_cast<uint64_t>(r.lcn), r.length));
      have += r.length;
      if (r.lcn >= 0) haveStored += r.length;
      if (!compressed && i > 0) {
        const ntfs::Run& p = group.runs[i - 1];
        Check(!(p.lcn >= 0 && r.lcn >= 0 && static_cast<uint64_t>(p.lcn) + p.length == static_cast<uint64_t>(r.lcn)));
      }
    }
    Check(have == want && haveStored == wantStored);
    if (compressed) Check(group.runs.size() == expected.size());
    else Check(group.runs.size() <= expected.size());
  }
  // The selection of the unnamed $DATA group gives the same clusters.
  if (!expected.empty() && GetAttributeRuns(v, u"", ntfs::kTypeData, record.data())) {
    uint64_t want = 0;
    for (const ntfs::Run& r : expected) want += r.length;
    Check(v.totalRunClusters == want);
    // Without a volume size the lengths are unbounded and their sums wrap;
    // inside a volume holes are bounded and the sums cannot.
    if (totalClusters != 0) Check(v.storedClusters <= v.totalRunClusters);
  }
  FreeGlobalBlock(&v.runTable, &address);
  return 0;
}
