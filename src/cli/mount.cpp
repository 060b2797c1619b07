// retriva mount: the deleted files of a volume as a read-only file system
// (FUSE 3, Linux). The search runs once; each file's bytes are read on
// demand through the engine that listed it, exactly as a recovery would
// write them. The engines are called one at a time (the core's engine
// lock), however many readers the kernel sends at once.
#include "cli/commands.h"
#include "cli/search_steps.h"

#ifdef RETRIVA_HAVE_FUSE
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "carve/recover_carved.h"
#include "cli/deep.h"
#include "cli/deep_lost.h"
#include "lost/lost_recover.h"
#include "mount/tree.h"
#include "ntfs/nue.h"
#include "platform/samevolume.h"
#include "platform/text.h"
#endif

namespace rv::cli {

#ifndef RETRIVA_HAVE_FUSE

int RunMount(const MountArgs& args) {
  Refuse("mount: this retriva was built without FUSE (install libfuse3-dev and pkg-config, then build again)");
  return kExitRefused;
}

#else

namespace {

struct MountState {
  Engine engine = nullptr;  // null on a volume without a file system (--deep)
  FoundTree tree;
  // --deep: the carved files by their index in `tree.files`, read from the
  // volume in place.
  VolumeSource* source = nullptr;
  std::unordered_map<size_t, carve::CarvedFile> carved;
  // --deep: the old file system's files no carved file names, by their
  // index in `tree.files`, read as recover --deep writes them.
  std::unordered_map<size_t, lost::LostFile> lost;
  lost::LostClaims lostClaims;  // of every old file found, as recover --deep places them
  std::timespec mounted{};
  uid_t uid = 0;
  gid_t gid = 0;
};
MountState* g_mount = nullptr;

const FoundTree::Node* NodeOf(const char* path) {
  uint32_t n = 0;
  if (!g_mount->tree.Find(path, n)) return nullptr;
  return &g_mount->tree.nodes[n];
}

std::timespec TimeOr(const FoundFile& f, uint64_t value, const std::timespec& fallback) {
  PosixTime t;
  if (!FoundFileTime(f, value, t)) return fallback;
  std::timespec ts{};
  ts.tv_sec = static_cast<time_t>(t.seconds);
  ts.tv_nsec = static_cast<long>(t.nanoseconds);
  return ts;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  const FoundTree::Node* node = NodeOf(path);
  if (!node) return -ENOENT;
  std::memset(st, 0, sizeof *st);
  st->st_uid = g_mount->uid;
  st->st_gid = g_mount->gid;
  if (node->folder) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    st->st_atim = st->st_mtim = st->st_ctim = g_mount->mounted;
    return 0;
  }
  const FoundFile& f = g_mount->tree.files[node->file];
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(f.size);
  st->st_blocks = static_cast<blkcnt_t>((f.size + 511) / 512);
  st->st_mtim = TimeOr(f, f.timeValue, g_mount->mounted);
  st->st_atim = TimeOr(f, f.times.accessed, st->st_mtim);
  // The record's change time where the volume keeps one (NTFS), else the
  // modification time.
  st->st_ctim = TimeOr(f, f.times.changed, st->st_mtim);
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  const FoundTree::Node* node = NodeOf(path);
  if (!node) return -ENOENT;
  if (!node->folder) return -ENOTDIR;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (uint32_t child : node->children)
    if (fill(buf, g_mount->tree.nodes[child].name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0))) break;
  return 0;
}

// An old record's file, read through the NTFS engine's volume record where
// the search left it open (NTFS records), else from the volume.
std::unique_ptr<FoundFileReader> OpenOldFile(const lost::LostFile& f) {
  const std::lock_guard<std::recursive_mutex> lock(EngineLock());
  NueVolumeData& ntfs = TheNueVolume();
  return lost::OpenLostReader(*g_mount->source, ntfs.IsOpen() ? &ntfs : nullptr, f, &g_mount->lostClaims);
}

int Open(const char* path, fuse_file_info* fi) {
  const FoundTree::Node* node = NodeOf(path);
  if (!node) return -ENOENT;
  if (node->folder) return -EISDIR;
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) return -EROFS;
  const auto carved = g_mount->carved.find(node->file);
  const auto old = g_mount->lost.find(node->file);
  std::unique_ptr<FoundFileReader> reader;
  if (carved != g_mount->carved.end()) reader = carve::OpenCarvedReader(*g_mount->source, carved->second);
  else if (old != g_mount->lost.end()) reader = OpenOldFile(old->second);
  else reader = OpenFoundFile(*g_mount->engine, g_mount->tree.files[node->file]);
  if (!reader) return -EIO;
  fi->fh = reinterpret_cast<uint64_t>(reader.release());
  // The bytes never change while mounted: the kernel may keep them.
  fi->keep_cache = 1;
  return 0;
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  auto* reader = reinterpret_cast<FoundFileReader*>(fi->fh);
  if (!reader || offset < 0) return -EINVAL;
  size_t got = 0;
  if (!ReadFoundFileRange(*reader, static_cast<uint64_t>(offset), reinterpret_cast<uint8_t*>(buf), size, got))
    return -EIO;
  return static_cast<int>(got);
}

int Release(const char*, fuse_file_info* fi) {
  delete reinterpret_cast<FoundFileReader*>(fi->fh);
  fi->fh = 0;
  return 0;
}

// The file's condition: its recoverable share, whether its clusters after
// the first are guessed, and the id `recover --id` takes.
bool XattrValue(const FoundTree::Node& node, const std::string& name, std::string& value) {
  const FoundFile& f = g_mount->tree.files[node.file];
  const auto carved = g_mount->carved.find(node.file);
  if (carved != g_mount->carved.end()) {
    // A carved file: its bytes are the format's, read in one piece.
    if (name == "user.retriva.id") value = carve::CarvedId(carved->second);
    else if (name == "user.retriva.recoverable") value = "100";
    else if (name == "user.retriva.guessed") value = "false";
    else return false;
    return true;
  }
  const auto old = g_mount->lost.find(node.file);
  if (old != g_mount->lost.end()) {
    // An old record's file: recovered as recover --deep recovers it.
    if (name == "user.retriva.id") value = LostId(old->second);
    else if (name != "user.retriva.guessed") return false;
    else if (const auto reader = OpenOldFile(old->second)) value = reader->Guessed() ? "true" : "false";
    else value = "false";
    return true;
  }
  if (name == "user.retriva.id") {
    value = LocatorText(f, g_mount->engine);
  } else if (name == "user.retriva.recoverable") {
    if (f.recoverable < 0) return false;
    value = std::to_string(f.recoverable);
  } else if (name == "user.retriva.guessed") {
    auto reader = OpenFoundFile(*g_mount->engine, f);
    value = reader && reader->Guessed() ? "true" : "false";
  } else {
    return false;
  }
  return true;
}

int GetXattr(const char* path, const char* name, char* value, size_t size) {
  const FoundTree::Node* node = NodeOf(path);
  if (!node) return -ENOENT;
  std::string text;
  if (node->folder || !XattrValue(*node, name, text)) return -ENODATA;
  if (size == 0) return static_cast<int>(text.size());
  if (size < text.size()) return -ERANGE;
  std::memcpy(value, text.data(), text.size());
  return static_cast<int>(text.size());
}

int ListXattr(const char* path, char* list, size_t size) {
  const FoundTree::Node* node = NodeOf(path);
  if (!node) return -ENOENT;
  std::string names;
  if (!node->folder) {
    names.append("user.retriva.id").push_back('\0');
    if (g_mount->tree.files[node->file].recoverable >= 0) names.append("user.retriva.recoverable").push_back('\0');
    names.append("user.retriva.guessed").push_back('\0');
  }
  if (size == 0) return static_cast<int>(names.size());
  if (size < names.size()) return -ERANGE;
  std::memcpy(list, names.data(), names.size());
  return static_cast<int>(names.size());
}

void* Init(fuse_conn_info*, fuse_config* cfg) {
  cfg->kernel_cache = 1;
  cfg->entry_timeout = cfg->attr_timeout = 3600;
  cfg->negative_timeout = 3600;
  return nullptr;
}

// Every call that would change the file system.
int RefuseWrite() { return -EROFS; }

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.mknod = [](const char*, mode_t, dev_t) { return RefuseWrite(); };
  ops.mkdir = [](const char*, mode_t) { return RefuseWrite(); };
  ops.unlink = [](const char*) { return RefuseWrite(); };
  ops.rmdir = [](const char*) { return RefuseWrite(); };
  ops.symlink = [](const char*, const char*) { return RefuseWrite(); };
  ops.rename = [](const char*, const char*, unsigned) { return RefuseWrite(); };
  ops.link = [](const char*, const char*) { return RefuseWrite(); };
  ops.chmod = [](const char*, mode_t, fuse_file_info*) { return RefuseWrite(); };
  ops.chown = [](const char*, uid_t, gid_t, fuse_file_info*) { return RefuseWrite(); };
  ops.truncate = [](const char*, off_t, fuse_file_info*) { return RefuseWrite(); };
  ops.write = [](const char*, const char*, size_t, off_t, fuse_file_info*) { return RefuseWrite(); };
  ops.setxattr = [](const char*, const char*, const char*, size_t, int) { return RefuseWrite(); };
  ops.removexattr = [](const char*, const char*) { return RefuseWrite(); };
  ops.create = [](const char*, mode_t, fuse_file_info*) { return RefuseWrite(); };
  ops.utimens = [](const char*, const timespec*, fuse_file_info*) { return RefuseWrite(); };
  ops.fallocate = [](const char*, int, off_t, off_t, fuse_file_info*) { return RefuseWrite(); };
  return ops;
}

// Serves the tree at `mountPoint` until it is unmounted or a signal
// (Ctrl-C, SIGTERM, SIGHUP) ends the loop, which then unmounts.
int Serve(const MountArgs& args, const std::string& fsName) {
  std::string options = "ro,default_permissions,subtype=retriva,fsname=" + fsName;
  // The option list is split at commas; a name keeps none.
  for (size_t i = options.find("fsname="); i < options.size(); ++i)
    if (options[i] == ',' || options[i] == ' ' || options[i] == '\\') options[i] = '_';
  const char* argv[] = {"retriva", "-o", options.c_str()};
  fuse_args fargs = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  const fuse_operations ops = Operations();
  fuse* f = fuse_new(&fargs, &ops, sizeof ops, nullptr);
  fuse_opt_free_args(&fargs);
  if (!f) {
    Refuse("mount: FUSE could not be set up");
    return kExitRefused;
  }
  if (fuse_mount(f, args.mountPoint.c_str()) != 0) {
    fuse_destroy(f);
    Refuse("mount: " + args.mountPoint + ": could not be mounted (is /dev/fuse there, and fusermount3 installed?)");
    return kExitRefused;
  }
  fuse_session* session = fuse_get_session(f);
  if (fuse_set_signal_handlers(session) != 0) {
    fuse_unmount(f);
    fuse_destroy(f);
    Refuse("mount: the signal handlers could not be set");
    return kExitRefused;
  }
  const size_t carved = g_mount->carved.size(), old = g_mount->lost.size();
  const std::string more = (carved ? ", " + std::to_string(carved) + " carved" : std::string()) +
                           (old ? ", " + std::to_string(old) + " of an old file system" : std::string());
  std::printf("%zu deleted file(s)%s of %s mounted read-only at %s; unmount with: fusermount3 -u %s%s\n",
              g_mount->tree.files.size() - carved - old, more.c_str(), args.search.volume.volume.c_str(),
              args.mountPoint.c_str(), args.mountPoint.c_str(), args.daemon ? "" : " (or Ctrl-C)");
  std::fflush(stdout);
  fuse_daemonize(args.daemon ? 0 : 1);
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 8);
  const int loop = fuse_loop_mt(f, config);
  fuse_loop_cfg_destroy(config);
  fuse_remove_signal_handlers(session);
  fuse_unmount(f);
  fuse_destroy(f);
  return loop == 0 || loop == SIGINT || loop == SIGTERM || loop == SIGHUP ? kExitOk : kExitSomeFailed;
}

// --deep: the carved files join the tree where the file they are names
// them (a deleted entry or an old record, at the size the format gives),
// else under $Carved/<ext>/ by the cluster they start at; then the old
// records' files that no carved file is.
void AddCarvedFiles(const MountArgs& args, const DeepPass& deep, MountState& state) {
  std::unordered_map<uint64_t, const lost::LostFile*> oldByCluster;
  for (const lost::LostFile& f : deep.lost)
    if (f.firstCluster != 0 && f.source != lost::LostSource::NtfsIndex) oldByCluster.emplace(f.firstCluster, &f);
  std::unordered_set<const lost::LostFile*> named;
  state.lostClaims = lost::LostClaims(deep.lost);
  auto add = [&](const carve::CarvedFile& c, bool ofOldFile) {
    if (!PassesSizeFilters(c, args.search.filters)) return;
    FoundFile file;
    const FoundFile* entry = deep.EntryOf(c);
    auto old = ofOldFile ? oldByCluster.find(c.cluster) : oldByCluster.end();
    // Named by its old record only where the record's size is the format's.
    if (old != oldByCluster.end() && old->second->size != c.length) old = oldByCluster.end();
    uint32_t node = 0;
    if (entry) {
      file = *entry;
    } else if (old != oldByCluster.end()) {
      file.name = old->second->name;
      file.folder = old->second->folder + u"\\";
      file.timeKind = FoundTimeKind::FileTimeUtc;
      file.timeValue = old->second->modified;
    } else {
      file.name = FromUtf8(carve::CarvedName(c));
    }
    file.size = c.length;
    file.recoverable = 100;
    if (old != oldByCluster.end()) named.insert(old->second);
    if (entry || old != oldByCluster.end()) node = state.tree.Add(file);
    else node = state.tree.AddAt(std::string("$Carved/") + c.extension, file);
    state.carved.emplace(state.tree.nodes[node].file, c);
  };
  for (const carve::CarvedFile& c : deep.carved) add(c, false);
  for (const carve::CarvedFile& c : deep.ofOldFiles) add(c, true);
  // The old files no carved file names, under their names: their bytes
  // read as recover --deep writes them. A name from an old folder index
  // without its record has no bytes to read.
  for (const lost::LostFile& f : deep.lost) {
    if (f.directory || f.source == lost::LostSource::NtfsIndex || named.count(&f)) continue;
    if (!args.search.filters.PassesSize(f.size)) continue;
    FoundFile file;
    file.name = f.name;
    file.folder = f.folder + u"\\";
    file.timeKind = FoundTimeKind::FileTimeUtc;
    file.timeValue = f.modified;
    file.size = f.size;
    state.lost.emplace(state.tree.nodes[state.tree.Add(file)].file, f);
  }
}

}  // namespace

int RunMount(const MountArgs& args) {
  Engine engine;
  auto v = OpenForEngine(args.search.volume, engine, args.search.deep);
  if (!v) return kExitRefused;
  std::string why;
  if (v->source && DestinationIsOnVolume(args.mountPoint, ToUtf8(v->source->Describe()), why)) {
    Refuse(args.mountPoint + ": " + why + "; the mount point must be on another volume");
    return kExitRefused;
  }
  MountState state;
  state.engine = engine;
  state.source = v->source.get();
  state.uid = getuid();
  state.gid = getgid();
  clock_gettime(CLOCK_REALTIME, &state.mounted);
  std::string refusal;
  std::vector<FoundFile> found;
  if (engine && !SearchFound(args.search, engine, *v, true, refusal, [&](const FoundFile& f) {
        if (args.search.deep) found.push_back(f);
        else state.tree.Add(f);
      })) {
    Refuse(args.search.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  DeepPass deep;
  if (args.search.deep) {
    if (!RunDeepPass(args.search, *v, engine, found, true, deep)) return kExitRefused;
    if (deep.status == carve::ScanStatus::Stopped) {
      std::fprintf(stderr, "retriva: interrupted\n");
      return kExitSomeFailed;
    }
    if (deep.status == carve::ScanStatus::ReadFailed)
      std::fprintf(stderr, "retriva: %s: deep scan stopped: %s\n", v->display.c_str(), deep.error.c_str());
    for (const FoundFile& f : deep.KeptAsListed(found)) state.tree.Add(f);
    AddCarvedFiles(args, deep, state);
  }
  g_mount = &state;
  const int code = Serve(args, "retriva:" + args.search.volume.volume);
  g_mount = nullptr;
  if (engine) engine->release();
  return code;
}

#endif

}  // namespace rv::cli
