#include <CLI/CLI.hpp>

#include "cli/command_line.h"
#include "tools/check/check.h"

namespace vorn::app {

std::variant<CheckOptions, int> parseCheckCommand(const std::vector<std::string>& args,
                                                  const SettingsEnvironment& environment,
                                                  std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Says for each entry of a playlist whether the channel can use it and why not, and the\n"
      "cycle's length; with --probe, opens every stream.\n",
      "vorn check");
  useHelpFormat(app);
  std::string playlist;
  bool probe = false;
  bool json = false;
  addPlaylistOption(app, playlist);
  app.add_flag("--probe", probe,
               "open each stream: reachable or not, its variants, its real duration against the "
               "listed one")
      ->disable_flag_override();
  app.add_flag("--json", json, "the report as one JSON document")->disable_flag_override();
  SettingsOptions settingsOptions;
  settingsOptions.addTo(app, kFetchSettings);
  app.set_help_flag("-h,--help", "show this help");
  app.footer(
      "Exit status: 0 when sound, 1 with warnings (a length mismatch over 2 s, an unreachable\n"
      "stream), 2 when the playlist is unusable or an option is bad.\n");

  int status = 0;
  if (!parseCommand(app, "check", args, out, err, status)) {
    return status;
  }
  const auto settings = loadCommandSettings(settingsOptions, environment, "check", err);
  if (!settings) {
    return 2;
  }
  CheckOptions options;
  options.playlist = playlist.empty() ? settings->playlistUrl : playlist;
  options.probe = probe;
  options.json = json;
  options.caFile = settings->caFile.value_or("");
  options.fetchTimeout = settings->fetchTimeout;
  return options;
}

}  // namespace vorn::app
