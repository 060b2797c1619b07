// The subcommands of the retriva command.
#pragma once
#include <string>
#include <vector>

#include "cli/volume_arg.h"

namespace rv::cli {

// Exit codes shared by every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitRefused = 2;

struct SearchArgs {
  VolumeArgs volume;
  std::string pattern;
  std::string folder;
  bool noSubfolders = false;
  bool json = false;
};

struct RecoverArgs {
  SearchArgs search;
  std::string destination;
  std::vector<std::string> ids;
};

int RunInfo(const VolumeArgs& args, bool json);
int RunSearch(const SearchArgs& args);
int RunRecover(const RecoverArgs& args);

// One-line refusal on stderr, naming the volume.
void Refuse(const std::string& reason);

}  // namespace rv::cli
