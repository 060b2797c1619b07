// Output files of a recovery: the destination folder check (created with
// all its parents when missing), and new files that never replace an
// existing one, named "<folder>\<name><suffix>" with the suffix ";0", ";1",
// ... on collisions.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "channel/messages.h"
#include "platform/files.h"
#include "platform/types.h"

namespace rv {

class CommitBatch;

constexpr uint32_t kOutputCreated = 74;
constexpr uint32_t kOutputNotCreated = 78;
constexpr size_t kPathUnits = 260;
// Longest destination or output path accepted: the extended-length limit.
constexpr size_t kMaxPathUnits = 32767;
// A folder kept from the volume leaves room below this limit for the
// longest file name (255 units and a separator).
constexpr size_t kMaxKeptFolderUnits = kMaxPathUnits - 257;

// The destination of a recovery, opened once. Every folder below it is
// reached from its handle one level at a time, never through a link (see
// fs::Folder), so nothing is written outside it whatever happens to its
// folders meanwhile. The folders of the path reached last stay open: the
// next one, mostly beside or below it, costs a step for each level it does
// not share, so making a tree again takes time linear in its size.
class OutputDestination {
 public:
  // Opens the destination `path` (links on the way to it followed once),
  // creating it with its missing parents first (see CreateFolderPath);
  // `made` receives the folders created, outermost first.
  bool Open(TextView path, std::vector<Text>* made = nullptr);
  bool IsOpen() const { return root_ != nullptr; }
  const Text& Path() const;
  // The open folder that `folder` names: the destination itself, or a
  // folder below it that exists. Null, with `why`, when it is not there,
  // not a folder any more, or outside the destination.
  std::shared_ptr<const fs::Folder> Reach(TextView folder, NotRecoveredReason& why);
  // The volume's folder `volumeFolder` ("\a\b\") made again below the
  // destination where missing: each name made safe as a file name is, so
  // no name ("..", "a\b", "C:") reaches outside, and a name a file
  // already holds is counted ("__;1"). Its path goes into `folder`.
  std::shared_ptr<const fs::Folder> MakeKeptFolder(TextView volumeFolder, Text& folder, NotRecoveredReason& why);
  // Closes every folder (the files still open keep theirs).
  void Close();

 private:
  struct Level {
    Text asked;  // the volume's name of a kept folder; empty when reached by name
    Text name;   // the folder's name in its parent
    std::shared_ptr<const fs::Folder> folder;  // null once let go (see Push)
  };
  std::shared_ptr<const fs::Folder> Descend(const std::vector<Text>& names, bool kept, NotRecoveredReason& why);
  std::shared_ptr<const fs::Folder> ReopenShared(size_t levels, NotRecoveredReason& why);
  std::shared_ptr<const fs::Folder> MakeKeptLevel(const fs::Folder& parent, TextView asked, NotRecoveredReason& why);
  void Push(Text asked, std::shared_ptr<const fs::Folder> folder);
  std::shared_ptr<const fs::Folder> root_;
  std::vector<Level> chain_;  // below the root, outermost first
};

// Reads the destination folder at the start of an undelete payload (one
// trailing "\" removed), makes sure it exists as a folder, and returns the
// offset of the first file record. False refuses the whole request. With
// a destination set in the output options, the folder must be that one or
// a folder below it, reached through its handle; nothing is made by path.
bool CheckDestination(const uint8_t* payload, uint32_t length, Text& folder, uint32_t& firstRecordOffset);
// Creates every missing component of `path` from the second on. Names the
// destination's file system cannot hold refuse the path before anything is
// created; a component that cannot be created removes the ones this call
// made, so a refused destination leaves nothing behind. `made`, when given,
// receives the folders created, outermost first.
bool CreateFolderPath(TextView path, std::vector<Text>* made = nullptr);
// A recovered file on its way to the destination. It is written under a
// temporary name in the destination folder and takes its final name
// ("<folder>\<safe name>", then ";0", ";1", ... on collisions, never
// replacing a file) only when its bytes are flushed to the destination.
// Whatever ends it before that (a read or write error, a full disk, a stop)
// removes the partial file, so nothing half-written looks recovered.
// Sees the bytes of each output file as they are written, one file at a
// time as the engines write them: a report hashes them on the way, with no
// read back. Holes are never written; the observer sees a gap (and a
// SetSize past the last write) and takes it as zeros.
class OutputObserver {
 public:
  virtual ~OutputObserver() = default;
  virtual void Began() = 0;
  virtual void Wrote(uint64_t offset, const void* data, size_t length) = 0;
  virtual void Sized(uint64_t size) = 0;
  // The file is complete under `outputName` (a promised name in a batch).
  virtual void Committed(const Text& outputName) = 0;
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // 74 with the file open under its temporary name, or 78.
  uint32_t Create(TextView folder, TextView fileName);
  bool WriteAt(uint64_t offset, const void* data, uint32_t length);
  // The output's length; stretches never written stay holes where the
  // destination's file system keeps them.
  bool SetSize(uint64_t size);
  // The last-modification time (FILETIME) the output gets; 0 leaves it.
  void SetModificationTime(uint64_t fileTime) { modificationTime_ = fileTime; }
  // Flushes, sets the time, closes and gives the final name: 74 with
  // `outputName` set, or 78 with the partial file removed.
  uint32_t Commit(Text& outputName);
  // Removes the partial file (nothing once committed).
  void Discard() noexcept;
  // True when the last failure was a full destination (disk or quota).
  bool DestinationFull() const { return full_; }
  // Where the file is while it is written.
  const Text& PartialName() const { return partial_; }
  // Every byte written so far is zero, and the file is not empty: what a
  // device that discarded the freed clusters (TRIM) gives back.
  bool Zeroed() const { return size_ != 0 && !nonZero_; }

 private:
  void NoteFailure(NotRecoveredReason reason);
  void NoteWritten(uint64_t offset, const void* data, uint32_t length);
  uint32_t CommitToStream(Text& outputName);
  uint32_t CommitFile(Text& outputName);
  uint32_t CommitToBatch(CommitBatch& batch, const Text& safe, bool counterBeforeExtension, Text& outputName);
  fs::File file_;
  std::shared_ptr<const fs::Folder> folder_;
  uint64_t streamed_ = 0;  // bytes given to the stream so far
  bool streaming_ = false;
  Text fileName_, partial_, partialLeaf_;
  uint64_t modificationTime_ = 0;
  uint64_t size_ = 0;     // the output's length so far
  bool nonZero_ = false;  // some byte written was not zero
  bool full_ = false;
  OutputObserver* observer_ = nullptr;  // of the options when the file was created
};

// The name a recovered file is written under: the on-disk name made safe
// for the destination. Separators, ":", wildcard and quote characters,
// control characters and unpaired surrogates become "_"; "." and ".." and
// names that end in a dot or blank are changed so they name a file inside
// the folder; reserved device names (CON, NUL, COM1, ...) get a "_" prefix;
// over-long names are shortened, keeping the extension. Never empty.
Text SafeOutputName(TextView onDiskName);

// The folder a file from the volume's folder `volumeFolder` ("\a\b\") is
// recovered into when the volume's folders are kept, made under
// `destination` where missing: each folder name is made safe as a file
// name is, so no name ("..", "a\b", "C:") reaches outside `destination`,
// and a name a file already holds is counted ("__;1"). False when a folder
// could not be made.
bool CreateKeptFolder(TextView destination, TextView volumeFolder, Text& folder);

// A name counted before its extension ("x;1.txt"; ".profile;1"), so the
// file still opens with its program.
Text CountedBeforeExtension(TextView safeName, uint32_t counter);

// Gives the complete file `partial` of `folder` its name there without
// replacing anything: `safe`, then counted; `named` is the name's path.
// False when no name could be taken.
bool NameWithoutReplacing(const fs::Folder& folder, TextView partial, TextView safe, bool counterBeforeExtension,
                          Text& named);
// The same from counter `next` on (0 is the name itself); `next` becomes the
// counter after the one taken.
bool NameWithoutReplacing(const fs::Folder& folder, TextView partial, TextView safe, bool counterBeforeExtension,
                          Text& named, uint32_t& next);

// Per folder and name, the counter after the last one a recovery took: a
// thousand files of one name are not each tried against every name before
// theirs.
class NameCounters {
 public:
  uint32_t& Next(TextView folder, TextView safeName, bool counterBeforeExtension);
  void Clear() { next_.clear(); }

 private:
  std::map<Text, uint32_t> next_;
};

// How one front end's recoveries differ from the window's default (a
// counted ";N" suffix after the name, every file flushed on its own). The
// options hold for the life of the scope that set them, on every thread.
struct OutputOptions {
  // Collisions counted before the extension ("x;1.txt") instead of after
  // the name ("x.txt;0").
  bool counterBeforeExtension = false;
  // Files are closed unflushed under their temporary names and named once
  // the batch has flushed them all at once (see CommitBatch).
  CommitBatch* batch = nullptr;
  // The file's bytes go, in order, to this sink instead of the destination
  // (recovering one file into a pipe). Holes are sent as zeros; a write
  // that goes back before what was sent fails the file.
  std::function<bool(const void* data, size_t length)> stream;
  // Sees every file's bytes as they are written (see OutputObserver).
  OutputObserver* observer = nullptr;
  // The destination, opened by the front end: every output folder is
  // reached through it. Without one, each request opens its own.
  OutputDestination* destination = nullptr;
  // Files named on their own (no batch) start counting where the last file
  // of their name stopped.
  NameCounters* counters = nullptr;
};
OutputOptions CurrentOutputOptions();
class ScopedOutputOptions {
 public:
  explicit ScopedOutputOptions(OutputOptions options);
  ~ScopedOutputOptions();
  ScopedOutputOptions(const ScopedOutputOptions&) = delete;
  ScopedOutputOptions& operator=(const ScopedOutputOptions&) = delete;

 private:
  OutputOptions previous_;
};

// Many recovered files made durable with one flush of the destination's
// file system rather than one flush per file. A file committed into the
// batch is closed under its temporary name and promised its final name
// (not taken on disk nor promised to another file of the batch); Finish
// flushes the file system once, and only then gives each file its final
// name, so a name never shows bytes that are not on the device. Whatever
// Finish does not name is removed, by Finish or by the destructor. A batch
// flushes and names what it holds every kFilesPerFlush files, and every
// kFoldersPerFlush folders it holds open, so its memory and open handles
// stay bounded however many files a recovery writes.
class CommitBatch {
 public:
  static constexpr size_t kFilesPerFlush = 8192;
  static constexpr size_t kFoldersPerFlush = 256;
  explicit CommitBatch(size_t filesPerFlush = kFilesPerFlush);
  ~CommitBatch();
  CommitBatch(const CommitBatch&) = delete;
  CommitBatch& operator=(const CommitBatch&) = delete;

  // The name the file will have, as the name of a file of `folder`; empty
  // when no free name was found.
  Text Promise(const fs::Folder& folder, TextView safeName, bool counterBeforeExtension);
  void Add(Text partial, Text promised, std::shared_ptr<const fs::Folder> folder, TextView safeName,
           bool counterBeforeExtension);
  // Flushes and names every file not yet named. Returns the files, of all
  // the batch held, that did not get their promised name: the name another
  // one took instead (another writer took the promised one meanwhile), or
  // an empty name when the file was not kept, with `full` set when the
  // flush found the destination full and `reason` saying why.
  struct Named {
    Text final;
    bool full = false;
    NotRecoveredReason reason = NotRecoveredReason::Unknown;
  };
  std::map<Text, Named> Finish();
  size_t Pending() const { return pending_.size(); }

 private:
  struct Waiting {
    Text partial, promised, safeName;  // partial: its name in the folder
    std::shared_ptr<const fs::Folder> folder;
    bool counterBeforeExtension;
  };
  size_t filesPerFlush_;
  size_t folders_ = 0;  // folders the pending files hold open, at most
  void FlushAndName();
  bool FlushPendingFileSystems();
  std::vector<Waiting> pending_;
  std::map<Text, bool> promised_;   // names promised to files not yet named
  NameCounters nextCounter_;  // after the last one promised
  std::map<Text, Named> changed_;   // files that did not get their promised name
};

}  // namespace rv
