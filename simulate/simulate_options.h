#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/settings.h"
#include "simulate/simulate_events.h"

// The options of `vorn simulate`, checked and converted: what the simulated device serves, when
// the run starts and how long it lasts, the media, the scripted events and the output.
namespace vorn::app::simulate {

// Bad input: one line, printed after "vorn simulate: ".
class OptionError : public std::runtime_error {
 public:
  explicit OptionError(std::string_view what) : std::runtime_error(oneLine(what)) {}
};

inline constexpr double kDefaultDuration = 60.0;
inline constexpr unsigned long kMaxRemoteFailures = 1'000'000;

// --serve-at: from `at` seconds after launch on, the remote address serves the file at `path`.
struct ServeAt {
  double at = 0.0;
  std::string path;
};

struct Options {
  std::optional<std::string> playlistPath;
  std::vector<ServeAt> serveAt;  // in command-line order
  // A real folder for what the channel keeps between runs; in memory without it.
  std::optional<std::string> stateDir;
  std::optional<std::string> packagedPath;
  bool noPackaged = false;
  unsigned long remoteFails = 0;
  // The simulated screen's identity, which spreads its refreshes; none: no spread.
  std::optional<uint64_t> screenId;
  double start = 0.0;
  double duration = kDefaultDuration;
  bool trace = false;
  std::map<std::string, double> mediaLengths;
  std::set<std::string> broken;
  // Where a stream stops delivering and for how long (infinity: for good).
  struct Stall {
    double at = 0.0;
    double forSeconds = 0.0;
  };
  std::map<std::string, Stall> stalls;
  // Where a stream's server is gone: from `at` seconds after launch, for `forSeconds`.
  std::map<std::string, Stall> gone;
  // The player moves on to the next item before it tells of an item's end or failure.
  bool movesOnFirst = false;
  std::map<std::string, double> paces;  // media seconds per second played, by stream
  std::vector<Event> events;            // in command-line order
  // What the settings say: the remote playlist address, the refresh interval, the fetch timeout
  // and developer mode.
  Settings settings;

  bool help = false;
  std::string helpText;
};

// Parses the words after "simulate"; throws OptionError (bad options or settings).
Options parseOptions(const std::vector<std::string>& args, const SettingsEnvironment& environment);

// A plain non-negative decimal number: no sign, finite.
std::optional<double> parseNumber(std::string_view text);
// Seconds for `option`; throws OptionError naming it.
double parseSeconds(const std::string& option, std::string_view text);
// --start: "HH:MM:SS[.fff]" on 1970-01-01, or an ISO 8601 UTC date-time from 1970 on
// ("YYYY-MM-DDTHH:MM:SS[.fff][Z]"); seconds since 1970.
double parseStart(std::string_view text);
// A file's bytes for `option`, up to kMaxInputFileBytes; throws OptionError naming the option, the
// path and the reason. The bound is well above what the channel accepts in a document, so an
// oversized document still reaches the channel to be refused there.
inline constexpr size_t kMaxInputFileBytes = size_t{64} << 20;
std::string readFile(const std::string& option, const std::string& path);

}  // namespace vorn::app::simulate
