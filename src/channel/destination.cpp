#include "channel/destination.h"

#include <algorithm>

namespace rv {
namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool StartsWithIgnoringCase(TextView text, TextView prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

}  // namespace

bool BeginsWithRecycleFolder(TextView inside) {
  // "recycled" (Windows 95 to Me on FAT), "recycler" (NT to XP),
  // "$recycle.bin" (Vista on) and the recovery bin of a recovery service.
  for (TextView name : {TextView(u"recoverybin"), TextView(u"recycler"), TextView(u"recycled"), TextView(u"$recycle.bin")})
    if (StartsWithIgnoringCase(inside, name)) return true;
  return false;
}

const DestinationVolume* FindVolumeOf(TextView path, const std::vector<DestinationVolume>& volumes, TextView& rest) {
  const DestinationVolume* found = nullptr;
  rest = TextView();
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':' && (path.size() == 2 || path[2] == u'\\')) {
    for (const auto& v : volumes)
      if (v.letter && Lower(v.letter) == Lower(path[0])) {
        found = &v;
        break;
      }
    rest = path.substr(path.size() == 2 ? 2 : 3);
  } else if (StartsWithIgnoringCase(path, u"Volume{")) {
    for (const auto& v : volumes)
      if (!v.name.empty() && StartsWithIgnoringCase(path, v.name)) {
        found = &v;
        rest = path.substr(v.name.size());
        break;
      }
  } else {
    // The display path must end where a folder name does ("D:" is no
    // prefix of "D:Out", nor "\Device\Volume3" of "\Device\Volume31").
    for (const auto& v : volumes)
      if (!v.displayPath.empty() && StartsWithIgnoringCase(path, v.displayPath) &&
          (path.size() == v.displayPath.size() || path[v.displayPath.size()] == u'\\')) {
        found = &v;
        // One character after the display path: its separator.
        rest = path.substr(std::min(path.size(), v.displayPath.size() + 1));
        break;
      }
  }
  return found;
}

DestinationVerdict CheckDestination(TextView path, const std::vector<DestinationVolume>& volumes, bool anyAllowed) {
  TextView rest;
  const DestinationVolume* found = FindVolumeOf(path, volumes, rest);
  DestinationVerdict verdict;
  if (!anyAllowed) {
    if (!found) {
      verdict.refusal = DestinationRefusal::NoVolume;
      return verdict;
    }
    if (BeginsWithRecycleFolder(rest)) {
      verdict.refusal = DestinationRefusal::RecycleFolder;
      return verdict;
    }
  }
  verdict.resolved = (found ? found->name : Text()) + Text(rest);
  return verdict;
}

const char* DestinationRefusalText(DestinationRefusal refusal) {
  switch (refusal) {
    case DestinationRefusal::NoVolume:
      return "That location is not on any volume of this computer. Choose a folder on one of its drives.";
    case DestinationRefusal::RecycleFolder:
      return "Files cannot be recovered into a recycle folder or a recovery bin. Choose another folder.";
    default: return "";
  }
}

}  // namespace rv
