// An image shorter than the file system it holds. On FAT and exFAT the
// sectors past the last cluster hold nothing, so an image that lacks only
// those is read whole (a warning); one that cuts clusters off is refused by
// the engines that walk folders (a walk would meet folders that are not
// there). Every front end judges a volume by this one rule.
#pragma once
#include <string>

#include "volume/source.h"

namespace rv {

enum class Truncation { None, TailOnly, ClustersCut };
// `display` names the volume in `text`, which says what is missing.
Truncation CheckTruncation(VolumeSource* source, const std::string& display, std::string& text);

}  // namespace rv
