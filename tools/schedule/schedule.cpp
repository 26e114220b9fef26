#include "tools/schedule/schedule.h"

#include <chrono>
#include <cmath>

#include "cli/settings.h"
#include "platform/iso_time.h"
#include "tools/check/playlist_input.h"
#include "tools/schedule/programme_schedule.h"

namespace vorn::app {

int runSchedule(const ScheduleOptions& options, std::ostream& out, std::ostream& err) {
  double from;
  if (options.from.empty()) {
    from =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  } else if (const auto parsed = platform::parseIsoTime(options.from)) {
    from = *parsed;
  } else {
    err << "vorn schedule: cannot read the time \"" << oneLine(options.from)
        << "\" (expected ISO 8601, such as 2026-12-06T01:03:20Z)\n";
    return 2;
  }
  if (!(options.hours > 0.0) || !std::isfinite(options.hours)) {
    err << "vorn schedule: the number of hours must be above 0\n";
    return 2;
  }

  std::string error;
  std::optional<platform::Url> address;
  const JsonPtr document =
      loadPlaylist({options.playlist, options.caFile, options.fetchTimeout}, error, &address);
  if (!document) {
    err << "vorn schedule: " << oneLine(error) << '\n';
    return 2;
  }
  if (!document->isArray()) {
    err << "vorn schedule: the playlist " << oneLine(options.playlist) << " is not a JSON array\n";
    return 2;
  }
  const ScheduleResult result =
      buildSchedule(*document, from, from + options.hours * 3600.0, address ? &*address : nullptr);
  if (result.schedule.cycleItems == 0) {
    err << "vorn schedule: the playlist " << oneLine(options.playlist) << " has nothing playable\n";
    return 2;
  }
  if (!result.error.empty()) {
    err << "vorn schedule: the playlist " << oneLine(options.playlist) << ": "
        << oneLine(result.error) << '\n';
    return 2;
  }
  if (result.schedule.truncated) {
    err << "vorn schedule: stopped after " << result.schedule.slots.size()
        << " slots; ask for fewer hours\n";
  }
  switch (options.format) {
    case ScheduleFormat::text:
      writeScheduleText(result.schedule, out);
      break;
    case ScheduleFormat::json:
      writeScheduleJson(result.schedule, out);
      break;
    case ScheduleFormat::xmltv:
      writeScheduleXmltv(result.schedule, out, options.channel);
      break;
  }
  return 0;
}

}  // namespace vorn::app
