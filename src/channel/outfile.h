// Output files of a recovery: the destination folder check (created with
// all its parents when missing), and new files that never replace an
// existing one, named "<folder>\<name><suffix>" with the suffix ";0", ";1",
// ... on collisions.
#pragma once
#include <cstdint>
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
  fs::File file_;
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

}  // namespace rv
