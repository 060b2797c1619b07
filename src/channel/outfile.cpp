#include "channel/outfile.h"

#include "channel/packet.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"

#include <vector>

namespace rv {

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

bool OutputFile::WriteAt(uint64_t offset, const void* data, uint32_t length) {
  if (file_.WriteAt(offset, data, length)) return true;
  NoteFailure();
  return false;
}

bool OutputFile::SetSize(uint64_t size) {
  if (file_.SetSize(size)) return true;
  NoteFailure();
  return false;
}

void OutputFile::NoteFailure() { full_ = GetLastErrorCode() == kErrorDiskFull; }

uint32_t OutputFile::Commit(Text& outputName) {
  if (partial_.empty()) return kOutputNotCreated;
  // The time goes onto the open file: once the handle is closed the name
  // could be made to mean another file.
  if (modificationTime_ != 0) file_.SetModificationTime(modificationTime_);
  if (!file_.FlushAndClose()) {
    NoteFailure();
    Discard();
    return kOutputNotCreated;
  }
  const Text base = folder_ + u"\\" + SafeOutputName(fileName_);
  Text name = base;
  for (uint32_t counter = 0;;) {
    if (fs::RenameNoReplace(partial_, name)) {
      partial_.clear();
      outputName = name;
      return kOutputCreated;
    }
    // Only an existing name moves on to the next suffix.
    if (!fs::NameExists(name) || counter >= 99999) break;
    name = base + u";" + DecimalText(counter);
    ++counter;
  }
  NoteFailure();
  Discard();
  return kOutputNotCreated;
}

void OutputFile::Discard() noexcept {
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
