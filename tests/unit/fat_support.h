// Helpers for the FAT engine tests: runs of the two shells against an
// attached volume, decoded found-file reports, and the manifest's FAT images.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channel/packet.h"
#include "platform/types.h"
#include "test_support.h"
#include "volume/source.h"

namespace rv::test {

struct FatFound {
  uint32_t locator = 0;
  uint32_t index = 0;
  uint32_t size = 0;
  Text time;
  Text path;
};

struct FatUndeleteOutcome {
  uint32_t code = 0;
  Text source;
  Text output;
  bool byFormat = false;  // clusters chosen by the file's format
};

// Attaches a source for the lifetime of the object.
class AttachedVolume {
 public:
  explicit AttachedVolume(std::shared_ptr<VolumeSource> source);
  ~AttachedVolume();
  Text name;  // "\\?\Volume{...}"
  Text Root() const { return name + u"\\"; }
};

std::shared_ptr<VolumeSource> ImageSource(const std::string& path);

struct FatSearchRun {
  std::vector<FatFound> found;
  std::vector<Posted> messages;
  BOOL result = 0;
  size_t Count(uint32_t id) const;
};
FatSearchRun RunFatSearch(const Text& root, const Text& pattern = u"", const Text& folder = u"\\",
                          bool includeSubfolders = true);

struct FatUndeleteRun {
  std::vector<FatUndeleteOutcome> outcomes;
  std::vector<Posted> messages;
  BOOL result = 0;
};
FatUndeleteRun RunFatUndelete(const Text& destination, const std::vector<FatFound>& files);

// The manifest's general FAT16/FAT32 images (damaged ones only when asked;
// never those made for one purpose).
nlohmann::json LoadManifest();
std::vector<nlohmann::json> FatImages(bool includeDamaged);
// The path the FAT search reports for a manifest path: components that have
// only a short name on disk show '~' for the first character of a deleted one.
Text ExpectedFatPath(const nlohmann::json& image, const nlohmann::json& deleted);
// "YYYY-MM-DDTHH:MM:SSZ" as "MM/DD/YYYY HH:MM".
Text ExpectedFatTime(const std::string& mtime);
std::vector<uint8_t> OriginalBytes(const nlohmann::json& deleted);
// Every cluster of a deleted manifest entry now belongs to another file: no
// byte of it can come back, so its recovery must be "not recovered".
bool EveryClusterReused(const nlohmann::json& deleted);

}  // namespace rv::test
