// Output files of a recovery: the destination folder check (created with
// all its parents when missing), and new files created without ever
// replacing an existing one, named "<folder>\<name><suffix>" with the suffix
// ";0", ";1", ... on collisions.
#pragma once
#include <cstdint>

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
// Creates every missing component of `path` from the second on.
bool CreateFolderPath(TextView path);
// Output creation: 74 with `file` open and `outputName` set, or 78.
uint32_t CreateOutputFile(fs::File& file, TextView folder, TextView fileName, Text& outputName);

// The name a recovered file is written under: the on-disk name made safe
// for the destination. Separators, ":", wildcard and quote characters,
// control characters and unpaired surrogates become "_"; "." and ".." and
// names that end in a dot or blank are changed so they name a file inside
// the folder; reserved device names (CON, NUL, COM1, ...) get a "_" prefix;
// over-long names are shortened, keeping the extension. Never empty.
Text SafeOutputName(TextView onDiskName);

}  // namespace rv
