// Recovering a carved file: its bytes copied from the volume into a new
// file of the destination, under a temporary name until it is flushed (the
// output options in force decide how: one flush per file, a batch, or a
// stream), never replacing a file.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "carve/scan.h"
#include "channel/file_reader.h"
#include "platform/types.h"
#include "volume/source.h"

namespace rv::carve {

enum class CarvedWrite { Written, NotCreated, ReadFailed, WriteFailed, DestinationFull, Stopped };

// Writes `file` into `folder` as `name` (made safe here). `output` receives
// the name it has, or is promised by the batch in force; a
// `modificationTime` (FILETIME, UTC) other than 0 is the file's.
CarvedWrite WriteCarvedFile(VolumeSource& source, const CarvedFile& file, TextView folder, TextView name,
                            Text& output, const std::atomic<bool>* stop = nullptr, uint64_t modificationTime = 0);

// A carved file's bytes read in place, as WriteCarvedFile would write them
// (a file manager's view of a mount). Reads go to `source`, which must
// outlive the reader; callers that share it take the engine lock.
std::unique_ptr<FoundFileReader> OpenCarvedReader(VolumeSource& source, const CarvedFile& file);

}  // namespace rv::carve
