#pragma once

#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "cli/settings.h"

#include "tools/schedule/programme_schedule.h"

// `vorn schedule`: the programme as the channel will play it, slot by slot.
namespace vorn::app {

enum class ScheduleFormat { text, json, xmltv };

struct ScheduleOptions {
  // A file path or an http(s)/file address, already resolved from the settings by the caller.
  std::string playlist;
  // The first instant shown, as ISO 8601 text ("2026-12-06T01:03:20Z"); empty means now.
  std::string from;
  double hours = 24.0;
  ScheduleFormat format = ScheduleFormat::text;
  std::string caFile;          // an extra trusted authority for https playlists; empty for none
  double fetchTimeout = 10.0;  // seconds for the whole playlist request
  GuideChannel channel;        // how the XMLTV guide names the channel
};

// Prints the schedule on `out`; problems go to `err` as one line. Returns the exit status: 0, or
// 2 when the playlist cannot be read or yields nothing playable, or `from` does not parse.
int runSchedule(const ScheduleOptions& options, std::ostream& out, std::ostream& err);

// `vorn schedule`'s command line: what to run, or the exit status when there is nothing to run.
std::variant<ScheduleOptions, int> parseScheduleCommand(const std::vector<std::string>& args,
                                                        const SettingsEnvironment& environment,
                                                        std::ostream& out, std::ostream& err);

}  // namespace vorn::app
