// The deep scan's files as a recovery report lists them, for both front
// ends: a carved file and a file of an old file system's records, each
// with the id `retriva recover --id` takes.
#pragma once
#include <string>
#include <string_view>

#include "carve/scan.h"
#include "channel/report.h"
#include "lost/lost_file.h"
#include "lost/lost_recover.h"

namespace rv {

// The id of a file of an old file system: "old:<byte offset of its record>".
constexpr std::string_view kLostIdPrefix = "old:";
std::string LostId(const lost::LostFile& f);

// A carved file: the times of the deleted file it is (`entry`, when the
// search listed one), and its one run from its first byte, as written.
ReportedFile CarvedReportRow(const carve::CarvedFile& f, const FoundFile* entry, const std::string& source,
                             const std::string& id, uint32_t code);
// An old record's file, its bytes where its recovery read them.
ReportedFile LostReportRow(const lost::LostFile& f, const std::string& source, const std::string& id,
                           const lost::LostRecovery& r, const VolumePlacement& placement);

}  // namespace rv
