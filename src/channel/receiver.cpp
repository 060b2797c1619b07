#include "channel/receiver.h"

#include "channel/packet.h"
#include "platform/system.h"
#include "platform/text.h"

#include <cstdio>
#include "format/le.h"

namespace rv {
namespace {

bool ReadText(const uint8_t* p, size_t size, uint32_t& off, Text& out) {
  return ReadPayloadText(p, static_cast<uint32_t>(size), off, out);
}

// The fixed-size text of a progress report or message box: up to its NUL
// or the end of its place.
Text FixedText(const uint8_t* p, size_t size, size_t offset, size_t units) {
  Text t;
  for (size_t i = 0; i < units && offset + 2 * i + 1 < size; ++i) {
    const char16_t c = static_cast<char16_t>(p[offset + 2 * i] | (p[offset + 2 * i + 1] << 8));
    if (c == 0) break;
    t.push_back(c);
  }
  return t;
}

}  // namespace

namespace {

// FAT's date and time words (date << 16 | time) as a calendar time; false
// when they hold no valid one.
bool FatCalendar(uint64_t value, CalendarTime& t) {
  const uint32_t date = static_cast<uint32_t>(value >> 16) & 0xFFFF, time = static_cast<uint32_t>(value) & 0xFFFF;
  t = {static_cast<int>(1980 + (date >> 9)), static_cast<int>((date >> 5) & 15), static_cast<int>(date & 31),
       static_cast<int>(time >> 11), static_cast<int>((time >> 5) & 63), static_cast<int>((time & 31) * 2)};
  return !(t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59);
}

}  // namespace

bool FoundTimeToFileTime(FoundTimeKind kind, uint64_t value, uint64_t& fileTime) {
  if (kind == FoundTimeKind::FileTimeUtc) {
    fileTime = value;
    return value != 0;
  }
  CalendarTime t;
  if (kind != FoundTimeKind::FatLocal || !FatCalendar(value, t)) return false;
  return LocalToFileTime(t, fileTime);
}

size_t ModifiedIsoText(FoundTimeKind kind, uint64_t value, char out[32]) {
  CalendarTime t;
  if (kind == FoundTimeKind::FileTimeUtc) {
    if (value == 0 || !FileTimeToUtc(value, t)) return 0;
  } else if (kind == FoundTimeKind::FatLocal) {
    if (!FatCalendar(value, t)) return 0;
  } else {
    return 0;
  }
  const int n = std::snprintf(out, 32, "%04d-%02d-%02dT%02d:%02d:%02d%s", t.year, t.month, t.day, t.hour, t.minute,
                              t.second, kind == FoundTimeKind::FileTimeUtc ? "Z" : "");
  return n > 0 && n < 32 ? static_cast<size_t>(n) : 0;
}

bool DecodeFoundFile(const uint8_t* p, size_t size, TextView volumeName, FoundFile& f) {
  if (size < 12) return false;
  Bytes b(p, size);
  f.recoverable = -1;
  f.locator = le32(b, 0);
  f.second = le32(b, 4);
  f.size = le32(b, 8);
  f.timeValue = 0;
  f.timeKind = FoundTimeKind::None;
  f.times = {};
  f.pathShortened = false;
  uint32_t off = 12;
  if (!ReadText(p, size, off, f.time) || !ReadText(p, size, off, f.path)) return false;
  if (off + kFoundDetailsBytes + 2 <= size && le32(b, off) == kFoundDetailsMagic) {
    f.size = le64(b, off + 4);
    f.timeValue = le64(b, off + 12);
    const uint32_t kind = le32(b, off + 20);
    f.timeKind = kind <= 2 ? static_cast<FoundTimeKind>(kind) : FoundTimeKind::None;
    off += kFoundDetailsBytes;
    Text full;
    if (ReadText(p, size, off, full) && !full.empty()) {
      f.path.swap(full);
      f.pathShortened = true;
    }
    if (off <= size && size - off >= kFoundTimesBytes + 4 && le32(b, off) == kFoundTimesMagic) {
      f.times.created = le64(b, off + kFoundTimesCreated);
      f.times.changed = le64(b, off + kFoundTimesChanged);
      f.times.accessed = le64(b, off + kFoundTimesAccessed);
    }
  }
  // The path starts with the volume prefix: "X:" or the volume's device name.
  TextView rest = f.path;
  if (rest.size() >= volumeName.size() && EqualsIgnoreCase(rest.substr(0, volumeName.size()), volumeName)) {
    rest.remove_prefix(volumeName.size());
  } else {
    const size_t colon = rest.find(u':');
    if (colon != TextView::npos && colon < rest.find(u'\\')) rest.remove_prefix(colon + 1);
  }
  const size_t slash = rest.rfind(u'\\');
  if (slash == TextView::npos) {
    f.folder.assign(1, u'\\');
    f.name.assign(rest);
  } else {
    f.folder.assign(rest.substr(0, slash + 1));
    f.name.assign(rest.substr(slash + 1));
  }
  return true;
}

bool DecodeUndeleteResult(const uint8_t* p, size_t size, UndeleteOutcome& r) {
  if (size < 8) return false;
  Bytes b(p, size);
  r.code = le32(b, 0);
  r.record = le32(b, 4);
  uint32_t off = 8;
  ReadText(p, size, off, r.source);
  ReadText(p, size, off, r.output);
  // Long texts follow in full after their shortened places.
  if (off + 4 < size) {
    ReadText(p, size, off, r.source);
    ReadText(p, size, off, r.output);
  }
  // The filler, the record's last 4 bytes, holds the details.
  if (size >= 16 && off <= size - 4) {
    const ResultDetails d = ResultDetailsOf(le32(b, size - 4));
    r.zeroed = d.zeroed;
    r.byFormat = d.byFormat;
    r.reason = d.reason;
  }
  return true;
}

MessageReceiver::MessageReceiver(ReceiverEvents events, Text volumeName)
    : events_(std::move(events)), volumeName_(std::move(volumeName)) {}

void MessageReceiver::Receive(uint32_t id, const uint8_t* p, size_t size) {
  const Bytes b(p, size);
  switch (id) {
    case CM_FILE_FOUND:
      if (events_.onFound && DecodeFoundFile(p, size, volumeName_, found_)) events_.onFound(found_);
      break;
    case CM_SEARCH_STARTED:
      if (events_.onSearchStarted) events_.onSearchStarted();
      break;
    case CM_SEARCH_FINISHED:
      if (events_.onSearchFinished) events_.onSearchFinished();
      break;
    case CM_SEARCH_PROGRESS:
      if (events_.onSearchProgress && size >= 4) events_.onSearchProgress(le32(b, 0), FixedText(p, size, 4, 260));
      break;
    case CM_SHOW_MESSAGE:
      if (events_.onShowMessage) {
        MessageBoxText m;
        m.text = FixedText(p, size, 0, 1040);
        m.caption = FixedText(p, size, 2080, 260);
        if (size >= 2608) {
          m.style = le32(b, 2600);
          m.slot = static_cast<int32_t>(le32(b, 2604));
        }
        events_.onShowMessage(m);
      }
      break;
    case CM_UNDELETE_FILE_STARTED:
      if (events_.onFileStarted && size >= 4) events_.onFileStarted(le32(b, 0), FixedText(p, size, 4, 260));
      break;
    case CM_UNDELETE_PROGRESS:
      if (events_.onUndeleteProgress && size >= 4) events_.onUndeleteProgress(le32(b, 0), FixedText(p, size, 4, 262));
      break;
    case CM_UNDELETE_RESULT:
      if (events_.onResult) {
        UndeleteOutcome r;
        if (DecodeUndeleteResult(p, size, r)) events_.onResult(r);
      }
      break;
    case CM_UNDELETE_FINISHED:
      if (events_.onUndeleteFinished) events_.onUndeleteFinished();
      break;
    case CM_UNDELETE_REPORT:
      if (events_.onUndeleteReport) events_.onUndeleteReport();
      break;
    default:
      break;
  }
}

}  // namespace rv
