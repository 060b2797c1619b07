#include "channel/outfile.h"

#include "channel/packet.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace rv {

namespace {

// Set by a front end for the recoveries it runs; the engines' writers read
// them through every OutputFile.
std::mutex g_optionsLock;
OutputOptions g_options;

OutputOptions CurrentOptions() {
  std::lock_guard<std::mutex> lock(g_optionsLock);
  return g_options;
}

}  // namespace

ScopedOutputOptions::ScopedOutputOptions(OutputOptions options) {
  std::lock_guard<std::mutex> lock(g_optionsLock);
  previous_ = std::move(g_options);
  g_options = std::move(options);
}

ScopedOutputOptions::~ScopedOutputOptions() {
  std::lock_guard<std::mutex> lock(g_optionsLock);
  g_options = std::move(previous_);
}

bool CreateFolderPath(TextView path, std::vector<Text>* created) {
  size_t first = path.find(u'\\');
  if (first == TextView::npos) return false;
  // Every component from the second on, as the prefix of the path that ends
  // with it. An empty component ("\\" inside the path, or the POSIX root
  // "\") is the same folder as its parent.
  std::vector<TextView> parts;
  for (size_t pos = first;;) {
    size_t next = path.find(u'\\', pos + 1);
    TextView part = next == TextView::npos ? path : path.substr(0, next);
    if (!part.empty() && part.back() != u'\\') {
      if (!fs::NameFitsFileSystem(part.substr(pos + 1))) {
        SetLastErrorCode(kErrorInvalidName);
        return false;
      }
      parts.push_back(part);
    }
    if (next == TextView::npos) break;
    pos = next;
  }
  std::vector<TextView> made;
  for (TextView part : parts) {
    if (fs::GetPathKind(part) == fs::PathKind::Folder) continue;
    if (!fs::CreateFolder(part)) {
      const uint32_t error = GetLastErrorCode();
      for (auto it = made.rbegin(); it != made.rend(); ++it) fs::RemoveFolder(*it);
      SetLastErrorCode(error);
      return false;
    }
    made.push_back(part);
  }
  if (created)
    for (TextView m : made) created->emplace_back(m);
  return true;
}

bool CheckDestination(const uint8_t* payload, uint32_t length, Text& folder, uint32_t& firstRecordOffset) {
  uint32_t offset = 0;
  Text dest;
  if (!payload || !ReadPayloadText(payload, length, offset, dest)) return false;
  if (!dest.empty() && dest.back() == u'\\') dest.pop_back();
  // Long destinations are fine (extended-length paths on Windows); the
  // bound only keeps a hostile request from naming an absurd path.
  if (dest.empty() || dest.size() >= kMaxPathUnits) return false;
  if (fs::GetPathKind(dest) != fs::PathKind::Folder && !CreateFolderPath(dest)) return false;
  folder = dest;
  firstRecordOffset = offset;
  return true;
}

uint32_t OutputFile::Create(TextView folder, TextView fileName) {
  Discard();
  folder_ = Text(folder);
  fileName_ = Text(fileName);
  full_ = false;
  streamed_ = 0;
  if (CurrentOptions().stream) {
    // Nothing on the destination: the bytes leave through the stream.
    streaming_ = true;
    return kOutputCreated;
  }
  // A name of our own that no recovered file takes (a recovered name is
  // made safe, so never starts with "~rv" and a digit run and ".part").
  static uint32_t sequence = 0;
  for (uint32_t attempt = 0; attempt < 1000; ++attempt) {
    // The name is held before the file exists: nothing after the creation
    // may fail between making the file and knowing to remove it.
    Text name = folder_ + u"\\~rv" + DecimalText(CurrentProcessId()) + u"-" + DecimalText(sequence++) + u".part";
    file_ = fs::File::CreateNew(name, false);
    if (file_.Valid()) {
      partial_ = std::move(name);
      return kOutputCreated;
    }
    if (!fs::NameExists(name)) break;
  }
  NoteFailure();
  return kOutputNotCreated;
}

namespace {

// Zeros up to `to` into the stream: a hole of the file, sent as it reads.
bool StreamZeros(const OutputOptions& o, uint64_t& at, uint64_t to) {
  static const char kZeros[65536] = {};
  while (at < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, to - at));
    if (!o.stream(kZeros, n)) return false;
    at += n;
  }
  return true;
}

}  // namespace

bool OutputFile::WriteAt(uint64_t offset, const void* data, uint32_t length) {
  if (streaming_) {
    const OutputOptions o = CurrentOptions();
    // A pipe cannot seek: only writes in order of offset can be sent.
    if (!o.stream || offset < streamed_ || !StreamZeros(o, streamed_, offset) || !o.stream(data, length)) {
      SetLastErrorCode(kErrorInvalidParameter);
      NoteFailure();
      return false;
    }
    streamed_ += length;
    return true;
  }
  if (file_.WriteAt(offset, data, length)) return true;
  NoteFailure();
  return false;
}

bool OutputFile::SetSize(uint64_t size) {
  if (streaming_) {
    const OutputOptions o = CurrentOptions();
    if (o.stream && size >= streamed_ && StreamZeros(o, streamed_, size)) return true;
    SetLastErrorCode(kErrorInvalidParameter);
    NoteFailure();
    return false;
  }
  if (file_.SetSize(size)) return true;
  NoteFailure();
  return false;
}

void OutputFile::NoteFailure() { full_ = GetLastErrorCode() == kErrorDiskFull; }

uint32_t OutputFile::CommitToStream(Text& outputName) {
  streaming_ = false;
  outputName = u"-";
  return kOutputCreated;
}

uint32_t OutputFile::Commit(Text& outputName) {
  if (streaming_) return CommitToStream(outputName);
  if (partial_.empty()) return kOutputNotCreated;
  const OutputOptions options = CurrentOptions();
  // The time goes onto the open file: once the handle is closed the name
  // could be made to mean another file.
  if (modificationTime_ != 0) file_.SetModificationTime(modificationTime_);
  const Text safe = SafeOutputName(fileName_);
  if (options.batch) {
    // Closed unflushed; the batch flushes once and names it then.
    const Text promised = options.batch->Promise(folder_, safe, options.counterBeforeExtension);
    if (!file_.Close() || promised.empty()) {
      NoteFailure();
      Discard();
      return kOutputNotCreated;
    }
    options.batch->Add(std::move(partial_), promised, folder_, safe, options.counterBeforeExtension);
    partial_.clear();
    outputName = promised;
    return kOutputCreated;
  }
  if (!file_.FlushAndClose()) {
    NoteFailure();
    Discard();
    return kOutputNotCreated;
  }
  uint32_t first = 0;
  uint32_t& next = options.counters ? options.counters->Next(folder_, safe, options.counterBeforeExtension) : first;
  if (NameWithoutReplacing(partial_, folder_, safe, options.counterBeforeExtension, outputName, next)) {
    partial_.clear();
    return kOutputCreated;
  }
  NoteFailure();
  Discard();
  return kOutputNotCreated;
}

namespace {

// Candidate `counter` for a file named `safe` in `folder`: the name itself
// first, then counted after the name (";0", ";1", ...) or before its
// extension ("x;1.txt", "x;2.txt", ...).
Text CandidateName(TextView folder, TextView safe, bool beforeExtension, uint32_t counter) {
  Text name = Text(folder) + u"\\";
  if (counter == 0) return name + Text(safe);
  if (beforeExtension) return name + CountedBeforeExtension(safe, counter);
  return name + Text(safe) + u";" + DecimalText(counter - 1);
}

constexpr uint32_t kMaxCounter = 100000;

}  // namespace

bool NameWithoutReplacing(const Text& partial, TextView folder, TextView safe, bool beforeExtension, Text& named) {
  uint32_t first = 0;
  return NameWithoutReplacing(partial, folder, safe, beforeExtension, named, first);
}

bool NameWithoutReplacing(const Text& partial, TextView folder, TextView safe, bool beforeExtension, Text& named,
                          uint32_t& next) {
  for (uint32_t counter = next; counter < kMaxCounter; ++counter) {
    const Text name = CandidateName(folder, safe, beforeExtension, counter);
    if (fs::RenameNoReplace(partial, name)) {
      named = name;
      next = counter + 1;
      return true;
    }
    // Only an existing name moves on to the next counter.
    if (!fs::NameExists(name)) return false;
  }
  return false;
}

Text CountedBeforeExtension(TextView safe, uint32_t counter) {
  // A leading dot (".profile") is the whole name, not an extension.
  const size_t dot = safe.rfind(u'.');
  const size_t split = dot == TextView::npos || dot == 0 ? safe.size() : dot;
  return Text(safe.substr(0, split)) + u";" + DecimalText(counter) + Text(safe.substr(split));
}

bool CreateKeptFolder(TextView destination, TextView volumeFolder, Text& folder) {
  Text out(destination);
  while (!out.empty() && out.back() == u'\\') out.pop_back();
  for (size_t start = 0; start < volumeFolder.size();) {
    size_t end = volumeFolder.find(u'\\', start);
    if (end == TextView::npos) end = volumeFolder.size();
    if (end > start) {
      // A file recovered earlier may hold the folder's name (a deleted
      // file ".." and a folder ".." both become "__"): the folder is then
      // counted as a file would be.
      const Text safe = SafeOutputName(volumeFolder.substr(start, end - start));
      Text name;
      for (uint32_t counter = 0;; ++counter) {
        if (counter >= kMaxCounter) return false;
        name = CandidateName(out, safe, true, counter);
        const fs::PathKind kind = fs::GetPathKind(name);
        if (kind == fs::PathKind::Folder) break;
        if (kind == fs::PathKind::Missing) {
          if (!fs::CreateFolder(name)) return false;
          break;
        }
      }
      out = std::move(name);
    }
    start = end + 1;
  }
  folder = std::move(out);
  return true;
}

uint32_t& NameCounters::Next(TextView folder, TextView safe, bool beforeExtension) {
  return next_[Text(folder) + u"\\" + Text(safe) + (beforeExtension ? u"\\1" : u"\\0")];
}

CommitBatch::CommitBatch(TextView destination, size_t filesPerFlush)
    : destination_(destination), filesPerFlush_(filesPerFlush) {}

CommitBatch::~CommitBatch() {
  for (const auto& p : pending_) fs::RemoveFile(p.partial);
}

Text CommitBatch::Promise(TextView folder, TextView safe, bool beforeExtension) {
  uint32_t& next = nextCounter_.Next(folder, safe, beforeExtension);
  for (uint32_t counter = next; counter < kMaxCounter; ++counter) {
    Text name = CandidateName(folder, safe, beforeExtension, counter);
    if (promised_.count(name) || fs::NameExists(name)) continue;
    promised_[name] = true;
    next = counter + 1;
    return name;
  }
  return Text();
}

void CommitBatch::Add(Text partial, Text promised, TextView folder, TextView safe, bool beforeExtension) {
  pending_.push_back({std::move(partial), std::move(promised), Text(folder), Text(safe), beforeExtension});
  if (pending_.size() >= filesPerFlush_) FlushAndName();
}

void CommitBatch::FlushAndName() {
  if (pending_.empty()) return;
  // Every byte on the device before any file takes its name.
  if (!fs::FlushFileSystemOf(destination_)) {
    const bool full = GetLastErrorCode() == kErrorDiskFull;
    for (const auto& p : pending_) {
      fs::RemoveFile(p.partial);
      changed_[p.promised] = {Text(), full};
    }
    pending_.clear();
    promised_.clear();
    nextCounter_.Clear();
    return;
  }
  for (const auto& p : pending_) {
    // The promised name first; a writer that took it meanwhile moves the
    // file on to the next free one.
    if (fs::RenameNoReplace(p.partial, p.promised)) continue;
    Named n;
    if (!NameWithoutReplacing(p.partial, p.folder, p.safeName, p.counterBeforeExtension, n.final)) {
      fs::RemoveFile(p.partial);
      n.final.clear();
    }
    changed_[p.promised] = n;
  }
  pending_.clear();
  // Names now on disk keep later files off them.
  promised_.clear();
  nextCounter_.Clear();
  // The new names on the device too, as one flush.
  fs::FlushFileSystemOf(destination_);
}

std::map<Text, CommitBatch::Named> CommitBatch::Finish() {
  FlushAndName();
  return std::move(changed_);
}

void OutputFile::Discard() noexcept {
  streaming_ = false;
  file_.Close();
  if (partial_.empty()) return;
  // Removing converts the name for the system, which allocates; when memory
  // ran short a moment ago it may do so once more, and a partial file must
  // not outlive the failure that ended it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      fs::RemoveFile(partial_);
      break;
    } catch (...) {
    }
  }
  partial_.clear();
}

namespace {

bool IsReservedDeviceName(TextView name) {
  // The part before the first dot, with trailing blanks, decides on Windows.
  TextView stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  Text up = Upcase(stem);
  if (up == u"CON" || up == u"PRN" || up == u"AUX" || up == u"NUL" || up == u"CONIN$" || up == u"CONOUT$")
    return true;
  if (up.size() == 4 && (up.substr(0, 3) == u"COM" || up.substr(0, 3) == u"LPT") &&
      ((up[3] >= u'1' && up[3] <= u'9') || up[3] == 0xB9 || up[3] == 0xB2 || up[3] == 0xB3))
    return true;
  return false;
}

// Longest a single name may be: 255 UTF-16 units on Windows, 255 UTF-8
// bytes on Linux file systems. Room is left for the ";99998" suffix.
constexpr size_t kMaxNameBytes = 255 - 6;

size_t EncodedLength(TextView s) {
#ifdef _WIN32
  // Under Wine the name ends up on a Linux file system, which Wine cuts
  // silently to its 255 bytes: two long names would become one.
  static const bool utf8Host = RunningUnderWine();
  if (!utf8Host) return s.size();
#endif
  return ToUtf8(s).size();
}

Text Shorten(const Text& name) {
  if (EncodedLength(name) <= kMaxNameBytes) return name;
  size_t dot = name.rfind(u'.');
  Text ext = (dot != Text::npos && name.size() - dot <= 16) ? name.substr(dot) : Text();
  Text stem = name.substr(0, name.size() - ext.size());
  while (!stem.empty() && EncodedLength(stem) + EncodedLength(ext) > kMaxNameBytes) {
    stem.pop_back();
    // Never leave half of a surrogate pair behind.
    if (!stem.empty() && stem.back() >= 0xD800 && stem.back() <= 0xDBFF) stem.pop_back();
  }
  return stem + ext;
}

}  // namespace

Text SafeOutputName(TextView onDiskName) {
  Text out;
  out.reserve(onDiskName.size());
  for (size_t i = 0; i < onDiskName.size(); ++i) {
    char16_t c = onDiskName[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < onDiskName.size() && onDiskName[i + 1] >= 0xDC00 && onDiskName[i + 1] <= 0xDFFF) {
      out.push_back(c);
      out.push_back(onDiskName[++i]);
      continue;
    }
    if (high || low || c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' ||
        c == u'"' || c == u'<' || c == u'>' || c == u'|')
      c = u'_';
    out.push_back(c);
  }
  // Windows drops trailing dots and blanks, which would turn "x." into "x"
  // and ".." into the parent folder.
  while (!out.empty() && (out.back() == u'.' || out.back() == u' ')) out.back() = u'_';
  if (out.empty()) out = u"_";
  if (IsReservedDeviceName(out)) out.insert(out.begin(), u'_');
  return Shorten(out);
}

}  // namespace rv
