// The deleted files of a search as a tree of folders, for a file-system
// view of them: each found file in its folder as on the volume ("$Orphan"
// for those whose folder could not be placed, named streams as
// "name:stream" beside their file), with only the live folders that lead
// to deleted files. Names are kept as the volume stores them except where
// a POSIX path cannot hold them: "/" and NUL become "_", "." and ".." get a
// "_" in front, and a name taken twice in one folder (two deleted files of
// one name are common) is counted before its extension ("a;1.txt").
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "channel/receiver.h"

namespace rv {

struct FoundTree {
  struct Node {
    std::string name;  // UTF-8; empty for the root
    uint32_t parent = 0;
    bool folder = false;
    size_t file = SIZE_MAX;  // index into `files` for a file
    std::vector<uint32_t> children;
    std::unordered_map<std::string, uint32_t> byName;  // folders only
  };
  std::vector<Node> nodes;  // nodes[0] is the root
  std::vector<FoundFile> files;

  FoundTree();
  // Adds a found file under its folder, making the folders it needs.
  // Returns its node.
  uint32_t Add(const FoundFile& file);
  // Adds `file` at `folder` (UTF-8 components under the root, "/" between),
  // under its own name; for files that have no folder on the volume, as the
  // carved files of a deep scan.
  uint32_t AddAt(const std::string& folder, const FoundFile& file);
  // The node a path names ("/", "/a/b.txt"); false when none.
  bool Find(const std::string& path, uint32_t& node) const;

 private:
  uint32_t Folder(uint32_t parent, const std::string& name);
  uint32_t FileNode(uint32_t parent, std::string name, size_t file);
};

// A name from the volume as a path component (see above, without the count).
std::string TreeComponent(TextView name);
// Times of a found file as POSIX seconds and nanoseconds; false where the
// volume keeps none of that kind (0 for FAT's missing change time).
struct PosixTime {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
};
bool FoundFileTime(const FoundFile& file, uint64_t value, PosixTime& out);

}  // namespace rv
