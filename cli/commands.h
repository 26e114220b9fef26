#pragma once

#include <ostream>
#include <string>
#include <vector>

// The `vorn` commands. Each takes the words after its name and returns the process's exit status:
// 2 for bad options or settings (one line on `err`).
namespace vorn::app {

// `vorn [OPTIONS]`: the channel on this machine's screen; also --print-config, --help, --version.
// 1 when it cannot start (no display where one is needed, the player refusing an option).
int runChannelCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `vorn schedule [--playlist FILE|URL] [--from ISO-TIME] [--hours N] [--format text|json|xmltv]`.
int runScheduleCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `vorn check [--playlist FILE|URL] [--probe] [--json]`.
int runCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `vorn status [--json]`: 0 healthy, 1 degraded, 2 not running.
int runStatusCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vorn::app
