#include "simulate/simulate_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "cli/bounded_file.h"
#include "platform/iso_time.h"

namespace vorn::app::simulate {

namespace {

constexpr const char* kDescription =
    "Runs the channel on a simulated device in virtual time and prints every system-log record "
    "as\n\"HH:MM:SS.mmm TEXT\" (virtual UTC time of day). A day or a week runs in moments.\n";

std::string inQuotes(std::string_view text) {
  return "'" + std::string(text) + "'";
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

// The one value of a single-valued option: repeating it with the same value is harmless, a
// different value is a conflict.
std::optional<std::string> single(const std::string& option,
                                  const std::vector<std::string>& values) {
  if (values.empty()) {
    return std::nullopt;
  }
  for (const auto& value : values) {
    if (value != values.front()) {
      throw OptionError(option + ": given twice with different values (" +
                        inQuotes(values.front()) + " and " + inQuotes(value) + ")");
    }
  }
  return values.front();
}

unsigned long parseRemoteFails(const std::string& text) {
  unsigned long count = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      count > kMaxRemoteFailures) {
    throw OptionError("--remote-fails: expected a whole number from 0 to " +
                      std::to_string(kMaxRemoteFailures) + ", got " + inQuotes(text));
  }
  return count;
}

}  // namespace

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty() || text.front() == '+' || text.front() == '-') {
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

double parseStart(std::string_view text) {
  std::optional<double> result;
  if (text.size() >= 19 && text[4] == '-' && text[7] == '-' &&
      (text[10] == 'T' || text[10] == 't')) {
    // The date-time form is YYYY-MM-DDTHH:MM:SS[.fff][Z], in UTC as the simulated clock is: no
    // offset, no other separator.
    std::string_view time = text.substr(11);
    if (!time.empty() && (time.back() == 'Z' || time.back() == 'z')) {
      time.remove_suffix(1);
    }
    if (parseTimeOfDay(time)) {
      result = platform::parseIsoTime(text, platform::Zoneless::utc);
    }
    if (result && *result < 0.0) {
      result.reset();
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
  const BoundedFile file = readBoundedFile(path, kMaxInputFileBytes);
  if (file.error != 0) {
    throw OptionError(option + ": cannot read " + inQuotes(path) + ": " +
                      std::strerror(file.error));
  }
  if (file.tooLarge) {
    throw OptionError(option + ": cannot read " + inQuotes(path) + ": larger than " +
                      std::to_string(kMaxInputFileBytes >> 20) + " MiB");
  }
  return file.contents;
}

Options parseOptions(const std::vector<std::string>& args, const SettingsEnvironment& environment) {
  Options options;
  CLI::App app(kDescription, "vorn simulate");
  useHelpFormat(app);
  std::vector<std::string> playlist, packaged, remoteFails, start, duration, stateDir, screenId;

  const std::string network = "Network and files";
  app.add_option("--playlist", playlist,
                 "the document served at the remote playlist address (without it, the remote "
                 "address is unreachable)")
      ->type_name("FILE")
      ->allow_extra_args(false)
      ->group(network);
  app.add_option("--serve-at",
                 "from SECONDS after launch on, the remote address serves FILE (repeatable; "
                 "before the first, --playlist)")
      ->type_name("SECONDS:FILE")
      ->take_all()
      ->allow_extra_args(false)
      ->each([&options](const std::string& text) {
        const auto colon = text.find(':');
        if (colon == std::string::npos || colon + 1 == text.size()) {
          throw OptionError("--serve-at: expected SECONDS:FILE, got " + inQuotes(text));
        }
        options.serveAt.push_back(
            {parseSeconds("--serve-at", text.substr(0, colon)), text.substr(colon + 1)});
      })
      ->group(network);
  app.add_option("--remote-fails", remoteFails,
                 "the first N remote downloads fail (\"The request timed out.\")")
      ->type_name("N")
      ->allow_extra_args(false)
      ->group(network);
  app.add_option("--packaged", packaged,
                 "the packaged copy of the playlist, kept at "
                 "/usr/share/vorn/vorn-vimeo-playlist.json (default: the --playlist document, or "
                 "an empty array \"[]\" without --playlist)")
      ->type_name("FILE")
      ->allow_extra_args(false)
      ->group(network);
  app.add_flag("--no-packaged", options.noPackaged, "the application has no packaged copy")
      ->disable_flag_override()
      ->group(network);
  app.add_option("--screen-id", screenId,
                 "the screen's identity among a fleet's, a whole number: each refresh comes up "
                 "to 10 % sooner or later, by this number (default: exactly on the interval)")
      ->type_name("N")
      ->allow_extra_args(false)
      ->group(network);
  app.add_option("--state-dir", stateDir,
                 "a real folder for the saved copy of the playlist, so that runs can share it "
                 "(default: kept in memory for this run only)")
      ->type_name("DIR")
      ->allow_extra_args(false)
      ->group(network);

  const std::string time = "Time";
  app.add_option("--start", start,
                 "wall clock at launch: HH:MM:SS (on 1970-01-01) or an ISO 8601 UTC date-time "
                 "such as 2026-12-06T01:03:20Z (default 00:00:00)")
      ->type_name("TIME")
      ->allow_extra_args(false)
      ->group(time);
  app.add_option("--for", duration, "how long to run, virtual seconds (default 60)")
      ->type_name("SECONDS")
      ->allow_extra_args(false)
      ->group(time);

  const std::string media = "Media";
  app.add_option("--media-length",
                 "length of a stream (repeatable; default: the duration listed for it in the "
                 "playlist documents, else 60)")
      ->type_name("URL=SECONDS")
      ->take_all()
      ->allow_extra_args(false)
      ->each([&options](const std::string& text) {
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
      })
      ->group(media);
  app.add_option("--pace",
                 "media seconds the stream delivers per second played, such as 0.98 for a source "
                 "that runs 2 % slow (repeatable; default 1)")
      ->type_name("URL=FACTOR")
      ->take_all()
      ->allow_extra_args(false)
      ->each([&options](const std::string& text) {
        const auto eq = text.rfind('=');
        const auto pace = eq == std::string::npos || eq == 0
                              ? std::nullopt
                              : parseNumber(std::string_view(text).substr(eq + 1));
        if (!pace || !(*pace >= 0.5 && *pace <= 2.0)) {
          throw OptionError("--pace: expected URL=FACTOR with FACTOR from 0.5 to 2, got " +
                            inQuotes(text));
        }
        options.paces[text.substr(0, eq)] = *pace;
      })
      ->group(media);
  app.add_option("--broken", "the stream never plays (repeatable)")
      ->type_name("URL")
      ->take_all()
      ->allow_extra_args(false)
      ->each([&options](const std::string& url) {
        if (url.empty()) {
          throw OptionError("--broken: expected a stream address");
        }
        options.broken.insert(url);
      })
      ->group(media);
  // URL=AT:FOR|forever into `into`, for `option`.
  const auto window = [](const std::string& option, std::map<std::string, Options::Stall>& into) {
    return [option, &into](const std::string& text) {
      const std::string expected = option + ": expected URL=AT:FOR or URL=AT:forever, got ";
      const auto eq = text.rfind('=');
      const auto colon = eq == std::string::npos ? std::string::npos : text.find(':', eq);
      if (eq == std::string::npos || eq == 0 || colon == std::string::npos) {
        throw OptionError(expected + inQuotes(text));
      }
      const auto url = text.substr(0, eq);
      Options::Stall stall;
      stall.at = parseSeconds(option, text.substr(eq + 1, colon - eq - 1));
      const auto duration = text.substr(colon + 1);
      stall.forSeconds = duration == "forever" ? std::numeric_limits<double>::infinity()
                                               : parseSeconds(option, duration);
      if (!into.emplace(url, stall).second) {
        throw OptionError(option + ": " + inQuotes(url) + " given twice");
      }
    };
  };
  static const std::string kStall = "--stall", kGone = "--gone";
  app.add_option("--stall",
                 "the stream stops delivering AT seconds into it, for FOR seconds or for good "
                 "(repeatable)")
      ->type_name("URL=AT:FOR|forever")
      ->take_all()
      ->allow_extra_args(false)
      ->each(window(kStall, options.stalls))
      ->group(media);
  app.add_option("--gone",
                 "the stream's server is gone AT seconds after launch, for FOR seconds or for "
                 "good: the stream plays nowhere meanwhile (repeatable)")
      ->type_name("URL=AT:FOR|forever")
      ->take_all()
      ->allow_extra_args(false)
      ->each(window(kGone, options.gone))
      ->group(media);

  app.add_flag("--moves-on-first", options.movesOnFirst,
               "the player moves on to the next item before it tells of an item's end or "
               "failure (default: after)")
      ->disable_flag_override()
      ->group(media);

  const std::string application = "Application";
  app.add_option("--event",
                 "at SECONDS after launch (repeatable; same time: command-line order), one of the "
                 "actions below")
      ->type_name("SECONDS:ACTION")
      ->take_all()
      ->allow_extra_args(false)
      ->each([&options](const std::string& text) { options.events.push_back(parseEvent(text)); })
      ->group(application);
  SettingsOptions settings;
  settings.addTo(app, {"playlist_url", "refresh_interval", "fetch_timeout", "developer_mode",
                       "inactivity_pause", "sync"});

  app.add_flag("--trace", options.trace,
               "also \"HH:MM:SS.mmm TRACE: ...\" lines: current item and position, rate, the band "
               "and its text and frame, the indicator, timers, downloads, drift corrections")
      ->disable_flag_override()
      ->group("Output");
  app.set_help_flag("-h,--help", "this text")->group("Output");
  app.footer("Actions of --event:\n" + eventsHelp() +
             "background and foreground pass through inactive: follow foreground with "
             "become-active\nto re-attach the picture.\n\n"
             "Exit status: 0 after the run, 2 for a bad option or an unreadable file.\n");

  try {
    parseArguments(app, args);
  } catch (const CLI::CallForHelp&) {
    options.help = true;
    options.helpText = app.help();
    return options;
  } catch (const CLI::ParseError& error) {
    throw OptionError(error.what());
  }

  options.playlistPath = single("--playlist", playlist);
  options.packagedPath = single("--packaged", packaged);
  options.stateDir = single("--state-dir", stateDir);
  if (options.stateDir && options.stateDir->empty()) {
    throw OptionError("--state-dir: expected a folder");
  }
  if (auto text = single("--screen-id", screenId)) {
    uint64_t id = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), id);
    if (text->empty() || ec != std::errc() || end != text->data() + text->size()) {
      throw OptionError("--screen-id: expected a whole number from 0 to " +
                        std::to_string(std::numeric_limits<uint64_t>::max()) + ", got " +
                        inQuotes(*text));
    }
    options.screenId = id;
  }
  if (auto text = single("--remote-fails", remoteFails)) {
    options.remoteFails = parseRemoteFails(*text);
  }
  if (auto text = single("--start", start)) {
    options.start = parseStart(*text);
  }
  if (auto text = single("--for", duration)) {
    options.duration = parseSeconds("--for", *text);
  }
  if (options.packagedPath && options.noPackaged) {
    throw OptionError("--packaged and --no-packaged cannot be used together");
  }
  try {
    options.settings = settings.load(environment).values;
  } catch (const SettingsError& error) {
    throw OptionError(error.what());
  }
  return options;
}

}  // namespace vorn::app::simulate
