// `vorn check`: its command line (check_options.cpp) run by the engine in check.cpp.
#include <unistd.h>

#include "cli/commands.h"
#include "tools/check/check.h"

namespace vorn::app {

int runCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto parsed = parseCheckCommand(args, SettingsEnvironment::ofThisProcess(), out, err);
  if (const int* status = std::get_if<int>(&parsed)) {
    return *status;
  }
  CheckOptions& options = std::get<CheckOptions>(parsed);
  // The progress line is for a person watching, not for a pipe or a log.
  options.progress = ::isatty(STDERR_FILENO) == 1;
  return runCheck(options, out, err);
}

}  // namespace vorn::app
