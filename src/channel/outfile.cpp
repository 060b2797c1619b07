#include "channel/outfile.h"

#include "channel/packet.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rv {

bool CreateFolderPath(TextView path) {
  size_t pos = path.find(u'\\');
  if (pos == TextView::npos) return false;
  for (;;) {
    size_t next = path.find(u'\\', pos + 1);
    TextView part = next == TextView::npos ? path : path.substr(0, next);
    // An empty component ("\\" inside the path, or the POSIX root "\") is
    // the same folder as its parent.
    if (!part.empty() && part.back() != u'\\' && fs::GetPathKind(part) != fs::PathKind::Folder) {
      if (!fs::CreateFolder(part)) return false;
    }
    if (next == TextView::npos) return true;
    pos = next;
  }
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

uint32_t CreateOutputFile(fs::File& file, TextView folder, TextView fileName, Text& outputName) {
  const Text base = Text(folder) + u"\\" + SafeOutputName(fileName);
  Text name = base;
  for (uint32_t counter = 0;;) {
    file = fs::File::CreateNew(name, true);
    if (file.Valid()) {
      outputName = name;
      return kOutputCreated;
    }
    // Only an existing name moves on to the next suffix; access denied, a
    // full disk or an invalid name end the file at once.
    if (!fs::NameExists(name)) return kOutputNotCreated;
    if (counter >= 99999) return kOutputNotCreated;
    name = base + u";" + DecimalText(counter);
    ++counter;
  }
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
