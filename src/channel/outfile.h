// Output files of a recovery: the destination folder check (created with
// all its parents when missing), and new files that never replace an
// existing one, named "<folder>\<name><suffix>" with the suffix ";0", ";1",
// ... on collisions.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/files.h"
#include "platform/types.h"

namespace rv {

constexpr uint32_t kOutputCreated = 74;
constexpr uint32_t kOutputNotCreated = 78;
constexpr size_t kPathUnits = 260;
// Longest destination or output path accepted: the extended-length limit.
constexpr size_t kMaxPathUnits = 32767;

// Reads the destination folder at the start of an undelete payload (one
// trailing "\" removed), makes sure it exists as a folder, and returns the
// offset of the first file record. False refuses the whole request.
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

 private:
  void NoteFailure();
  uint32_t CommitToStream(Text& outputName);
  fs::File file_;
  uint64_t streamed_ = 0;  // bytes given to the stream so far
  bool streaming_ = false;
  Text folder_, fileName_, partial_;
  uint64_t modificationTime_ = 0;
  bool full_ = false;
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

class CommitBatch;

// Gives the complete file `partial` its name in `folder` without replacing
// anything: `safe`, then counted. False when no name could be taken.
bool NameWithoutReplacing(const Text& partial, TextView folder, TextView safe, bool counterBeforeExtension,
                          Text& named);
// The same from counter `next` on (0 is the name itself); `next` becomes the
// counter after the one taken.
bool NameWithoutReplacing(const Text& partial, TextView folder, TextView safe, bool counterBeforeExtension,
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
  // Files named on their own (no batch) start counting where the last file
  // of their name stopped.
  NameCounters* counters = nullptr;
};
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
// flushes and names what it holds every kFilesPerFlush files as well, so
// its memory stays bounded however many files a recovery writes.
class CommitBatch {
 public:
  static constexpr size_t kFilesPerFlush = 8192;
  explicit CommitBatch(TextView destination, size_t filesPerFlush = kFilesPerFlush);
  ~CommitBatch();
  CommitBatch(const CommitBatch&) = delete;
  CommitBatch& operator=(const CommitBatch&) = delete;

  // The name the file will have; empty when no free name was found.
  Text Promise(TextView folder, TextView safeName, bool counterBeforeExtension);
  void Add(Text partial, Text promised, TextView folder, TextView safeName, bool counterBeforeExtension);
  // Flushes and names every file not yet named. Returns the files, of all
  // the batch held, that did not get their promised name: the name another
  // one took instead (another writer took the promised one meanwhile), or
  // an empty name when the file was not kept, with `full` set when the
  // flush found the destination full.
  struct Named {
    Text final;
    bool full = false;
  };
  std::map<Text, Named> Finish();
  size_t Pending() const { return pending_.size(); }

 private:
  struct Waiting {
    Text partial, promised, folder, safeName;
    bool counterBeforeExtension;
  };
  Text destination_;
  size_t filesPerFlush_;
  void FlushAndName();
  std::vector<Waiting> pending_;
  std::map<Text, bool> promised_;   // names promised to files not yet named
  NameCounters nextCounter_;  // after the last one promised
  std::map<Text, Named> changed_;   // files that did not get their promised name
};

}  // namespace rv
