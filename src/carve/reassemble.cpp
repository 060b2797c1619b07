#include "carve/reassemble.h"

#include <algorithm>
#include <cstring>

#include "carve/aligned_buffer.h"
#include "carve/formats.h"

namespace rv::carve {

namespace {

// Bounds of the search. A file larger than this is not reassembled (its
// guess stands): every trial may read it whole.
constexpr uint64_t kMaxFileBytes = 256ull << 20;
constexpr size_t kMaxPieces = 4;
// Trials per file, and bytes the format's check reads over all trials:
// each trial checks the file again from its first byte, so a big file
// (a long gzip or FLAC stream, decoded whole) is given a few trials and a
// small one many, and no file costs more than a small multiple of its own
// size in bytes decoded, plus a constant, and never more than a cap.
constexpr size_t kMaxTrials = 2000;
constexpr uint64_t kWorkTimesSize = 8;
constexpr uint64_t kWorkBytes = 64ull << 20;
constexpr uint64_t kMaxWorkBytes = 1ull << 30;
// Hinted spans taken into account (the nearest after the first cluster):
// up to three of them are passed over at once, so C(12, <=3) = 298 trials.
constexpr size_t kMaxHints = 12;
// A gap chosen where the structure broke: it starts up to kBreakBefore
// clusters before the cluster where the structure stopped being valid (a
// format may notice a wrong byte late) or up to kBreakAfter after it (a
// unit checked as a whole, a PNG chunk, fails from its start), and holds
// up to kMaxGapClusters clusters.
constexpr uint64_t kBreakBefore = 2;
constexpr uint64_t kBreakAfter = 8;
constexpr uint64_t kMaxGapClusters = 64;
// Reads are grouped up to this many bytes of adjacent clusters.
constexpr size_t kReadBytes = 256 * 1024;

struct Skip {
  uint64_t from = 0, to = 0;  // LCNs [from, to) the file passed over
};

// The file's bytes over a chosen list of clusters.
class LayoutSource final : public ByteSource {
 public:
  // `bytesRead` counts what the check read, over every trial.
  LayoutSource(const ClusterLayoutQuestion& q, const std::vector<uint64_t>& lcns, AlignedBuffer& scratch,
               uint64_t& bytesRead)
      : q_(q), lcns_(lcns), scratch_(scratch), bytesRead_(bytesRead) {}
  uint64_t Size() const override { return std::min<uint64_t>(q_.size, lcns_.size() * q_.bytesPerCluster); }
  bool ReadAt(uint64_t offset, uint8_t* out, size_t length) override {
    const uint64_t bpc = q_.bytesPerCluster;
    if (offset > Size() || length > Size() - offset) return false;
    while (length > 0) {
      const uint64_t index = offset / bpc, within = offset % bpc;
      // Adjacent clusters from `index` on, read at once.
      uint64_t count = 1;
      const uint64_t most = std::max<uint64_t>(1, (scratch_.size() - 4096) / bpc);
      while (count < most && index + count < lcns_.size() && lcns_[index + count] == lcns_[index] + count &&
             count * bpc < within + length)
        ++count;
      if (!q_.read(lcns_[index], count, scratch_.data())) return false;
      bytesRead_ += count * bpc;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count * bpc - within, length));
      std::memcpy(out, scratch_.data() + within, n);
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

 private:
  const ClusterLayoutQuestion& q_;
  const std::vector<uint64_t>& lcns_;
  AlignedBuffer& scratch_;
  uint64_t& bytesRead_;
};

class Reassembler {
 public:
  Reassembler(const ClusterLayoutQuestion& q, const FormatRow& row)
      : q_(q), row_(row), needed_((q.size + q.bytesPerCluster - 1) / q.bytesPerCluster),
        scratch_(std::max<size_t>(kReadBytes, static_cast<size_t>(q.bytesPerCluster)) + 4096),
        workBudget_(std::min(kWorkTimesSize * q.size + kWorkBytes, kMaxWorkBytes)) {}

  bool Run(std::vector<LcnRun>& runs) {
    std::vector<uint64_t> lcns;
    // The engine's guess first: where it validates, it stands.
    for (const LcnRun& r : q_.guess)
      for (uint64_t i = 0; i < r.count && lcns.size() < needed_; ++i) lcns.push_back(r.lcn + i);
    if (lcns.size() == needed_ && Accept(Try(lcns))) return Done(lcns, runs);
    CollectUsable();
    if (usable_.size() < needed_) return false;
    if (TryHintedSpans(lcns)) return Done(lcns, runs);
    return TryGaps(lcns) && Done(lcns, runs);
  }

 private:
  // The usable clusters in order from the first, as many as any layout may
  // take: the file's own count and room for every gap it may pass over.
  void CollectUsable() {
    uint64_t extra = kMaxPieces * kMaxGapClusters;
    for (const LcnRun& h : q_.hints) extra += std::min<uint64_t>(h.count, q_.clusterCount);
    const uint64_t want = needed_ + extra;
    usable_.push_back(q_.firstLcn);
    // Clusters looked at are bounded too: a volume nearly full must not
    // make this walk all of it.
    const uint64_t stop = std::min(q_.clusterCount, q_.firstLcn + std::min<uint64_t>(want * 4 + 4096, q_.clusterCount));
    for (uint64_t c = q_.firstLcn + 1; c < stop && usable_.size() < want; ++c)
      if (q_.usable(c)) usable_.push_back(c);
  }

  // The usable clusters, the skipped spans left out, as many as the file needs.
  bool Layout(const std::vector<Skip>& skips, std::vector<uint64_t>& lcns) const {
    lcns.clear();
    for (size_t i = 0; i < usable_.size() && lcns.size() < needed_; ++i) {
      const uint64_t c = usable_[i];
      bool skipped = false;
      for (const Skip& s : skips) skipped = skipped || (c >= s.from && c < s.to);
      if (!skipped || lcns.empty()) lcns.push_back(c);
    }
    return lcns.size() == needed_;
  }

  Measure Try(const std::vector<uint64_t>& lcns) {
    ++trials_;
    LayoutSource source(q_, lcns, scratch_, work_);
    BoundedReader reader(source, q_.size, &window_);
    Measure m = MeasureWith(row_, reader);
    if (reader.ReadFailed()) m = Measure();
    return m;
  }

  // The structure closes in the file's last cluster: bytes after its end in
  // that cluster are slack the size still covers.
  bool Accept(const Measure& m) const {
    return m.verdict == Verdict::Whole && m.length > 0 && m.length <= q_.size &&
           (m.length + q_.bytesPerCluster - 1) / q_.bytesPerCluster == needed_;
  }

  // A layout with gaps chosen by this search alone, not by the engine's
  // guess or another file's span: only a format that checks every byte by
  // what it holds can vouch for it. Sizes and markers alone hold as well
  // over another file's clusters of the right count (text has no JPEG
  // marker, a PDF's offsets past the gap do not move).
  bool AcceptGap(const Measure& m) const { return Accept(m) && m.contentChecked; }

  bool OutOfTrials() const { return trials_ >= kMaxTrials || work_ >= workBudget_; }

  // The file in order over the usable clusters, passing over none, one, two
  // or three of the hinted spans (each a span of an older file that may
  // have been in use when this one was written around it), earliest first.
  bool TryHintedSpans(std::vector<uint64_t>& lcns) {
    std::vector<Skip> hints;
    const uint64_t last = usable_.back();
    for (const LcnRun& h : q_.hints)
      if (h.count > 0 && h.lcn > q_.firstLcn && h.lcn <= last) hints.push_back({h.lcn, h.lcn + std::min(h.count, q_.clusterCount)});
    std::sort(hints.begin(), hints.end(), [](const Skip& a, const Skip& b) { return a.from < b.from; });
    hints.erase(std::unique(hints.begin(), hints.end(), [](const Skip& a, const Skip& b) { return a.from == b.from; }),
                hints.end());
    if (hints.size() > kMaxHints) hints.resize(kMaxHints);
    const size_t n = hints.size();
    auto attempt = [&](const std::vector<Skip>& skips) {
      return !OutOfTrials() && Layout(skips, lcns) && Accept(Try(lcns));
    };
    if (attempt({})) return true;
    for (size_t a = 0; a < n; ++a) {
      if (attempt({hints[a]})) return true;
      for (size_t b = a + 1; b < n; ++b) {
        if (attempt({hints[a], hints[b]})) return true;
        for (size_t c = b + 1; c < n; ++c)
          if (attempt({hints[a], hints[b], hints[c]})) return true;
      }
    }
    return false;
  }

  // Piece by piece: where the structure breaks, the gap (a run of usable
  // clusters passed over) that lets it validate furthest is taken, and the
  // next break is looked for after it.
  bool TryGaps(std::vector<uint64_t>& lcns) {
    std::vector<Skip> skips;
    if (!Layout(skips, lcns)) return false;
    Measure m = Try(lcns);
    uint64_t minPos = 1;  // a gap never takes the first cluster, nor one before the last gap
    for (size_t piece = 1; piece < kMaxPieces; ++piece) {
      if (AcceptGap(m)) return true;
      if (m.validUpTo == 0 || OutOfTrials()) return false;
      const uint64_t broke = m.validUpTo / q_.bytesPerCluster;
      const uint64_t lo = std::max(minPos, broke > kBreakBefore ? broke - kBreakBefore : 0);
      const uint64_t hi = std::min<uint64_t>(lcns.size() - 1, broke + kBreakAfter);
      struct Best {
        Measure m;
        std::vector<Skip> skips;
        uint64_t pos = 0;
      } best;
      best.m = m;
      std::vector<uint64_t> trial;
      for (uint64_t pos = lo; pos <= hi && !OutOfTrials(); ++pos) {
        // The gap starts at the layout's cluster `pos` and ends before the
        // usable cluster `gap` places further on.
        const auto at = std::lower_bound(usable_.begin(), usable_.end(), lcns[pos]) - usable_.begin();
        for (uint64_t gap = 1; gap <= kMaxGapClusters && static_cast<uint64_t>(at) + gap < usable_.size(); ++gap) {
          if (OutOfTrials()) break;
          std::vector<Skip> s = skips;
          s.push_back({lcns[pos], usable_[at + gap]});
          if (!Layout(s, trial)) break;  // gaps only grow from here
          const Measure t = Try(trial);
          if (AcceptGap(t)) {
            lcns = trial;
            return true;
          }
          if (t.validUpTo > best.m.validUpTo) best = {t, s, pos};
        }
      }
      // The structure must validate further with the gap than without it.
      if (best.skips.size() == skips.size()) return false;
      skips = best.skips;
      m = best.m;
      minPos = best.pos + 1;
      if (!Layout(skips, lcns)) return false;
    }
    return AcceptGap(m);
  }

  bool Done(const std::vector<uint64_t>& lcns, std::vector<LcnRun>& runs) const {
    runs.clear();
    for (uint64_t c : lcns) {
      if (!runs.empty() && runs.back().lcn + runs.back().count == c) ++runs.back().count;
      else runs.push_back({c, 1});
    }
    return true;
  }

  const ClusterLayoutQuestion& q_;
  const FormatRow& row_;
  const uint64_t needed_;
  AlignedBuffer scratch_;
  AlignedBuffer window_;
  std::vector<uint64_t> usable_;
  size_t trials_ = 0;
  const uint64_t workBudget_;
  uint64_t work_ = 0;  // bytes the check read so far
};

}  // namespace

bool ChooseClustersByContent(const ClusterLayoutQuestion& q, std::vector<LcnRun>& runs) {
  runs.clear();
  const uint64_t bpc = q.bytesPerCluster;
  if (bpc == 0 || bpc > (64ull << 20) || q.size <= bpc || q.size > kMaxFileBytes || !q.read || !q.usable ||
      q.firstLcn >= q.clusterCount)
    return false;
  const uint64_t needed = (q.size + bpc - 1) / bpc;
  if (needed > q.clusterCount) return false;
  // The format, from the first cluster's bytes (the file's own for certain).
  AlignedBuffer head(static_cast<size_t>(bpc) + 4096);
  if (!q.read(q.firstLcn, 1, head.data())) return false;
  const std::span<const uint8_t> bytes(head.data(), static_cast<size_t>(bpc));
  for (const FormatRow& row : Formats()) {
    if (!SignatureMatches(row, bytes)) continue;
    return Reassembler(q, row).Run(runs);
  }
  return false;
}

}  // namespace rv::carve
