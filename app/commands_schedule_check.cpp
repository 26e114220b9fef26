// `vorn schedule` and `vorn check`: their options, resolved against the operator's settings, for
// the engines in schedule.cpp and check.cpp.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/check.h"
#include "app/commands.h"
#include "app/schedule.h"
#include "app/settings.h"

namespace vorn::app {

namespace {

// Parses `args` with `app`; nothing to do further when it printed help or an error (then
// `status` is set).
bool parse(CLI::App& app, const std::string& command, const std::vector<std::string>& args,
           std::ostream& out, std::ostream& err, int& status) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
    return true;
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    status = 0;
  } catch (const CLI::ParseError& error) {
    err << "vorn " << command << ": " << error.what() << " (see 'vorn " << command << " --help')\n";
    status = 2;
  }
  return false;
}

// The settings these commands use: where the playlist is and how to fetch it.
std::optional<Settings> loadSettings(const SettingsOptions& options, const std::string& command,
                                     std::ostream& err) {
  try {
    return options.load(SettingsEnvironment::ofThisProcess()).values;
  } catch (const SettingsError& error) {
    err << "vorn " << command << ": " << error.what() << '\n';
    return std::nullopt;
  }
}

const std::set<std::string> kFetchSettings = {"playlist_url", "ca_file", "fetch_timeout"};

}  // namespace

int runScheduleCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Prints the programme as the channel will play it: each slot's start and end, its\n"
      "description, its address and its play index.\n",
      "vorn schedule");
  useHelpFormat(app);
  std::string playlist;
  std::string from;
  double hours = 24.0;
  std::string format = "text";
  app.add_option("--playlist", playlist,
                 "the playlist: a file or an http, https or file address (default: the "
                 "playlist_url setting)")
      ->type_name("FILE|URL");
  app.add_option("--from", from, "the first instant shown, ISO 8601 (default: now)")
      ->type_name("ISO-TIME");
  app.add_option("--hours", hours, "how many hours to show (default 24)")
      ->type_name("N")
      ->check(CLI::Range(0.0, 24.0 * 366.0).description(""));
  app.add_option("--format", format, "text, json or xmltv (default text)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "json", "xmltv"}).description(""));
  SettingsOptions settingsOptions;
  settingsOptions.addTo(app, kFetchSettings);
  app.set_help_flag("-h,--help", "show this help");
  app.footer(
      "Exit status: 0, or 2 when the playlist cannot be read or yields nothing playable, or an\n"
      "option is bad.\n");

  int status = 0;
  if (!parse(app, "schedule", args, out, err, status)) {
    return status;
  }
  if (!(hours > 0.0)) {
    err << "vorn schedule: --hours: expected a number of hours above 0\n";
    return 2;
  }
  const auto settings = loadSettings(settingsOptions, "schedule", err);
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
  return runSchedule(options, out, err);
}

int runCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Says for each entry of a playlist whether the channel can use it and why not, and the\n"
      "cycle's length; with --probe, opens every stream.\n",
      "vorn check");
  useHelpFormat(app);
  std::string playlist;
  bool probe = false;
  bool json = false;
  app.add_option("--playlist", playlist,
                 "the playlist: a file or an http, https or file address (default: the "
                 "playlist_url setting)")
      ->type_name("FILE|URL");
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
  if (!parse(app, "check", args, out, err, status)) {
    return status;
  }
  const auto settings = loadSettings(settingsOptions, "check", err);
  if (!settings) {
    return 2;
  }
  CheckOptions options;
  options.playlist = playlist.empty() ? settings->playlistUrl : playlist;
  options.probe = probe;
  options.json = json;
  // The progress line is for a person watching, not for a pipe or a log.
  options.progress = ::isatty(STDERR_FILENO) == 1;
  options.caFile = settings->caFile.value_or("");
  options.fetchTimeout = settings->fetchTimeout;
  return runCheck(options, out, err);
}

}  // namespace vorn::app
