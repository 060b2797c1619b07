// Shared helpers for the tests: the unpacked test volumes and their
// manifest, and an engine run that records every posted message.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "channel/messages.h"
#include "platform/types.h"
#include "volume/source.h"

namespace rv::test {

// Folder holding the unpacked images, originals/ and manifest.json.
std::string ImagesDir();
// Path of one unpacked image; empty (and the test should skip) if missing.
std::string ImagePath(const std::string& name);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

struct Posted {
  uint32_t id;
  std::vector<uint8_t> payload;
};

// Installs a callback sink for its lifetime and records every message.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  std::vector<Posted> messages;
  std::vector<uint32_t> Ids() const;
  size_t Count(uint32_t id) const;

 private:
  CallbackSink sink_;
};

// A temporary folder removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // The folder in the engines' "\" form.
  Text EnginePath() const;

 private:
  std::string path_;
};

}  // namespace rv::test
