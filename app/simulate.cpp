#include "app/simulate.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "app/app.h"
#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "platform/error.h"
#include "platform/sim/world.h"
#include "vorn/build_config.h"

namespace vorn::app {

namespace {

constexpr const char* kPackagedName = "vorn-vimeo-playlist";
constexpr const char* kPackagedType = "json";
constexpr const char* kPackagedPath = "/usr/share/vorn/vorn-vimeo-playlist.json";
constexpr double kDefaultDuration = 60.0;
constexpr unsigned long kMaxRemoteFailures = 1'000'000;

constexpr const char* kUsage =
    R"(Usage: vorn simulate [OPTIONS]

Runs the channel on a simulated device in virtual time and prints every system-log record as
"HH:MM:SS.mmm TEXT" (virtual UTC time of day). A day or a week runs in moments.

Network and files:
  --playlist FILE         the document served at the remote playlist address (without it, the
                          remote address is unreachable)
  --remote-fails N        the first N remote downloads fail ("The request timed out.")
  --packaged FILE         the packaged copy of the playlist, kept at
                          /usr/share/vorn/vorn-vimeo-playlist.json (default: the --playlist
                          document, or an empty array "[]" without --playlist)
  --no-packaged           the application has no packaged copy
Time:
  --start TIME            wall clock at launch: HH:MM:SS (on 1970-01-01) or an ISO 8601 UTC
                          date-time such as 2026-12-06T01:03:20Z (default 00:00:00)
  --for SECONDS           how long to run, virtual seconds (default 60)
Media:
  --media-length URL=SECONDS  length of a stream (repeatable; default: the duration listed for it
                          in the playlist documents, else 60)
  --broken URL            the stream never plays (repeatable)
Application:
  --developer-mode        switch developer mode on before the view loads
  --event SECONDS:ACTION  at SECONDS after launch (repeatable; same time: command-line order):
                          tap, swipe-up, swipe-down, swipe-left, swipe-right, play-pause-button,
                          remote-play, remote-pause, remote-stop, remote-toggle,
                          resign-active, background, foreground, become-active,
                          screen-connect, screen-disconnect, memory-warning, resize:WxH,
                          remote-down (remote downloads fail from then on),
                          remote-up (the remote address serves --playlist again);
                          background and foreground pass through inactive: follow foreground
                          with become-active to re-attach the picture
Output:
  --trace                 also "HH:MM:SS.mmm TRACE: ..." lines: current item and position, rate,
                          the band and its text and frame, the indicator, timers, downloads
  --help                  this text

Exit status: 0 after the run, 2 for a bad option or an unreadable file.
)";

class OptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string inQuotes(std::string_view text) {
  return "'" + std::string(text) + "'";
}

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty() || text.front() == '+' || text.front() == '-') {
    // Signs are handled by the callers that allow them; none does.
    return std::nullopt;
  }
  double value = 0.0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

double parseSeconds(const std::string& option, std::string_view text) {
  auto value = parseNumber(text);
  if (!value) {
    throw OptionError(option + ": expected a non-negative number of seconds, got " +
                      inQuotes(text));
  }
  return *value;
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int digitsValue(std::string_view text) {
  int value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
  }
  return value;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

unsigned daysInMonth(int year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "HH:MM:SS" with optional fractional seconds: seconds into the day.
std::optional<double> parseTimeOfDay(std::string_view text) {
  if (text.size() < 8 || text[2] != ':' || text[5] != ':') {
    return std::nullopt;
  }
  const auto hours = text.substr(0, 2);
  const auto minutes = text.substr(3, 2);
  const auto seconds = text.substr(6, 2);
  if (!allDigits(hours) || !allDigits(minutes) || !allDigits(seconds)) {
    return std::nullopt;
  }
  double fraction = 0.0;
  if (text.size() > 8) {
    const auto rest = text.substr(8);
    if (rest.size() < 2 || rest[0] != '.' || !allDigits(rest.substr(1))) {
      return std::nullopt;
    }
    fraction = *parseNumber("0" + std::string(rest));
  }
  const int h = digitsValue(hours);
  const int m = digitsValue(minutes);
  const int s = digitsValue(seconds);
  if (h > 23 || m > 59 || s > 59) {
    return std::nullopt;
  }
  return h * 3600.0 + m * 60.0 + s + fraction;
}

// Seconds since 1970-01-01T00:00:00Z.
double parseStart(std::string_view text) {
  std::optional<double> result;
  if (text.size() >= 19 && text[4] == '-' && text[7] == '-' &&
      (text[10] == 'T' || text[10] == 't')) {
    std::string_view rest = text.substr(11);
    if (!rest.empty() && (rest.back() == 'Z' || rest.back() == 'z')) {
      rest.remove_suffix(1);
    }
    const auto year = text.substr(0, 4);
    const auto month = text.substr(5, 2);
    const auto day = text.substr(8, 2);
    auto time = parseTimeOfDay(rest);
    if (time && allDigits(year) && allDigits(month) && allDigits(day)) {
      const int y = digitsValue(year);
      const auto mo = static_cast<unsigned>(digitsValue(month));
      const auto d = static_cast<unsigned>(digitsValue(day));
      if (y >= 1970 && mo >= 1 && mo <= 12 && d >= 1 && d <= daysInMonth(y, mo)) {
        result = static_cast<double>(daysFromCivil(y, mo, d)) * 86400.0 + *time;
      }
    }
  } else {
    result = parseTimeOfDay(text);
  }
  if (!result) {
    throw OptionError("--start: expected HH:MM:SS or an ISO 8601 UTC date-time, got " +
                      inQuotes(text));
  }
  return *result;
}

std::string readFile(const std::string& option, const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw OptionError(option + ": cannot read " + inQuotes(path) + ": Is a directory");
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    const int code = errno;
    throw OptionError(option + ": cannot read " + inQuotes(path) + ": " +
                      (code != 0 ? std::strerror(code) : "cannot open"));
  }
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) {
    throw OptionError(option + ": cannot read " + inQuotes(path));
  }
  return contents.str();
}

enum class Action {
  tap,
  swipeUp,
  swipeDown,
  swipeLeft,
  swipeRight,
  playPauseButton,
  remotePlay,
  remotePause,
  remoteStop,
  remoteToggle,
  resignActive,
  background,
  foreground,
  becomeActive,
  screenConnect,
  screenDisconnect,
  remoteDown,
  remoteUp,
  resize,
  memoryWarning,
};

const std::map<std::string, Action, std::less<>>& actionNames() {
  static const std::map<std::string, Action, std::less<>> names = {
      {"tap", Action::tap},
      {"swipe-up", Action::swipeUp},
      {"swipe-down", Action::swipeDown},
      {"swipe-left", Action::swipeLeft},
      {"swipe-right", Action::swipeRight},
      {"play-pause-button", Action::playPauseButton},
      {"remote-play", Action::remotePlay},
      {"remote-pause", Action::remotePause},
      {"remote-stop", Action::remoteStop},
      {"remote-toggle", Action::remoteToggle},
      {"resign-active", Action::resignActive},
      {"background", Action::background},
      {"foreground", Action::foreground},
      {"become-active", Action::becomeActive},
      {"screen-connect", Action::screenConnect},
      {"screen-disconnect", Action::screenDisconnect},
      {"remote-down", Action::remoteDown},
      {"remote-up", Action::remoteUp},
      {"memory-warning", Action::memoryWarning},
  };
  return names;
}

struct Event {
  double at = 0.0;  // seconds after launch
  Action action = Action::tap;
  platform::Size size;  // for resize
};

Event parseEvent(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    throw OptionError("--event: expected SECONDS:ACTION, got " + inQuotes(text));
  }
  Event event;
  event.at = parseSeconds("--event", text.substr(0, colon));
  const auto action = text.substr(colon + 1);
  if (action.starts_with("resize:")) {
    const auto size = action.substr(7);
    const auto x = size.find('x');
    std::optional<double> width;
    std::optional<double> height;
    if (x != std::string_view::npos) {
      width = parseNumber(size.substr(0, x));
      height = parseNumber(size.substr(x + 1));
    }
    if (!width || !height || *width <= 0.0 || *height <= 0.0) {
      throw OptionError("--event: resize: expected WxH with positive numbers, got " +
                        inQuotes(size));
    }
    event.action = Action::resize;
    event.size = {*width, *height};
    return event;
  }
  auto found = actionNames().find(action);
  if (found == actionNames().end()) {
    throw OptionError("--event: unknown action " + inQuotes(action));
  }
  event.action = found->second;
  return event;
}

struct Options {
  std::optional<std::string> playlistPath;
  std::optional<std::string> packagedPath;
  bool noPackaged = false;
  unsigned long remoteFails = 0;
  double start = 0.0;
  double duration = kDefaultDuration;
  bool developerMode = false;
  bool trace = false;
  bool help = false;
  std::map<std::string, double> mediaLengths;
  std::set<std::string> broken;
  std::vector<Event> events;
};

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  // Single-valued options: repeating one with the same value is harmless, a different value is a
  // conflict.
  std::map<std::string, std::string> seen;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (name.starts_with("--")) {
      if (auto eq = name.find('='); eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.resize(eq);
      }
    }
    auto flag = [&] {
      if (inlineValue) {
        throw OptionError(name + ": takes no value");
      }
    };
    auto value = [&]() -> std::string {
      if (inlineValue) {
        return *inlineValue;
      }
      if (i + 1 >= args.size()) {
        throw OptionError(name + ": missing value");
      }
      return args[++i];
    };
    auto once = [&](const std::string& text) {
      auto [it, inserted] = seen.emplace(name, text);
      if (!inserted && it->second != text) {
        throw OptionError(name + ": given twice with different values (" + inQuotes(it->second) +
                          " and " + inQuotes(text) + ")");
      }
    };

    if (name == "--help" || name == "-h") {
      flag();
      options.help = true;
    } else if (name == "--playlist") {
      const auto path = value();
      once(path);
      options.playlistPath = path;
    } else if (name == "--packaged") {
      const auto path = value();
      once(path);
      options.packagedPath = path;
    } else if (name == "--no-packaged") {
      flag();
      options.noPackaged = true;
    } else if (name == "--remote-fails") {
      const auto text = value();
      once(text);
      unsigned long count = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
      if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
          count > kMaxRemoteFailures) {
        throw OptionError("--remote-fails: expected a whole number from 0 to " +
                          std::to_string(kMaxRemoteFailures) + ", got " + inQuotes(text));
      }
      options.remoteFails = count;
    } else if (name == "--start") {
      const auto text = value();
      once(text);
      options.start = parseStart(text);
    } else if (name == "--for") {
      const auto text = value();
      once(text);
      options.duration = parseSeconds("--for", text);
    } else if (name == "--developer-mode") {
      flag();
      options.developerMode = true;
    } else if (name == "--trace") {
      flag();
      options.trace = true;
    } else if (name == "--media-length") {
      const auto text = value();
      // The address may hold '=' itself; the length never does.
      const auto eq = text.rfind('=');
      if (eq == std::string::npos || eq == 0) {
        throw OptionError("--media-length: expected URL=SECONDS, got " + inQuotes(text));
      }
      const auto url = text.substr(0, eq);
      const double seconds = parseSeconds("--media-length", text.substr(eq + 1));
      auto [it, inserted] = options.mediaLengths.emplace(url, seconds);
      if (!inserted && it->second != seconds) {
        throw OptionError("--media-length: " + inQuotes(url) +
                          " given twice with different lengths");
      }
    } else if (name == "--broken") {
      const auto url = value();
      if (url.empty()) {
        throw OptionError("--broken: expected a stream address");
      }
      options.broken.insert(url);
    } else if (name == "--event") {
      options.events.push_back(parseEvent(value()));
    } else {
      throw OptionError("unknown option " + inQuotes(args[i]));
    }
  }
  if (options.packagedPath && options.noPackaged) {
    throw OptionError("--packaged and --no-packaged cannot be used together");
  }
  return options;
}

// Lengths listed in a playlist document, for streams not given a length explicitly; anything
// that is not a usable entry is left to the World's default.
void takeListedLengths(const std::string& document, std::map<std::string, double>& lengths,
                       std::set<std::string>& listed) {
  const auto json = nlohmann::json::parse(document, nullptr, false);
  if (!json.is_array()) {
    return;
  }
  for (const auto& entry : json) {
    if (!entry.is_object()) {
      continue;
    }
    const auto url = entry.find("hls_url");
    const auto duration = entry.find("duration");
    if (url == entry.end() || duration == entry.end() || !url->is_string() ||
        !duration->is_number()) {
      continue;
    }
    const auto& address = url->get_ref<const std::string&>();
    // The first entry for an address decides, and an explicit length beats any listed one.
    if (lengths.count(address) != 0 || !listed.insert(address).second) {
      continue;
    }
    const double seconds = duration->get<double>();
    if (std::isfinite(seconds) && seconds > 0.0) {
      lengths.emplace(address, seconds);
    }
  }
}

std::string timeOfDay(double time) {
  const long long ms = std::llround(time * 1000.0);
  long long ofDay = ms % 86'400'000LL;
  if (ofDay < 0) {
    ofDay += 86'400'000LL;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld.%03lld", ofDay / 3'600'000,
                ofDay / 60'000 % 60, ofDay / 1000 % 60, ofDay % 1000);
  return buffer;
}

// What a viewer sees of the controller's views, diffed after every turn.
struct Screen {
  bool bandShown = false;
  platform::Rect bandFrame;
  std::string bandText;
  bool indicatorAnimating = false;
};

Screen screenOf(const std::shared_ptr<platform::ViewController>& root) {
  Screen screen;
  auto* controller = dynamic_cast<VornViewController*>(root.get());
  if (controller == nullptr) {
    return screen;
  }
  if (auto band = controller->infoLabelView()) {
    screen.bandShown = !band->isHidden();
    screen.bandFrame = band->frame();
  }
  if (auto label = controller->infoLabel()) {
    screen.bandText = label->text();
  }
  if (auto indicator = controller->activityIndicatorView()) {
    screen.indicatorAnimating = indicator->isAnimating();
  }
  return screen;
}

// Prints the log records in order, each once, interleaved with the trace lines when tracing.
class Printer {
 public:
  Printer(sim::World& world, std::ostream& out, bool trace)
      : world_(world), out_(out), trace_(trace) {}

  void flushRecords() {
    const auto& records = world_.log().timedRecords();
    for (; printed_ < records.size(); ++printed_) {
      out_ << timeOfDay(records[printed_].time) << ' ' << records[printed_].text << '\n';
    }
  }

  void platformEvent(double time, const std::string& line) {
    flushRecords();
    // Records come through the trace too; they are printed from the log itself.
    if (line.starts_with("log: ") || !trace_) {
      return;
    }
    // Timers name their fire time in seconds since 1970; read as a time of day like the rest.
    constexpr std::string_view kFiresAt = " fires at ";
    if (const auto at = line.find(kFiresAt);
        line.starts_with("timer scheduled: ") && at != std::string::npos) {
      if (auto fireTime = parseNumber(std::string_view(line).substr(at + kFiresAt.size()))) {
        traceLine(time, line.substr(0, at + kFiresAt.size()) + timeOfDay(*fireTime));
        return;
      }
    }
    traceLine(time, line);
  }

  void viewTreeMaybeChanged() {
    flushRecords();
    if (!trace_) {
      return;
    }
    const Screen now = screenOf(world_.application().rootViewController());
    const double time = world_.scheduler().now();
    const bool bandDescribed =
        now.bandShown &&
        (!shown_.bandShown || now.bandFrame != shown_.bandFrame || now.bandText != shown_.bandText);
    if (bandDescribed) {
      traceLine(time, std::string(shown_.bandShown ? "band changed: " : "band shown: ") +
                          log::debugText(now.bandText) + " frame " + now.bandFrame.description());
    } else if (!now.bandShown && shown_.bandShown) {
      traceLine(time, "band hidden");
    }
    if (now.indicatorAnimating != shown_.indicatorAnimating) {
      traceLine(time, now.indicatorAnimating ? "indicator started" : "indicator stopped");
    }
    shown_ = now;
  }

  void traceLine(double time, const std::string& line) {
    out_ << timeOfDay(time) << " TRACE: " << line << '\n';
  }

 private:
  sim::World& world_;
  std::ostream& out_;
  bool trace_;
  size_t printed_ = 0;
  Screen shown_;
};

void apply(sim::World& world, const Event& event, const Options& options,
           const std::optional<std::string>& playlist) {
  using platform::RemoteCommandKind;
  const std::string remote = build::kRemotePlaylistAddress;
  switch (event.action) {
    case Action::tap:
      world.input().tap();
      break;
    case Action::swipeUp:
      world.input().swipe(platform::kSwipeUp);
      break;
    case Action::swipeDown:
      world.input().swipe(platform::kSwipeDown);
      break;
    case Action::swipeLeft:
      world.input().swipe(platform::kSwipeLeft);
      break;
    case Action::swipeRight:
      world.input().swipe(platform::kSwipeRight);
      break;
    case Action::playPauseButton:
      world.input().pressPlayPause();
      break;
    case Action::remotePlay:
      world.input().remoteCommand(RemoteCommandKind::play);
      break;
    case Action::remotePause:
      world.input().remoteCommand(RemoteCommandKind::pause);
      break;
    case Action::remoteStop:
      world.input().remoteCommand(RemoteCommandKind::stop);
      break;
    case Action::remoteToggle:
      world.input().remoteCommand(RemoteCommandKind::togglePlayPause);
      break;
    case Action::resignActive:
      world.lifecycle().resignActive();
      break;
    case Action::background:
      world.lifecycle().enterBackground();
      break;
    case Action::foreground:
      world.lifecycle().enterForeground();
      break;
    case Action::becomeActive:
      world.lifecycle().becomeActive();
      break;
    case Action::screenConnect:
      world.lifecycle().screenConnected();
      break;
    case Action::screenDisconnect:
      world.lifecycle().screenDisconnected();
      break;
    case Action::remoteDown:
      world.network().serve(remote, {.error = platform::Error::make(
                                         platform::kUrlErrorDomain, -1009,
                                         "The Internet connection appears to be offline.")});
      break;
    case Action::remoteUp:
      if (playlist) {
        world.network().serve(remote, {.data = *playlist});
      } else {
        // Back to what an unknown host answers without a --playlist.
        world.network().serve(remote,
                              {.error = platform::Error::make(
                                   platform::kUrlErrorDomain, -1003,
                                   "A server with the specified hostname could not be found.")});
      }
      break;
    case Action::resize:
      world.lifecycle().resize(event.size);
      break;
    case Action::memoryWarning:
      world.lifecycle().memoryWarning();
      break;
  }
  (void)options;
}

int run(const Options& options, std::ostream& out) {
  std::optional<std::string> playlist;
  if (options.playlistPath) {
    playlist = readFile("--playlist", *options.playlistPath);
  }
  std::optional<std::string> packaged;
  if (options.packagedPath) {
    packaged = readFile("--packaged", *options.packagedPath);
  } else if (!options.noPackaged) {
    packaged = playlist.value_or("[]");
  }

  sim::World world(sim::WorldOptions{options.start});
  const std::string remote = build::kRemotePlaylistAddress;
  for (unsigned long i = 0; i < options.remoteFails; ++i) {
    world.network().serveOnce(remote,
                              {.error = platform::Error::make(platform::kUrlErrorDomain, -1001,
                                                              "The request timed out.")});
  }
  if (playlist) {
    world.network().serve(remote, {.data = *playlist});
  }
  if (packaged) {
    world.network().writeFile(kPackagedPath, *packaged);
    world.bundle().setResource(kPackagedName, kPackagedType, std::string(kPackagedPath));
  }

  std::map<std::string, double> lengths = options.mediaLengths;
  std::set<std::string> listed;
  if (playlist) {
    takeListedLengths(*playlist, lengths, listed);
  }
  if (packaged) {
    takeListedLengths(*packaged, lengths, listed);
  }
  for (const auto& [url, seconds] : lengths) {
    world.media().setLength(url, seconds);
  }
  for (const auto& url : options.broken) {
    world.media().setBroken(url);
  }

  Printer printer(world, out, options.trace);
  world.trace().setLogRecords(true);
  world.trace().setSink(
      [&printer](double time, const std::string& line) { printer.platformEvent(time, line); });
  world.trace().setViewTreeHook([&printer] { printer.viewTreeMaybeChanged(); });

  const bool developerMode = options.developerMode;
  world.launch(classRegistry(), kDelegateClassName, mainInterface(),
               [developerMode](platform::ViewController& controller) {
                 if (developerMode) {
                   enableDeveloperMode(controller);
                 }
               });
  world.scheduler().runUntilIdle();

  std::vector<Event> events = options.events;
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.at < b.at; });
  const double end = options.start + options.duration;
  for (const auto& event : events) {
    if (event.at > options.duration) {
      break;
    }
    world.scheduler().advanceTo(options.start + event.at);
    apply(world, event, options, playlist);
    world.scheduler().runUntilIdle();
  }
  world.scheduler().advanceTo(end);
  printer.flushRecords();
  // The application is torn down with the World; nothing it does then belongs to the run.
  world.trace().setSink(nullptr);
  world.trace().setViewTreeHook(nullptr);
  out.flush();
  return 0;
}

}  // namespace

int runSimulateCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    const Options options = parseOptions(args);
    if (options.help) {
      out << kUsage;
      return 0;
    }
    return run(options, out);
  } catch (const OptionError& error) {
    err << "vorn simulate: " << error.what() << '\n';
    return 2;
  } catch (const std::exception& error) {
    err << "vorn simulate: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace vorn::app
