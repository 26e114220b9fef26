#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "cli/settings.h"

// The command lines of the `vorn` commands read against the operator's settings, apart from what
// the commands then do: each gives what to run, or the exit status when there is nothing to run
// (help, version or the settings printed on `out`; bad options or settings as one line on `err`,
// status 2). Nothing here touches the screen, the network or the process. `vorn` itself is here;
// each operator tool parses its own with the frame below.
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

// The frame every command's parser shares. parseCommand parses `args` with `app`: false when
// there is nothing further to do, having printed the help or an error (then `status` is set).
bool parseCommand(CLI::App& app, const std::string& command, const std::vector<std::string>& args,
                  std::ostream& out, std::ostream& err, int& status);
// The settings `options` resolve to, or nothing after one line on `err`.
std::optional<Settings> loadCommandSettings(const SettingsOptions& options,
                                            const SettingsEnvironment& environment,
                                            const std::string& command, std::ostream& err);
// The settings an operator's command needs to read the playlist: where it is and how to fetch it.
inline const std::set<std::string> kFetchSettings = {"playlist_url", "ca_file", "fetch_timeout"};
// --playlist FILE|URL: the playlist the operator's commands read, when not the channel's own.
void addPlaylistOption(CLI::App& app, std::string& playlist);

}  // namespace vorn::app
