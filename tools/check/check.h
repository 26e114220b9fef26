#pragma once

#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/settings.h"

// `vorn check`: whether a playlist is sound, entry by entry, and optionally its streams.
namespace vorn::app {

struct CheckOptions {
  // A file path or an http(s)/file address, already resolved from the settings by the caller.
  std::string playlist;
  bool probe = false;     // open every stream and compare its real length with the listed one
  bool json = false;      // the report as one JSON document
  bool progress = false;  // a progress line on `err` while probing (the caller sets it on a tty)
  std::string caFile;     // an extra trusted authority for https addresses; empty for none
  double fetchTimeout = 10.0;
};

// Prints the report on `out`. Returns the exit status: 0 sound, 1 warnings (a length mismatch
// over 2 s, an unreachable stream), 2 playlist unusable.
int runCheck(const CheckOptions& options, std::ostream& out, std::ostream& err);

// `vorn check`'s command line: what to run, or the exit status when there is nothing to run. The
// progress line is left off; the caller decides it.
std::variant<CheckOptions, int> parseCheckCommand(const std::vector<std::string>& args,
                                                  const SettingsEnvironment& environment,
                                                  std::ostream& out, std::ostream& err);

}  // namespace vorn::app
