// `vorn schedule`: its command line (schedule_options.cpp) run by the engine in schedule.cpp.
#include "cli/commands.h"
#include "tools/schedule/schedule.h"

namespace vorn::app {

int runScheduleCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto parsed = parseScheduleCommand(args, SettingsEnvironment::ofThisProcess(), out, err);
  if (const int* status = std::get_if<int>(&parsed)) {
    return *status;
  }
  return runSchedule(std::get<ScheduleOptions>(parsed), out, err);
}

}  // namespace vorn::app
