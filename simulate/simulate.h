#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vorn::app {

// `vorn simulate`: runs the whole application on the simulated platform in virtual time and
// prints every system-log record (and, with --trace, what the viewer sees and the platform does)
// with the virtual time of day. `args` are the words after "simulate". Returns the exit status:
// 0 on success, 2 for bad options or unreadable files (one line on `err`).
int runSimulateCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vorn::app
