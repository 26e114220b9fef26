// `vorn schedule` and `vorn check`: their command lines (command_line.cpp) run by the engines in
// schedule.cpp and check.cpp.
#include <unistd.h>

#include "app/command_line.h"
#include "app/commands.h"

namespace vorn::app {

int runScheduleCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto parsed = parseScheduleCommand(args, SettingsEnvironment::ofThisProcess(), out, err);
  if (const int* status = std::get_if<int>(&parsed)) {
    return *status;
  }
  return runSchedule(std::get<ScheduleOptions>(parsed), out, err);
}

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
