#pragma once

#include <ctime>
#include <optional>
#include <string_view>

namespace vorn::platform {

// How a date and time without a zone is read.
enum class Zoneless { local, utc };

// ISO 8601 date and time ("2026-12-06T01:03:20Z"; "T", "t" or a space between date and time;
// seconds optional; fractions of a second and a "+01:00" or "-0200" offset allowed), as seconds
// since 1970. Without a zone the time is the machine's local time or UTC, as `zoneless` says.
// Impossible dates (31 February) are refused rather than carried into the next month.
std::optional<double> parseIsoTime(std::string_view text, Zoneless zoneless = Zoneless::local);

// Seconds since 1970 as the calendar's fields, in the machine's local time or in UTC.
std::tm brokenDown(double seconds, bool local);

}  // namespace vorn::platform
