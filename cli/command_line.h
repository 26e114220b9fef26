#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/settings.h"
#include "tools/check/check.h"
#include "tools/schedule/schedule.h"

// The command lines of `vorn`, `vorn schedule` and `vorn check` read against the operator's
// settings, apart from what the commands then do: each gives what to run, or the exit status when
// there is nothing to run (help, version or the settings printed on `out`; bad options or settings
// as one line on `err`, status 2). Nothing here touches the screen, the network or the process.
namespace vorn::app {

// What `vorn` asks of the machine for the options that only report: the lines --version prints
// after the program's own version (the build and the libraries), and --list-audio-devices, which
// returns the exit status.
struct ChannelCommandHooks {
  std::function<std::string()> versions;
  std::function<int(std::ostream& out, std::ostream& err)> listAudioDevices;
};

// `vorn`: the settings to start the channel with. `failure` leads every line on `err`.
std::variant<Settings, int> parseChannelCommand(const std::vector<std::string>& args,
                                                const SettingsEnvironment& environment,
                                                const std::string& failure, std::ostream& out,
                                                std::ostream& err,
                                                const ChannelCommandHooks& hooks = {});

std::variant<ScheduleOptions, int> parseScheduleCommand(const std::vector<std::string>& args,
                                                        const SettingsEnvironment& environment,
                                                        std::ostream& out, std::ostream& err);

// The progress line is left off; the caller decides it.
std::variant<CheckOptions, int> parseCheckCommand(const std::vector<std::string>& args,
                                                  const SettingsEnvironment& environment,
                                                  std::ostream& out, std::ostream& err);

}  // namespace vorn::app
