#include "mount/tree.h"

#include "channel/outfile.h"
#include "platform/text.h"

namespace rv {

namespace {
// 100 ns units from 1601 to 1970.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
}  // namespace

std::string TreeComponent(TextView name) {
  Text t(name);
  for (auto& c : t)
    if (c == u'/' || c == 0) c = u'_';
  if (t.empty()) t = u"_";
  if (t == u"." || t == u"..") t = u"_" + t;
  return ToUtf8(t);
}

bool FoundFileTime(const FoundFile& file, uint64_t value, PosixTime& out) {
  uint64_t ft = 0;
  if (value == 0 || !FoundTimeToFileTime(file.timeKind, value, ft) || ft < kUnixEpochFileTime) return false;
  out.seconds = static_cast<int64_t>((ft - kUnixEpochFileTime) / 10000000u);
  out.nanoseconds = static_cast<uint32_t>((ft - kUnixEpochFileTime) % 10000000u * 100u);
  return true;
}

FoundTree::FoundTree() {
  nodes.emplace_back();
  nodes[0].folder = true;
}

uint32_t FoundTree::Folder(uint32_t parent, const std::string& name) {
  auto it = nodes[parent].byName.find(name);
  if (it != nodes[parent].byName.end() && nodes[it->second].folder) return it->second;
  // A file of that name came first: the folder is counted as a file would be.
  std::string taken = name;
  for (uint32_t counter = 1; it != nodes[parent].byName.end(); ++counter) {
    taken = name + ";" + std::to_string(counter);
    it = nodes[parent].byName.find(taken);
    if (it != nodes[parent].byName.end() && nodes[it->second].folder) return it->second;
  }
  const uint32_t index = static_cast<uint32_t>(nodes.size());
  Node n;
  n.name = taken;
  n.parent = parent;
  n.folder = true;
  nodes.push_back(std::move(n));
  nodes[parent].children.push_back(index);
  nodes[parent].byName.emplace(taken, index);
  return index;
}

uint32_t FoundTree::FileNode(uint32_t parent, std::string name, size_t file) {
  if (nodes[parent].byName.count(name)) {
    const Text safe = FromUtf8(name);
    for (uint32_t counter = 1;; ++counter) {
      std::string counted = ToUtf8(CountedBeforeExtension(safe, counter));
      if (!nodes[parent].byName.count(counted)) {
        name = std::move(counted);
        break;
      }
    }
  }
  const uint32_t index = static_cast<uint32_t>(nodes.size());
  Node n;
  n.name = name;
  n.parent = parent;
  n.file = file;
  nodes.push_back(std::move(n));
  nodes[parent].children.push_back(index);
  nodes[parent].byName.emplace(nodes[index].name, index);
  return index;
}

uint32_t FoundTree::Add(const FoundFile& file) {
  uint32_t at = 0;
  TextView folder = file.folder;
  size_t start = 0;
  while (start < folder.size()) {
    const size_t end = folder.find(u'\\', start);
    const TextView part = folder.substr(start, end == TextView::npos ? TextView::npos : end - start);
    if (!part.empty()) at = Folder(at, TreeComponent(part));
    if (end == TextView::npos) break;
    start = end + 1;
  }
  files.push_back(file);
  return FileNode(at, TreeComponent(file.name), files.size() - 1);
}

uint32_t FoundTree::AddAt(const std::string& folder, const FoundFile& file) {
  uint32_t at = 0;
  size_t start = 0;
  while (start < folder.size()) {
    const size_t end = folder.find('/', start);
    const std::string part = folder.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) at = Folder(at, part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  files.push_back(file);
  return FileNode(at, TreeComponent(file.name), files.size() - 1);
}

bool FoundTree::Find(const std::string& path, uint32_t& node) const {
  uint32_t at = 0;
  size_t start = 0;
  while (start < path.size()) {
    const size_t end = path.find('/', start);
    const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) {
      if (!nodes[at].folder) return false;
      auto it = nodes[at].byName.find(part);
      if (it == nodes[at].byName.end()) return false;
      at = it->second;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  node = at;
  return true;
}

}  // namespace rv
