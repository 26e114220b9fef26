// `vorn status`: reads the running channel's status file and says how it is doing.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstring>

#include "cli/bounded_file.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/settings.h"
#include "platform/channel_status.h"
#include "tools/status/status_report.h"

namespace vorn::app {

int runStatusCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Says how the channel running on this machine is doing, from the status file it keeps at\n"
      "$XDG_RUNTIME_DIR/vorn/status.json and rewrites every few seconds.\n",
      "vorn status");
  useHelpFormat(app);
  bool json = false;
  app.add_flag("--json", json, "print the status file's JSON document instead")
      ->disable_flag_override();
  app.set_help_flag("-h,--help", "show this help");
  app.footer(
      "Exit status: 0 healthy; 1 degraded (the slate, a fallback copy of the playlist, an\n"
      "unsynchronised clock, a failed last fetch, the picture over 2 s off the clock); 2 not\n"
      "running, or a status file older than 30 s; 2 also for bad options.\n");
  int status = 0;
  if (!parseCommand(app, "status", args, out, err, status)) {
    return status;
  }

  // The channel writes a few kilobytes; a path that names something else must not be read whole.
  constexpr size_t kMaxStatusFileBytes = 1 << 20;
  const std::string path = platform::statusFilePath();
  const BoundedFile file = readBoundedFile(path, kMaxStatusFileBytes);
  std::string fileError;
  if (file.error != 0) {
    fileError = path + ": " + std::strerror(file.error);
  } else if (file.tooLarge) {
    fileError = path + ": larger than 1 MiB";
  }
  const std::string& text = file.contents;
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const StatusReport report = judgeStatus(text, fileError, now);
  if (json && fileError.empty() && report.exitStatus != 2) {
    out << text;
  } else if (json) {
    err << "vorn status: " << (report.problems.empty() ? "not running" : report.problems.front())
        << '\n';
  } else {
    out << report.text;
  }
  return report.exitStatus;
}

}  // namespace vorn::app
