#pragma once

#include <string>
#include <vector>

// `vorn status`: what the running channel's status file says, judged.
namespace vorn::app {

// A status file older than this is a player that no longer runs.
inline constexpr double kStatusStaleSeconds = 30.0;

struct StatusReport {
  int exitStatus = 2;  // 0 healthy, 1 degraded, 2 not running (or stale)
  std::vector<std::string> problems;
  std::string text;  // the form for people, one screen at most
};

// Judges the status file's text as read at `now` (seconds since 1970); `fileError` is why the file
// could not be read, when it could not.
StatusReport judgeStatus(const std::string& fileText, const std::string& fileError, double now);

}  // namespace vorn::app
