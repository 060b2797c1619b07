#include "channel/outfile.h"

#include "channel/packet.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace rv {

namespace {

// Set by a front end for the recoveries it runs; the engines' writers read
// them through every OutputFile.
std::mutex g_optionsLock;
OutputOptions g_options;

}  // namespace

OutputOptions CurrentOutputOptions() {
  std::lock_guard<std::mutex> lock(g_optionsLock);
  return g_options;
}

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
  if (OutputDestination* opened = CurrentOutputOptions().destination) {
    NotRecoveredReason why;
    if (!opened->Reach(dest, why)) return false;
  } else if (fs::GetPathKind(dest) != fs::PathKind::Folder && !CreateFolderPath(dest)) {
    return false;
  }
  folder = dest;
  firstRecordOffset = offset;
  return true;
}

namespace {

// The reason a failed creation, write or flush gives, by the system's error.
NotRecoveredReason ReasonOfError(uint32_t error, NotRecoveredReason otherwise) {
  switch (error) {
    case kErrorDiskFull: return NotRecoveredReason::DestinationFull;
    case kErrorStoppedOnLink:
    case kErrorNotAFolder:
    case kErrorPathNotFound:
    case kErrorFileNotFound: return NotRecoveredReason::FolderReplaced;
    case kErrorFilenameExcedRange: return NotRecoveredReason::PathTooLong;
    default: return otherwise;
  }
}

// Every byte zero: the first is, and each equals the one after it.
bool AllZero(const void* data, uint32_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  return length == 0 || (p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0);
}

}  // namespace

uint32_t OutputFile::Create(TextView folder, TextView fileName) {
  Discard();
  fileName_ = Text(fileName);
  full_ = false;
  streamed_ = 0;
  size_ = 0;
  nonZero_ = false;
  NoteOutputDetails({});
  const OutputOptions options = CurrentOutputOptions();
  observer_ = options.observer;
  if (observer_) observer_->Began();
  if (options.stream) {
    // Nothing on the destination: the bytes leave through the stream.
    streaming_ = true;
    return kOutputCreated;
  }
  NotRecoveredReason why = NotRecoveredReason::FolderReplaced;
  if (options.destination) {
    folder_ = options.destination->Reach(folder, why);
  } else if (fs::Folder opened = fs::Folder::Open(folder); opened.Valid()) {
    folder_ = std::make_shared<const fs::Folder>(std::move(opened));
  }
  if (!folder_) {
    NoteFailure(why);
    return kOutputNotCreated;
  }
  // A name of our own that no recovered file takes (a recovered name is
  // made safe, so never starts with "~rv" and a digit run and ".part").
  static std::atomic<uint32_t> sequence{0};
  for (uint32_t attempt = 0; attempt < 1000; ++attempt) {
    // The name is held before the file exists: nothing after the creation
    // may fail between making the file and knowing to remove it.
    Text leaf = u"~rv" + DecimalText(CurrentProcessId()) + u"-" + DecimalText(sequence++) + u".part";
    Text name = folder_->Path() + u"\\" + leaf;
    file_ = folder_->CreateNewFile(leaf);
    if (file_.Valid()) {
      partial_ = std::move(name);
      partialLeaf_ = std::move(leaf);
      return kOutputCreated;
    }
    if (GetLastErrorCode() != kErrorFileExists && !folder_->Exists(leaf)) break;
  }
  NoteFailure(ReasonOfError(GetLastErrorCode(), NotRecoveredReason::NotCreated));
  folder_.reset();
  return kOutputNotCreated;
}

void OutputFile::NoteWritten(uint64_t offset, const void* data, uint32_t length) {
  if (!nonZero_ && !AllZero(data, length)) nonZero_ = true;
  size_ = std::max(size_, offset + length);
  if (observer_) observer_->Wrote(offset, data, length);
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
    const OutputOptions o = CurrentOutputOptions();
    // A pipe cannot seek: only writes in order of offset can be sent.
    if (!o.stream || offset < streamed_ || !StreamZeros(o, streamed_, offset) || !o.stream(data, length)) {
      SetLastErrorCode(kErrorInvalidParameter);
      NoteFailure(NotRecoveredReason::WriteFailed);
      return false;
    }
    streamed_ += length;
    NoteWritten(offset, data, length);
    return true;
  }
  if (file_.WriteAt(offset, data, length)) {
    NoteWritten(offset, data, length);
    return true;
  }
  NoteFailure(NotRecoveredReason::WriteFailed);
  return false;
}

bool OutputFile::SetSize(uint64_t size) {
  if (streaming_) {
    const OutputOptions o = CurrentOutputOptions();
    if (o.stream && size >= streamed_ && StreamZeros(o, streamed_, size)) {
      size_ = size;
      if (observer_) observer_->Sized(size);
      return true;
    }
    SetLastErrorCode(kErrorInvalidParameter);
    NoteFailure(NotRecoveredReason::WriteFailed);
    return false;
  }
  if (file_.SetSize(size)) {
    size_ = size;
    if (observer_) observer_->Sized(size);
    return true;
  }
  NoteFailure(NotRecoveredReason::WriteFailed);
  return false;
}

void OutputFile::NoteFailure(NotRecoveredReason reason) {
  full_ = GetLastErrorCode() == kErrorDiskFull;
  NoteOutputDetails({false, full_ ? NotRecoveredReason::DestinationFull : ReasonOfError(GetLastErrorCode(), reason)});
}

uint32_t OutputFile::CommitToStream(Text& outputName) {
  streaming_ = false;
  outputName = u"-";
  NoteOutputDetails({Zeroed(), NotRecoveredReason::Unknown});
  return kOutputCreated;
}

uint32_t OutputFile::CommitToBatch(CommitBatch& batch, const Text& safe, bool counterBeforeExtension, Text& outputName) {
  // Closed unflushed; the batch flushes once and names it then.
  const Text promised = batch.Promise(*folder_, safe, counterBeforeExtension);
  if (!file_.Close() || promised.empty()) {
    NoteFailure(promised.empty() ? NotRecoveredReason::NoFreeName : NotRecoveredReason::WriteFailed);
    Discard();
    return kOutputNotCreated;
  }
  batch.Add(std::move(partialLeaf_), promised, folder_, safe, counterBeforeExtension);
  partial_.clear();
  partialLeaf_.clear();
  folder_.reset();
  outputName = promised;
  NoteOutputDetails({Zeroed(), NotRecoveredReason::Unknown});
  return kOutputCreated;
}

uint32_t OutputFile::Commit(Text& outputName) {
  const uint32_t result = CommitFile(outputName);
  if (result == kOutputCreated && observer_) observer_->Committed(outputName);
  return result;
}

uint32_t OutputFile::CommitFile(Text& outputName) {
  if (streaming_) return CommitToStream(outputName);
  if (partial_.empty()) return kOutputNotCreated;
  const OutputOptions options = CurrentOutputOptions();
  // The time goes onto the open file: once the handle is closed the name
  // could be made to mean another file.
  if (modificationTime_ != 0) file_.SetModificationTime(modificationTime_);
  const Text safe = SafeOutputName(fileName_);
  if (options.batch) return CommitToBatch(*options.batch, safe, options.counterBeforeExtension, outputName);
  if (!file_.FlushAndClose()) {
    NoteFailure(NotRecoveredReason::FlushFailed);
    Discard();
    return kOutputNotCreated;
  }
  uint32_t first = 0;
  uint32_t& next =
      options.counters ? options.counters->Next(folder_->Path(), safe, options.counterBeforeExtension) : first;
  if (NameWithoutReplacing(*folder_, partialLeaf_, safe, options.counterBeforeExtension, outputName, next)) {
    partial_.clear();
    partialLeaf_.clear();
    folder_.reset();
    NoteOutputDetails({Zeroed(), NotRecoveredReason::Unknown});
    return kOutputCreated;
  }
  NoteFailure(NotRecoveredReason::NoFreeName);
  Discard();
  return kOutputNotCreated;
}

namespace {

// Candidate `counter` for a file named `safe`: the name itself first,
// then counted after the name (";0", ";1", ...) or before its extension
// ("x;1.txt", "x;2.txt", ...).
Text CandidateName(TextView safe, bool beforeExtension, uint32_t counter) {
  if (counter == 0) return Text(safe);
  if (beforeExtension) return CountedBeforeExtension(safe, counter);
  return Text(safe) + u";" + DecimalText(counter - 1);
}

constexpr uint32_t kMaxCounter = 100000;

}  // namespace

bool NameWithoutReplacing(const fs::Folder& folder, TextView partial, TextView safe, bool beforeExtension,
                          Text& named) {
  uint32_t first = 0;
  return NameWithoutReplacing(folder, partial, safe, beforeExtension, named, first);
}

bool NameWithoutReplacing(const fs::Folder& folder, TextView partial, TextView safe, bool beforeExtension,
                          Text& named, uint32_t& next) {
  for (uint32_t counter = next; counter < kMaxCounter; ++counter) {
    const Text name = CandidateName(safe, beforeExtension, counter);
    if (folder.RenameNoReplace(partial, name)) {
      named = folder.Path() + u"\\" + name;
      next = counter + 1;
      return true;
    }
    // Only an existing name moves on to the next counter.
    if (GetLastErrorCode() != kErrorFileExists && !folder.Exists(name)) return false;
  }
  return false;
}

Text CountedBeforeExtension(TextView safe, uint32_t counter) {
  // A leading dot (".profile") is the whole name, not an extension.
  const size_t dot = safe.rfind(u'.');
  const size_t split = dot == TextView::npos || dot == 0 ? safe.size() : dot;
  return Text(safe.substr(0, split)) + u";" + DecimalText(counter) + Text(safe.substr(split));
}

bool OutputDestination::Open(TextView path, std::vector<Text>* made) {
  Close();
  Text dest(path);
  while (dest.size() > 1 && dest.back() == u'\\') dest.pop_back();
  if (fs::GetPathKind(dest) != fs::PathKind::Folder && !CreateFolderPath(dest, made)) return false;
  fs::Folder opened = fs::Folder::Open(dest);
  if (!opened.Valid()) return false;
  root_ = std::make_shared<const fs::Folder>(std::move(opened));
  return true;
}

const Text& OutputDestination::Path() const {
  static const Text kNone;
  return root_ ? root_->Path() : kNone;
}

void OutputDestination::Close() {
  chain_.clear();
  root_.reset();
}

namespace {

#ifdef _WIN32
// Win32 opens files by path: every folder on the path stays open, so none
// of them can be renamed or removed while files are made below it.
constexpr size_t kOpenLevels = SIZE_MAX;
#else
// Descriptors are few (1,024 by default); every step is relative to the
// folder above it, so only the deepest levels need to stay open.
constexpr size_t kOpenLevels = 64;
#endif

// The components of `folder` below `root`; false when it is not below it.
bool ComponentsBelow(TextView root, TextView folder, std::vector<Text>& names) {
  if (folder.size() < root.size() || folder.substr(0, root.size()) != root) return false;
  TextView rest = folder.substr(root.size());
  if (!rest.empty() && rest.front() != u'\\' && (root.empty() || root.back() != u'\\')) return false;
  for (size_t start = 0; start < rest.size();) {
    size_t end = rest.find(u'\\', start);
    if (end == TextView::npos) end = rest.size();
    if (end > start) names.emplace_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

NotRecoveredReason ReasonOfFolderError() {
  return ReasonOfError(GetLastErrorCode(), NotRecoveredReason::FolderNotMade);
}

}  // namespace

void OutputDestination::Push(Text asked, std::shared_ptr<const fs::Folder> folder) {
  Text name = folder->Path().substr(folder->Path().rfind(u'\\') + 1);
  chain_.push_back({std::move(asked), std::move(name), std::move(folder)});
  if (kOpenLevels < chain_.size()) chain_[chain_.size() - 1 - kOpenLevels].folder.reset();
}

// The first `levels` of the chain open again, from the deepest one still
// open; a level that is now a link or gone ends the chain there.
std::shared_ptr<const fs::Folder> OutputDestination::ReopenShared(size_t levels, NotRecoveredReason& why) {
  size_t at = levels;
  while (at > 0 && !chain_[at - 1].folder) --at;
  std::shared_ptr<const fs::Folder> current = at == 0 ? root_ : chain_[at - 1].folder;
  for (; at < levels; ++at) {
    fs::Folder next = current->OpenChild(chain_[at].name);
    if (!next.Valid()) {
      why = ReasonOfFolderError();
      chain_.resize(at);
      return nullptr;
    }
    chain_[at].folder = std::make_shared<const fs::Folder>(std::move(next));
    current = chain_[at].folder;
  }
  return current;
}

std::shared_ptr<const fs::Folder> OutputDestination::MakeKeptLevel(const fs::Folder& parent, TextView asked,
                                                                   NotRecoveredReason& why) {
  // A file recovered earlier may hold the folder's name (a deleted file
  // ".." and a folder ".." both become "__"): the folder is then counted
  // as a file would be. A link is a name taken, never followed.
  const Text safe = SafeOutputName(asked);
  for (uint32_t counter = 0; counter < kMaxCounter; ++counter) {
    const Text name = CandidateName(safe, true, counter);
    if (parent.Path().size() + 1 + name.size() > kMaxKeptFolderUnits) {
      why = NotRecoveredReason::PathTooLong;
      return nullptr;
    }
    fs::PathKind kind = parent.KindOf(name);
    if (kind == fs::PathKind::Missing) {
      // Another writer may make it first: then it is opened as found.
      if (!parent.MakeChild(name) && GetLastErrorCode() != kErrorFileExists) {
        why = ReasonOfFolderError();
        return nullptr;
      }
      kind = fs::PathKind::Folder;
    }
    if (kind != fs::PathKind::Folder) continue;
    fs::Folder opened = parent.OpenChild(name);
    if (opened.Valid()) return std::make_shared<const fs::Folder>(std::move(opened));
    why = ReasonOfFolderError();
    return nullptr;
  }
  why = NotRecoveredReason::NoFreeName;
  return nullptr;
}

std::shared_ptr<const fs::Folder> OutputDestination::Descend(const std::vector<Text>& names, bool kept,
                                                             NotRecoveredReason& why) {
  why = NotRecoveredReason::FolderReplaced;
  if (!root_) return nullptr;
  size_t common = 0;
  while (common < chain_.size() && common < names.size() &&
         (kept ? chain_[common].asked : chain_[common].name) == names[common])
    ++common;
  chain_.resize(common);
  std::shared_ptr<const fs::Folder> current = ReopenShared(common, why);
  if (!current) return nullptr;
  for (size_t i = common; i < names.size(); ++i) {
    std::shared_ptr<const fs::Folder> next;
    if (kept) {
      next = MakeKeptLevel(*current, names[i], why);
    } else if (fs::Folder opened = current->OpenChild(names[i]); opened.Valid()) {
      next = std::make_shared<const fs::Folder>(std::move(opened));
    } else {
      why = ReasonOfFolderError();
    }
    if (!next) return nullptr;
    Push(kept ? names[i] : Text(), next);
    current = std::move(next);
  }
  return current;
}

std::shared_ptr<const fs::Folder> OutputDestination::Reach(TextView folder, NotRecoveredReason& why) {
  std::vector<Text> names;
  if (!root_ || !ComponentsBelow(root_->Path(), folder, names)) {
    why = NotRecoveredReason::FolderReplaced;
    return nullptr;
  }
  // The folder reached last is asked for again for every file in it.
  if (!names.empty() && names.size() == chain_.size() && chain_.back().folder &&
      chain_.back().folder->Path() == folder)
    return chain_.back().folder;
  return Descend(names, false, why);
}

std::shared_ptr<const fs::Folder> OutputDestination::MakeKeptFolder(TextView volumeFolder, Text& folder,
                                                                    NotRecoveredReason& why) {
  std::vector<Text> names;
  ComponentsBelow(u"", volumeFolder, names);
  std::shared_ptr<const fs::Folder> made = Descend(names, true, why);
  if (made) folder = made->Path();
  return made;
}

bool CreateKeptFolder(TextView destination, TextView volumeFolder, Text& folder) {
  OutputDestination d;
  NotRecoveredReason why;
  return d.Open(destination) && d.MakeKeptFolder(volumeFolder, folder, why) != nullptr;
}

uint32_t& NameCounters::Next(TextView folder, TextView safe, bool beforeExtension) {
  return next_[Text(folder) + u"\\" + Text(safe) + (beforeExtension ? u"\\1" : u"\\0")];
}

CommitBatch::CommitBatch(size_t filesPerFlush) : filesPerFlush_(filesPerFlush) {}

CommitBatch::~CommitBatch() {
  for (const auto& p : pending_) p.folder->RemoveFile(p.partial);
}

Text CommitBatch::Promise(const fs::Folder& folder, TextView safe, bool beforeExtension) {
  uint32_t& next = nextCounter_.Next(folder.Path(), safe, beforeExtension);
  for (uint32_t counter = next; counter < kMaxCounter; ++counter) {
    const Text leaf = CandidateName(safe, beforeExtension, counter);
    Text name = folder.Path() + u"\\" + leaf;
    if (promised_.count(name) || folder.Exists(leaf)) continue;
    promised_[name] = true;
    next = counter + 1;
    return name;
  }
  return Text();
}

void CommitBatch::Add(Text partial, Text promised, std::shared_ptr<const fs::Folder> folder, TextView safe,
                      bool beforeExtension) {
  if (pending_.empty() || pending_.back().folder != folder) ++folders_;
  pending_.push_back({std::move(partial), std::move(promised), Text(safe), std::move(folder), beforeExtension});
  if (pending_.size() >= filesPerFlush_ || folders_ >= kFoldersPerFlush) FlushAndName();
}

// One flush for each file system the pending files lie on (a folder of
// the destination may be another file system's mount point).
bool CommitBatch::FlushPendingFileSystems() {
  std::vector<uint64_t> flushed;
  for (const auto& p : pending_) {
    const uint64_t device = p.folder->Device();
    if (std::find(flushed.begin(), flushed.end(), device) != flushed.end()) continue;
    if (!p.folder->FlushFileSystem()) return false;
    flushed.push_back(device);
  }
  return true;
}

void CommitBatch::FlushAndName() {
  if (pending_.empty()) return;
  // Every byte on the device before any file takes its name.
  if (!FlushPendingFileSystems()) {
    const bool full = GetLastErrorCode() == kErrorDiskFull;
    for (const auto& p : pending_) {
      p.folder->RemoveFile(p.partial);
      changed_[p.promised] = {Text(), full,
                              full ? NotRecoveredReason::DestinationFull : NotRecoveredReason::FlushFailed};
    }
  } else {
    for (const auto& p : pending_) {
      // The promised name first; a writer that took it meanwhile moves the
      // file on to the next free one.
      const Text promisedLeaf = p.promised.substr(p.promised.rfind(u'\\') + 1);
      if (p.folder->RenameNoReplace(p.partial, promisedLeaf)) continue;
      Named n;
      if (!NameWithoutReplacing(*p.folder, p.partial, p.safeName, p.counterBeforeExtension, n.final)) {
        n.reason = ReasonOfError(GetLastErrorCode(), NotRecoveredReason::NoFreeName);
        p.folder->RemoveFile(p.partial);
        n.final.clear();
      }
      changed_[p.promised] = n;
    }
    // The new names on the device too, as one flush.
    FlushPendingFileSystems();
  }
  pending_.clear();
  folders_ = 0;
  // Names now on disk keep later files off them.
  promised_.clear();
  nextCounter_.Clear();
}

std::map<Text, CommitBatch::Named> CommitBatch::Finish() {
  FlushAndName();
  return std::move(changed_);
}

void OutputFile::Discard() noexcept {
  streaming_ = false;
  file_.Close();
  if (partial_.empty()) {
    folder_.reset();
    return;
  }
  // Removing converts the name for the system, which allocates; when memory
  // ran short a moment ago it may do so once more, and a partial file must
  // not outlive the failure that ended it. It goes through the folder's
  // handle: wherever the folder is now, the file is removed from it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      folder_->RemoveFile(partialLeaf_);
      break;
    } catch (...) {
    }
  }
  partial_.clear();
  partialLeaf_.clear();
  folder_.reset();
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
