#include <CLI/CLI.hpp>

#include "cli/command_line.h"
#include "tools/schedule/schedule.h"

namespace vorn::app {

std::variant<ScheduleOptions, int> parseScheduleCommand(const std::vector<std::string>& args,
                                                        const SettingsEnvironment& environment,
                                                        std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Prints the programme as the channel will play it: each slot's start and end, its\n"
      "description, its address and its play index.\n",
      "vorn schedule");
  useHelpFormat(app);
  std::string playlist;
  std::string from;
  double hours = 24.0;
  std::string format = "text";
  addPlaylistOption(app, playlist);
  app.add_option("--from", from, "the first instant shown, ISO 8601 (default: now)")
      ->type_name("ISO-TIME");
  app.add_option("--hours", hours, "how many hours to show (default 24)")
      ->type_name("N")
      ->check(CLI::Range(0.0, 24.0 * 366.0).description(""));
  app.add_option("--format", format, "text, json or xmltv (default text)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "json", "xmltv"}).description(""));
  SettingsOptions settingsOptions;
  auto scheduleSettings = kFetchSettings;
  scheduleSettings.insert({"channel_id", "channel_name", "channel_icon", "guide_language"});
  settingsOptions.addTo(app, scheduleSettings);
  app.set_help_flag("-h,--help", "show this help");
  app.footer(
      "Exit status: 0, or 2 when the playlist cannot be read or yields nothing playable, or an\n"
      "option is bad.\n");

  int status = 0;
  if (!parseCommand(app, "schedule", args, out, err, status)) {
    return status;
  }
  if (!(hours > 0.0)) {
    err << "vorn schedule: --hours: expected a number of hours above 0\n";
    return 2;
  }
  const auto settings = loadCommandSettings(settingsOptions, environment, "schedule", err);
  if (!settings) {
    return 2;
  }
  ScheduleOptions options;
  options.playlist = playlist.empty() ? settings->playlistUrl : playlist;
  options.from = from;
  options.hours = hours;
  options.format = format == "json"    ? ScheduleFormat::json
                   : format == "xmltv" ? ScheduleFormat::xmltv
                                       : ScheduleFormat::text;
  options.caFile = settings->caFile.value_or("");
  options.fetchTimeout = settings->fetchTimeout;
  options.channel.id = settings->channelId;
  options.channel.name = settings->channelName;
  options.channel.icon = settings->channelIcon;
  options.channel.language = settings->guideLanguage;
  return options;
}

}  // namespace vorn::app
