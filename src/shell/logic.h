// The window program's decisions that need no window: the start switches,
// the formatted titles, the help file's path, the service session's
// bookkeeping. Built on every platform so the tests reach them natively.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "channel/destination.h"
#include "platform/types.h"

namespace rv::shell {

// ---- Command line ------------------------------------------------------------
// The line is scanned for its first "-"; the rest of the line from there
// must equal a switch exactly (case-sensitive, nothing after it). A "-"
// earlier on the line, in the program's path for instance, makes both
// comparisons fail.
struct StartSwitches {
  bool propertiesOnly = false;
  bool emptyBinOnly = false;
  bool Any() const { return propertiesOnly || emptyBinOnly; }
};
StartSwitches MatchStartSwitches(TextView commandLine);

// ---- Texts of the resource library ---------------------------------------------
// The argument kinds the library's format strings take: %s a text, %c one
// character, %d a signed and %I64u an unsigned 64-bit number; %% is a
// percent sign. A missing argument leaves its place empty; an unknown
// directive is copied as it stands.
using FormatArg = std::variant<TextView, char16_t, int64_t, uint64_t>;
Text FormatLibraryText(TextView format, const std::vector<FormatArg>& args);

// Window titles: string 123 with the product title and the computer name;
// string 124 with the search title, the drive letter and the machine name.
Text FormatMainTitle(TextView format123, TextView productTitle, TextView computer);
Text FormatSearchTitle(TextView format124, TextView searchTitle, char16_t driveLetter, TextView machine);

// ---- Help ------------------------------------------------------------------------
constexpr char16_t kHelpFileName[] = u"quorvex.chm";
constexpr char16_t kStartTopic[] = u"::/Quorvex_standalone.htm";
// The help path for the program at `programPath`: the folder of the program
// file, the help file and the topic. Topics may name their file in front
// ("retriva.chm::/Page.htm"): the program has one help file, so the page is
// always looked up in it. Empty when the program file is not named
// QUORVEX.EXE (in any case), so a renamed program opens no help.
std::optional<Text> BuildHelpPath(TextView programPath, TextView topic);

// ---- Service session -------------------------------------------------------------
// A machine the two-pane view knows by name. Nothing in this program
// connects one; the record only carries what the views and the recovery
// destination read.
struct MachineRecord {
  Text name;
  bool connected = false;
  Text destination;    // accepted recovery destination, "\\?\" form
  Text alternatePath;  // the destination as typed, ending in "\"
  bool anyDestinationAllowed = false;
  // The machine's volumes as its service lists them; the volume offered
  // first by the alternate-location dialog (-1: none chosen yet).
  std::vector<DestinationVolume> volumes;
  int selectedVolume = -1;
};

// The session through which the two-pane view would reach a recovery
// service. This program has no such service: a notification request does
// nothing and reports failure, a query request does nothing and reports
// success, and callers carry on as those answers direct.
class ServiceSession {
 public:
  static constexpr uint32_t kNotificationRequests[] = {513, 518, 521, 526, 530, 773, 774, 775, 1335, 1532};
  static constexpr uint32_t kQueryRequests[] = {523, 524, 532, 534, 535, 536, 537};

  bool starting = true;
  bool option = false;  // toggled by the View menu
  void* resourceLibrary = nullptr;
  Text userName;
  Text computerName;

  // The record of that name, compared without regard to case; made when
  // missing. The current record becomes it.
  MachineRecord& SelectMachine(TextView name);
  MachineRecord* FindMachine(TextView name);
  MachineRecord* Current() { return current_; }
  size_t MachineCount() const { return machines_.size(); }

  // Returns whether the request "succeeded"; nothing is ever done.
  bool Request(uint32_t code, const void* payload, uint32_t length);

 private:
  std::vector<std::unique_ptr<MachineRecord>> machines_;
  MachineRecord* current_ = nullptr;
};

// Case-insensitive equality for the ASCII and Latin-1 letters a machine or
// volume name holds.
bool EqualsIgnoringCase(TextView a, TextView b);

}  // namespace rv::shell
