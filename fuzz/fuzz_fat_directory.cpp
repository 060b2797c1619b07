// Directory entries and long names over one directory cluster.
// Input: u8 selector (bit 0: FAT32 cluster numbers; bits 1-4: the keep
// flags of a listing compaction), then the cluster (cut to whole entries).
// Every entry's name is built as the walk builds it, and the listing is
// compacted as the walk compacts it. Invariants: names stay within the
// path limit (a short name within 8.3), a long name holds no NUL, the
// start cluster is either none or a data cluster, and compaction keeps a
// subsequence of the entries in their order, each one the flags ask for,
// zeroes what it dropped and nothing past the listing, and is idempotent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "fat/fue.h"

using namespace rv;

namespace {

using fuzz::Check;

constexpr size_t kEntry = 32;

bool Kept(const uint8_t* e, uint32_t keep) {
  const uint8_t attr = e[0x0B];
  const bool deleted = e[0] == 0xE5;
  if ((keep & (4 | 8)) == 0 && deleted) return false;
  if ((attr & 0x10) && (keep & 1) && e[0] != '.') return true;
  if ((attr & (0x08 | 0x10)) == 0 && (keep & (2 | 8))) {
    if ((keep & 2) && (keep & 8)) return true;
    if (keep & 2) return !deleted;
    return deleted;
  }
  return false;
}

std::vector<uint8_t> Compacted(const std::vector<uint8_t>& listing, uint32_t keep) {
  std::vector<uint8_t> buffer = listing;
  DirectoryWalk walk;
  walk.depth = 1;  // not the root: the root's altered flag is not under test
  walk.begin = buffer.data();
  walk.end = buffer.size();
  walk.pos = 0;
  Check(CompactDirectoryBuffer(walk, keep) != kFalse);
  Check(walk.pos == 0);
  walk.begin = nullptr;
  return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + kEntry || size > 65537) return 0;
  const int32_t kind = (data[0] & 1) ? kFsFat32 : kFsFat16;
  const uint32_t keep = (data[0] >> 1) & 15;
  const size_t n = (size - 1) / kEntry * kEntry;
  // Exactly the listing: a read past it is a fault the sanitizer sees.
  std::vector<uint8_t> listing(data + 1, data + 1 + n);

  for (size_t pos = 0; pos < n; pos += kEntry) {
    const uint8_t* e = listing.data() + pos;
    Text name;
    const BOOL have = BuildEntryName(listing.data(), pos, name);
    Check((have != kFalse) == !name.empty());
    Check(name.size() <= kMaxPathChars);
    const bool longName = pos >= kEntry && listing[pos - kEntry + 0x0B] == 0x0F;
    if (longName) Check(name.find(u'\0') == Text::npos);
    else Check(name.size() <= 12);
    Text again;
    BuildEntryName(listing.data(), pos, again);
    Check(again == name);
    const int64_t lcn = EntryStartLcn(e, kind);
    Check(lcn == kNoClusterLcn || (lcn >= -1 && lcn <= (kind == kFsFat32 ? 0xFFFFFFFDll : 0xFFFDll)));
  }

  const std::vector<uint8_t> once = Compacted(listing, keep);
  Check(once.size() == listing.size());
  // The listing ends at the first entry starting with 0.
  size_t end = 0;
  while (end < n && listing[end] != 0) end += kEntry;
  // Kept entries, in order, each found further on in the original.
  size_t r = 0, w = 0;
  for (; w < end && once[w] != 0; w += kEntry) {
    while (r < end && std::memcmp(once.data() + w, listing.data() + r, kEntry) != 0) r += kEntry;
    Check(r < end);
    const uint8_t* e = listing.data() + r;
    if (e[0x0B] != 0x0F) Check(Kept(e, keep));
    r += kEntry;
  }
  // What lay between the kept entries and the end of the listing (its
  // terminating entry included) is cleared; what follows is untouched.
  const size_t stop = end < n ? end + kEntry : n;
  for (size_t i = w; i < stop; ++i) Check(once[i] == 0);
  for (size_t i = stop; i < n; ++i) Check(once[i] == listing[i]);
  Check(Compacted(once, keep) == once);
  return 0;
}
