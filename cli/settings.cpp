#include "cli/settings.h"

#include <toml++/toml.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <system_error>
#include <variant>

#include "cli/bounded_file.h"
#include "platform/url.h"
#include "vorn/build_config.h"

namespace vorn::app {

namespace {

enum class Kind {
  address,
  text,
  path,
  seconds,
  flag,
  integer,
  secondsOrNever,
  domainId,
  label,
  language,
  hwdec
};

// The decoding modes mpv knows: the automatic ones and each interface, also in its copy-back
// form. A list separated by commas is tried in order.
constexpr std::string_view kHwdecModes[] = {
    "no",           "yes",        "auto",     "auto-safe", "auto-copy", "auto-copy-safe",
    "vaapi",        "vdpau",      "nvdec",    "cuda",      "qsv",       "v4l2m2m",
    "drm",          "rkmpp",      "mmal",     "vulkan",    "d3d11va",   "dxva2",
    "videotoolbox", "mediacodec", "crystalhd"};

bool isHwdecMode(std::string_view mode) {
  for (const auto known : kHwdecModes) {
    if (mode == known) {
      return true;
    }
    const bool copyable = known != "no" && known != "yes" && !known.starts_with("auto");
    if (copyable && mode.size() == known.size() + 5 && mode.starts_with(known) &&
        mode.ends_with("-copy")) {
      return true;
    }
  }
  return false;
}

// Where a setting is kept in Settings. An optional field, or an empty text, is a setting without
// a value.
using Field = std::variant<bool Settings::*, int Settings::*, std::optional<int> Settings::*,
                           std::optional<int64_t> Settings::*, double Settings::*,
                           std::string Settings::*, std::optional<std::string> Settings::*>;

struct Key {
  std::string_view name;
  Field field;
  Kind kind;
  std::string_view valueName = {};  // of the option; none for a flag
  // The built-in default, written as an option's value would be; none when empty.
  std::string_view byDefault = {};
  int64_t min = 0;  // the range of a whole number
  int64_t max = 0;
  std::string_view environment = {};  // the variable that sets it, if any
  // For text: the only words accepted, separated by '|' (any word when empty).
  std::string_view choices = {};
  std::string_view help = {};
};

// Seconds beyond a year are a typing error, not an interval.
constexpr double kMaxSeconds = 366.0 * 86400.0;

// Every setting, once: the parser, the options and their help, --print-config and the reload's
// list of changes all loop over this table, and a test holds the man page and the shipped
// settings file to it. Adding a setting is adding a row and its field in Settings.
constexpr Key kKeys[] = {
    {.name = "playlist_url",
     .field = &Settings::playlistUrl,
     .kind = Kind::address,
     .valueName = "URL",
     .byDefault = build::kRemotePlaylistAddress,
     .environment = "VORN_PLAYLIST_URL",
     .help = "the playlist's address (http, https or file)"},
    {.name = "refresh_interval",
     .field = &Settings::refreshInterval,
     .kind = Kind::seconds,
     .valueName = "SECONDS",
     .byDefault = "600",
     .help = "seconds between fetches of the playlist"},
    {.name = "fetch_timeout",
     .field = &Settings::fetchTimeout,
     .kind = Kind::seconds,
     .valueName = "SECONDS",
     .byDefault = "10",
     .help = "seconds a playlist download may take"},
    // The default depends on the environment: see defaultStateDir().
    {.name = "state_dir",
     .field = &Settings::stateDir,
     .kind = Kind::path,
     .valueName = "DIR",
     .help = "folder for what the channel keeps between runs"},
    {.name = "ca_file",
     .field = &Settings::caFile,
     .kind = Kind::path,
     .valueName = "FILE",
     .environment = "VORN_CA_FILE",
     .help = "a further trusted certificate authority (PEM)"},
    {.name = "mute",
     .field = &Settings::mute,
     .kind = Kind::flag,
     .byDefault = "false",
     .help = "start with the sound off"},
    {.name = "volume",
     .field = &Settings::volume,
     .kind = Kind::integer,
     .valueName = "N",
     .byDefault = "100",
     .min = 0,
     .max = 100,
     .help = "sound volume, 0 to 100"},
    {.name = "screen",
     .field = &Settings::screen,
     .kind = Kind::integer,
     .valueName = "N",
     .min = 0,
     .max = 63,
     .help = "the monitor (0, 1, ...) to fill in full screen"},
    {.name = "hwdec",
     .field = &Settings::hwdec,
     .kind = Kind::hwdec,
     .valueName = "MODE",
     .byDefault = "auto-safe",
     .help = "hardware decoding mode (auto-safe, auto, no, vaapi, ...)"},
    // The player keeps the cap in a 32-bit integer and refuses more at start.
    {.name = "max_bitrate",
     .field = &Settings::maxBitrate,
     .kind = Kind::integer,
     .valueName = "BPS",
     .min = 1,
     .max = std::numeric_limits<int32_t>::max(),
     .help = "highest HLS variant bit rate to choose, bits per second"},
    {.name = "developer_mode",
     .field = &Settings::developerMode,
     .kind = Kind::flag,
     .byDefault = "false",
     .help = "pin the clock to the start of the day, use the packaged playlist and let a swipe "
             "skip to the next video"},
    {.name = "windowed",
     .field = &Settings::windowed,
     .kind = Kind::flag,
     .byDefault = "false",
     .help = "play in a window instead of full screen"},
    {.name = "headless",
     .field = &Settings::headless,
     .kind = Kind::flag,
     .byDefault = "false",
     .help = "no window and no sound (servers and tests); the default when no display is "
             "available"},
    {.name = "inactivity_pause",
     .field = &Settings::inactivityPause,
     .kind = Kind::secondsOrNever,
     .valueName = "SECONDS",
     .byDefault = "3600",
     .help = "seconds without a fresh load or a resume before the channel pauses itself; 0: "
             "never"},
    {.name = "channel_id",
     .field = &Settings::channelId,
     .kind = Kind::domainId,
     .valueName = "ID",
     .byDefault = "solvane.tv",
     .help = "the channel's id in the programme guide, domain-style"},
    {.name = "channel_name",
     .field = &Settings::channelName,
     .kind = Kind::label,
     .valueName = "NAME",
     .byDefault = "Solvane TV",
     .help = "the channel's name in the programme guide"},
    {.name = "channel_icon",
     .field = &Settings::channelIcon,
     .kind = Kind::address,
     .valueName = "URL",
     .help = "the address of the channel's logo in the programme guide"},
    {.name = "audio_device",
     .field = &Settings::audioDevice,
     .kind = Kind::label,
     .valueName = "NAME",
     .help = "the sound output, as `vorn --list-audio-devices` names it (default: the "
             "system's)"},
    {.name = "guide_language",
     .field = &Settings::guideLanguage,
     .kind = Kind::language,
     .valueName = "LANG",
     .byDefault = "en",
     .help = "the language of the programme guide's titles and descriptions (en, fr-CA, ...)"},
    {.name = "sync",
     .field = &Settings::sync,
     .kind = Kind::text,
     .valueName = "MODE",
     .byDefault = "frame",
     .choices = "frame|second",
     .help = "how closely the picture keeps to the clock: frame (placed and held to the frame) "
             "or second (each load seeks to the whole second, nothing corrects after)"},
    {.name = "metrics_file",
     .field = &Settings::metricsFile,
     .kind = Kind::path,
     .valueName = "PATH",
     .help = "write metrics here in the Prometheus text format (for node_exporter's textfile "
             "folder)"},
    {.name = "verbose",
     .field = &Settings::verbose,
     .kind = Kind::flag,
     .byDefault = "false",
     .help = "also log the player's informational messages, not only its errors"},
};

template <typename T>
constexpr bool kIsOptional = false;
template <typename T>
constexpr bool kIsOptional<std::optional<T>> = true;

// A row's kind suits its field's type, a whole number fits its field, and a field that cannot be
// empty has a default.
constexpr bool fitsItsField(const Key& key) {
  return std::visit(
      [&]<typename T>(T Settings::*) {
        const bool text = key.kind != Kind::flag && key.kind != Kind::integer &&
                          key.kind != Kind::seconds && key.kind != Kind::secondsOrNever;
        if constexpr (std::is_same_v<T, bool>) {
          return key.kind == Kind::flag && !key.byDefault.empty();
        } else if constexpr (std::is_same_v<T, double>) {
          return (key.kind == Kind::seconds || key.kind == Kind::secondsOrNever) &&
                 !key.byDefault.empty();
        } else if constexpr (std::is_same_v<T, int>) {
          return key.kind == Kind::integer && key.max <= std::numeric_limits<int>::max() &&
                 !key.byDefault.empty();
        } else if constexpr (std::is_same_v<T, std::optional<int>>) {
          return key.kind == Kind::integer && key.max <= std::numeric_limits<int>::max();
        } else if constexpr (std::is_same_v<T, std::optional<int64_t>>) {
          return key.kind == Kind::integer;
        } else {
          return text;
        }
      },
      key.field);
}
static_assert(std::all_of(std::begin(kKeys), std::end(kKeys), fitsItsField));

using Value = std::variant<bool, int64_t, double, std::string>;

struct Resolved {
  Value value;
  std::string origin;
};

const Key* findKey(std::string_view name) {
  for (const auto& key : kKeys) {
    if (key.name == name) {
      return &key;
    }
  }
  return nullptr;
}

std::string optionName(std::string_view key) {
  std::string option = "--" + std::string(key);
  std::replace(option.begin(), option.end(), '_', '-');
  return option;
}

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string closestKey(std::string_view unknown) {
  std::string lowered(unknown);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::replace(lowered.begin(), lowered.end(), '-', '_');
  const Key* best = &kKeys[0];
  size_t bestDistance = std::numeric_limits<size_t>::max();
  for (const auto& key : kKeys) {
    const size_t distance = editDistance(lowered, key.name);
    if (distance < bestDistance) {
      best = &key;
      bestDistance = distance;
    }
  }
  return std::string(best->name);
}

std::string tomlString(std::string_view text) {
  std::string result = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      result += '\\';
      result += c;
    } else if (u < 0x20 || u == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      result += escape;
    } else {
      result += c;
    }
  }
  return result + "\"";
}

std::string expectation(const Key& key) {
  switch (key.kind) {
    case Kind::address:
      return "an http, https or file address";
    case Kind::text:
      if (!key.choices.empty()) {
        std::string words(key.choices);
        std::replace(words.begin(), words.end(), '|', ' ');
        const auto last = words.rfind(' ');
        return last == std::string::npos ? words
                                         : words.substr(0, last) + " or" + words.substr(last);
      }
      return "a word such as \"auto-safe\"";
    case Kind::path:
      return "a non-empty path";
    case Kind::seconds:
      return "a number of seconds above 0 and at most a year";
    case Kind::secondsOrNever:
      return "a number of seconds from 0 (never) to a year";
    case Kind::domainId:
      return "a domain-style id such as \"solvane.tv\"";
    case Kind::label:
      return "a non-empty one-line text";
    case Kind::language:
      return "a language tag such as \"en\" or \"fr-CA\"";
    case Kind::hwdec:
      return "one of mpv's decoding modes (no, auto-safe, auto, auto-copy, vaapi, vdpau, nvdec, "
             "cuda, qsv, v4l2m2m, drm, ..., each interface also as NAME-copy), or a list of them";
    case Kind::flag:
      return "true or false";
    case Kind::integer:
      return "a whole number from " + std::to_string(key.min) + " to " + std::to_string(key.max);
  }
  return {};
}

// Checks a value of the right shape against the key's range and form; nothing when it fails.
std::optional<Value> accept(const Key& key, Value value) {
  switch (key.kind) {
    case Kind::address: {
      const auto& text = std::get<std::string>(value);
      const auto url = platform::Url::parse(text);
      if (!url) {
        return std::nullopt;
      }
      const auto scheme = url->scheme();
      if (scheme != "http" && scheme != "https" && scheme != "file") {
        return std::nullopt;
      }
      return value;
    }
    case Kind::text: {
      const auto& text = std::get<std::string>(value);
      const bool word = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ',';
      });
      if (!word) {
        return std::nullopt;
      }
      if (!key.choices.empty()) {
        bool chosen = false;
        for (std::string_view rest = key.choices; !rest.empty() && !chosen;) {
          const auto bar = rest.find('|');
          chosen = rest.substr(0, bar) == text;
          rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
        }
        return chosen ? std::optional<Value>(value) : std::nullopt;
      }
      return value;
    }
    case Kind::path:
      return std::get<std::string>(value).empty() ? std::nullopt : std::optional<Value>(value);
    case Kind::seconds: {
      const double seconds = std::get<double>(value);
      return std::isfinite(seconds) && seconds > 0.0 && seconds <= kMaxSeconds
                 ? std::optional<Value>(value)
                 : std::nullopt;
    }
    case Kind::secondsOrNever: {
      const double seconds = std::get<double>(value);
      return std::isfinite(seconds) && seconds >= 0.0 && seconds <= kMaxSeconds
                 ? std::optional<Value>(value)
                 : std::nullopt;
    }
    case Kind::domainId: {
      // Labels of letters, digits and hyphens, not at a label's ends, joined by dots; two at least.
      const auto& text = std::get<std::string>(value);
      size_t labels = 0;
      bool sound = !text.empty() && text.size() <= 253;
      for (size_t start = 0; sound && start <= text.size();) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view label(text.data() + start, dot - start);
        sound = !label.empty() && label.size() <= 63 && label.front() != '-' &&
                label.back() != '-' && std::all_of(label.begin(), label.end(), [](char c) {
                  return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
                });
        ++labels;
        start = dot + 1;
      }
      return sound && labels >= 2 ? std::optional<Value>(value) : std::nullopt;
    }
    case Kind::label: {
      const auto& text = std::get<std::string>(value);
      const bool sound = !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      });
      return sound ? std::optional<Value>(value) : std::nullopt;
    }
    case Kind::language: {
      // A primary tag of 2 to 8 letters, then subtags of 1 to 8 letters or digits.
      const auto& text = std::get<std::string>(value);
      bool sound = !text.empty();
      size_t part = 0;
      for (size_t start = 0; sound && start <= text.size(); ++part) {
        const size_t dash = std::min(text.find('-', start), text.size());
        const std::string_view tag(text.data() + start, dash - start);
        sound = tag.size() >= (part == 0 ? 2u : 1u) && tag.size() <= 8 &&
                std::all_of(tag.begin(), tag.end(), [part](char c) {
                  return part == 0 ? std::isalpha(static_cast<unsigned char>(c)) != 0
                                   : std::isalnum(static_cast<unsigned char>(c)) != 0;
                });
        start = dash + 1;
      }
      return sound ? std::optional<Value>(value) : std::nullopt;
    }
    case Kind::hwdec: {
      const auto& text = std::get<std::string>(value);
      bool sound = !text.empty();
      for (size_t start = 0; sound && start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        sound = isHwdecMode(std::string_view(text).substr(start, comma - start));
        start = comma + 1;
      }
      return sound ? std::optional<Value>(value) : std::nullopt;
    }
    case Kind::flag:
      return value;
    case Kind::integer: {
      const int64_t number = std::get<int64_t>(value);
      return number >= key.min && number <= key.max ? std::optional<Value>(value) : std::nullopt;
    }
  }
  return std::nullopt;
}

// A value written as text (an option's or an environment variable's).
std::optional<Value> fromText(const Key& key, const std::string& text) {
  switch (key.kind) {
    case Kind::address:
    case Kind::text:
    case Kind::path:
    case Kind::domainId:
    case Kind::label:
    case Kind::language:
    case Kind::hwdec:
      return accept(key, text);
    case Kind::seconds:
    case Kind::secondsOrNever: {
      double seconds = 0.0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
      }
      return accept(key, seconds);
    }
    case Kind::integer: {
      int64_t number = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
      }
      return accept(key, number);
    }
    case Kind::flag:
      if (text == "true" || text == "1" || text == "yes") {
        return Value(true);
      }
      if (text == "false" || text == "0" || text == "no") {
        return Value(false);
      }
      return std::nullopt;
  }
  return std::nullopt;
}

std::string typeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a float";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    default:
      return "a date or time";
  }
}

std::string describeNode(const toml::node& node) {
  if (auto text = node.value_exact<std::string>()) {
    return tomlString(*text);
  }
  if (auto number = node.value_exact<int64_t>()) {
    return std::to_string(*number);
  }
  if (auto flag = node.value_exact<bool>()) {
    return *flag ? "true" : "false";
  }
  std::ostringstream out;
  if (auto number = node.value_exact<double>()) {
    out << *number;
    return out.str();
  }
  return typeName(node);
}

// A TOML value of the key's type, else nothing.
std::optional<Value> fromNode(const Key& key, const toml::node& node) {
  switch (key.kind) {
    case Kind::address:
    case Kind::text:
    case Kind::path:
    case Kind::domainId:
    case Kind::label:
    case Kind::language:
    case Kind::hwdec:
      if (auto text = node.value_exact<std::string>()) {
        return accept(key, *text);
      }
      return std::nullopt;
    case Kind::seconds:
    case Kind::secondsOrNever:
      if (node.is_integer() || node.is_floating_point()) {
        return accept(key, *node.value<double>());
      }
      return std::nullopt;
    case Kind::flag:
      if (auto flag = node.value_exact<bool>()) {
        return Value(*flag);
      }
      return std::nullopt;
    case Kind::integer:
      if (auto number = node.value_exact<int64_t>()) {
        return accept(key, *number);
      }
      return std::nullopt;
  }
  return std::nullopt;
}

constexpr size_t kMaxSettingsFileBytes = 1 << 20;

// Why the system refused: "Permission denied", "Too many levels of symbolic links", ...
std::string reason(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Reads one settings file into `resolved`. A missing file that is not required is no error; one
// that is there but cannot be read is, with the system's reason.
void readFile(const std::string& path, const std::string& label, bool required,
              std::map<std::string, Resolved>& resolved) {
  const BoundedFile file = readBoundedFile(path, kMaxSettingsFileBytes);
  if (file.error != 0) {
    if (!required && (file.error == ENOENT || file.error == ENOTDIR)) {
      return;
    }
    throw SettingsError(path + ": cannot read the settings file: " + reason(file.error));
  }
  if (file.tooLarge) {
    throw SettingsError(path + ": the settings file is larger than " +
                        std::to_string(kMaxSettingsFileBytes >> 20) + " MiB");
  }
  const std::string& contents = file.contents;
  toml::table table;
  try {
    table = toml::parse(contents, path);
  } catch (const toml::parse_error& error) {
    throw SettingsError(path + ":" + std::to_string(error.source().begin.line) + ": " +
                        std::string(error.description()));
  }
  const std::string origin = label + " " + path;
  for (const auto& [name, node] : table) {
    const std::string keyName(name.str());
    const std::string where = path + ":" + std::to_string(node.source().begin.line) + ": ";
    const Key* key = findKey(keyName);
    if (!key) {
      throw SettingsError(where + "unknown key '" + keyName + "' (did you mean '" +
                          closestKey(keyName) + "'?)");
    }
    auto value = fromNode(*key, node);
    if (!value) {
      throw SettingsError(where + keyName + ": expected " + expectation(*key) + ", got " +
                          describeNode(node));
    }
    resolved[keyName] = {std::move(*value), origin};
  }
}

std::string describeValue(const Value& value) {
  if (const auto* flag = std::get_if<bool>(&value)) {
    return *flag ? "true" : "false";
  }
  if (const auto* number = std::get_if<int64_t>(&value)) {
    return std::to_string(*number);
  }
  if (const auto* seconds = std::get_if<double>(&value)) {
    std::ostringstream out;
    out.precision(15);
    out << *seconds;
    return out.str();
  }
  return tomlString(std::get<std::string>(value));
}

std::optional<std::string> absoluteVariable(const std::map<std::string, std::string>& variables,
                                            const std::string& name) {
  auto found = variables.find(name);
  // Relative XDG locations are invalid and to be ignored.
  if (found == variables.end() || found->second.empty() || found->second.front() != '/') {
    return std::nullopt;
  }
  return found->second;
}

std::string inFolder(std::string folder, const std::string& name) {
  if (folder.empty() || folder.back() != '/') {
    folder += '/';
  }
  return folder + name;
}

// The one default that depends on the environment, so it is not in the table: nothing when
// neither variable names an absolute folder.
std::optional<std::string> defaultStateDir(const std::map<std::string, std::string>& variables) {
  if (auto state = absoluteVariable(variables, "XDG_STATE_HOME")) {
    return inFolder(*state, "vorn/");
  }
  if (auto home = absoluteVariable(variables, "HOME")) {
    return inFolder(*home, ".local/state/vorn/");
  }
  return std::nullopt;
}

// A setting's value in its field; nothing when it has none.
std::optional<Value> valueOf(const Settings& settings, const Key& key) {
  const auto asValue = []<typename T>(const T& held) {
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      return Value(int64_t{held});
    } else {
      return Value(held);
    }
  };
  return std::visit(
      [&]<typename T>(T Settings::*field) -> std::optional<Value> {
        const T& held = settings.*field;
        if constexpr (kIsOptional<T>) {
          return held ? std::optional<Value>(asValue(*held)) : std::nullopt;
        } else if constexpr (std::is_same_v<T, std::string>) {
          return held.empty() ? std::nullopt : std::optional<Value>(held);
        } else {
          return asValue(held);
        }
      },
      key.field);
}

// Puts a resolved value into its field; no value empties it.
void assign(Settings& settings, const Key& key, const Value* value) {
  const auto as = []<typename U>(const Value& resolved, U*) -> U {
    if constexpr (std::is_integral_v<U> && !std::is_same_v<U, bool>) {
      return static_cast<U>(std::get<int64_t>(resolved));
    } else {
      return std::get<U>(resolved);
    }
  };
  std::visit(
      [&]<typename T>(T Settings::*field) {
        T& held = settings.*field;
        if (!value) {
          held = T{};
        } else if constexpr (kIsOptional<T>) {
          held = as(*value, static_cast<typename T::value_type*>(nullptr));
        } else {
          held = as(*value, static_cast<T*>(nullptr));
        }
      },
      key.field);
}

}  // namespace

std::vector<std::string> settingKeys() {
  std::vector<std::string> keys;
  for (const auto& key : kKeys) {
    keys.emplace_back(key.name);
  }
  return keys;
}

SettingsEnvironment SettingsEnvironment::from(std::map<std::string, std::string> variables) {
  SettingsEnvironment environment;
  if (auto config = absoluteVariable(variables, "XDG_CONFIG_HOME")) {
    environment.userFile = inFolder(*config, "vorn/vorn.toml");
  } else if (auto home = absoluteVariable(variables, "HOME")) {
    environment.userFile = inFolder(*home, ".config/vorn/vorn.toml");
  }
  environment.variables = std::move(variables);
  return environment;
}

SettingsEnvironment SettingsEnvironment::ofThisProcess() {
  std::map<std::string, std::string> variables;
  const auto take = [&](const std::string& name) {
    if (const char* value = std::getenv(name.c_str()); value && *value) {
      variables[name] = value;
    }
  };
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "HOME"}) {
    take(name);
  }
  for (const auto& key : kKeys) {
    if (!key.environment.empty()) {
      take(std::string(key.environment));
    }
  }
  return from(std::move(variables));
}

void SettingsOptions::addTo(CLI::App& app, const std::set<std::string>& keys) {
  app.add_option("--config", configFile_,
                 "read the settings from FILE only (not " + SettingsEnvironment().systemFile +
                     " and the user's file)")
      ->type_name("FILE")
      ->allow_extra_args(false)
      ->group("Settings");
  for (const auto& key : kKeys) {
    if (!keys.empty() && keys.count(std::string(key.name)) == 0) {
      continue;
    }
    Given& given = given_.emplace_back();
    given.key = key.name;
    given.option = optionName(key.name);
    const std::string help = std::string(key.help) + " [" + std::string(key.name) + "]";
    if (key.kind == Kind::flag) {
      given.flag = true;
      app.add_flag_function(
             given.option + ",!--no-" + given.option.substr(2),
             [&given](int64_t count) { given.texts.assign(1, count > 0 ? "true" : "false"); }, help)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
          ->group("Settings");
    } else {
      app.add_option(given.option, given.texts, help)
          ->type_name(std::string(key.valueName))
          ->allow_extra_args(false)
          ->group("Settings");
    }
  }
}

EffectiveSettings SettingsOptions::load(const SettingsEnvironment& environment) const {
  std::map<std::string, Resolved> resolved;

  // Built-in defaults.
  for (const auto& key : kKeys) {
    if (!key.byDefault.empty()) {
      resolved[std::string(key.name)] = {fromText(key, std::string(key.byDefault)).value(),
                                         "default"};
    }
  }
  if (auto state = defaultStateDir(environment.variables)) {
    resolved["state_dir"] = {std::move(*state), "default"};
  }

  // Files.
  if (configFile_.size() > 1 &&
      std::any_of(configFile_.begin(), configFile_.end(),
                  [&](const std::string& path) { return path != configFile_.front(); })) {
    throw SettingsError("--config: given twice with different files");
  }
  if (!configFile_.empty()) {
    readFile(configFile_.front(), "config file", true, resolved);
  } else {
    readFile(environment.systemFile, "system file", false, resolved);
    if (environment.userFile) {
      readFile(*environment.userFile, "user file", false, resolved);
    }
  }

  // Environment.
  for (const auto& key : kKeys) {
    if (key.environment.empty()) {
      continue;
    }
    auto found = environment.variables.find(std::string(key.environment));
    if (found == environment.variables.end() || found->second.empty()) {
      continue;
    }
    auto value = fromText(key, found->second);
    if (!value) {
      throw SettingsError("environment " + std::string(key.environment) + ": " +
                          std::string(key.name) + ": expected " + expectation(key) + ", got " +
                          tomlString(found->second));
    }
    resolved[std::string(key.name)] = {std::move(*value),
                                       "environment " + std::string(key.environment)};
  }

  // Command line.
  for (const auto& given : given_) {
    if (given.texts.empty()) {
      continue;
    }
    const Key& key = *findKey(given.key);
    if (!given.flag && std::any_of(given.texts.begin(), given.texts.end(),
                                   [&](const auto& text) { return text != given.texts.front(); })) {
      throw SettingsError(given.option + ": given twice with different values");
    }
    auto value = fromText(key, given.texts.front());
    if (!value) {
      throw SettingsError(given.option + ": " + given.key + ": expected " + expectation(key) +
                          ", got " + tomlString(given.texts.front()));
    }
    resolved[given.key] = {std::move(*value), "command line " + given.option};
  }

  EffectiveSettings effective;
  for (const auto& key : kKeys) {
    auto found = resolved.find(std::string(key.name));
    const bool set = found != resolved.end();
    assign(effective.values, key, set ? &found->second.value : nullptr);
    effective.origins[std::string(key.name)] = set ? found->second.origin : "default";
  }
  return effective;
}

std::vector<std::string> changedSettings(const Settings& before, const Settings& after) {
  std::vector<std::string> changed;
  for (const auto& key : kKeys) {
    const auto a = valueOf(before, key);
    const auto b = valueOf(after, key);
    if (a.has_value() != b.has_value() || (a && describeValue(*a) != describeValue(*b))) {
      changed.emplace_back(key.name);
    }
  }
  return changed;
}

std::string describeSettings(const EffectiveSettings& settings) {
  std::vector<std::string> texts;
  size_t width = 0;
  for (const auto& key : kKeys) {
    const std::string name(key.name);
    const auto value = valueOf(settings.values, key);
    texts.push_back(value ? name + " = " + describeValue(*value) : "# " + name + " is not set");
    width = std::max(width, texts.back().size());
  }
  std::string out;
  for (size_t i = 0; i < texts.size(); ++i) {
    auto origin = settings.origins.find(std::string(kKeys[i].name));
    out += texts[i] + std::string(width - texts[i].size() + 2, ' ') + "# " +
           (origin == settings.origins.end() ? std::string("default") : origin->second) + '\n';
  }
  return out;
}

std::vector<SettingFacts> settingFacts() {
  std::vector<SettingFacts> facts;
  for (const auto& key : kKeys) {
    SettingFacts& fact = facts.emplace_back();
    fact.key = key.name;
    fact.type = key.kind == Kind::flag                                          ? "boolean"
                : key.kind == Kind::integer                                     ? "integer"
                : key.kind == Kind::seconds || key.kind == Kind::secondsOrNever ? "seconds"
                                                                                : "string";
    if (!key.byDefault.empty()) {
      fact.byDefault = describeValue(fromText(key, std::string(key.byDefault)).value());
    }
    fact.environment = key.environment;
    fact.option = optionName(key.name);
    fact.valueName = key.valueName;
    fact.help = key.help;
    if (key.kind == Kind::integer) {
      fact.range = {key.min, key.max};
    }
  }
  return facts;
}

}  // namespace vorn::app
