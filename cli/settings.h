#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/help.h"

// The operator's settings: each one a command-line option, a key of a TOML file and a built-in
// default. Later sources win: default < system file < user file < environment < command line.
// `--config FILE` replaces both files.
namespace vorn::app {

// One field per row of the settings table (cli/settings.cpp). The defaults written here are the
// table's, as a test checks; load() also fills playlistUrl and stateDir.
struct Settings {
  std::string playlistUrl;  // the address the channel fetches its playlist from
  double refreshInterval = 600.0;
  double fetchTimeout = 10.0;
  std::string stateDir;  // empty when neither XDG_STATE_HOME nor HOME says where
  std::optional<std::string> caFile;
  bool mute = false;
  int volume = 100;
  std::optional<int> screen;
  std::string hwdec = "auto-safe";
  std::optional<int64_t> maxBitrate;  // bits per second
  bool developerMode = false;
  bool windowed = false;
  bool headless = false;
  // Seconds after a fresh load or a resume before the channel pauses itself; 0: never.
  double inactivityPause = 3600.0;
  // How the programme guide (`vorn schedule --format xmltv`) names the channel.
  std::string channelId = "solvane.tv";
  std::string channelName = "Solvane TV";
  std::optional<std::string> channelIcon;
  std::string guideLanguage = "en";
  // mpv's audio-device ("alsa/hdmi:CARD=PCH,DEV=0"); the system's default when not set.
  std::optional<std::string> audioDevice;
  std::string sync = "frame";              // "frame" or "second"
  std::optional<std::string> metricsFile;  // off when not set
  bool verbose = false;
};

// Bad settings input: the message is one line naming the file and line, or the option, or the
// environment variable, and the key.
class SettingsError : public std::runtime_error {
 public:
  explicit SettingsError(std::string_view what) : std::runtime_error(oneLine(what)) {}
};

// Where a setting's value came from: "default", "system file /etc/vorn/vorn.toml",
// "user file ...", "config file ...", "environment VORN_CA_FILE", "command line --volume".
using SettingOrigins = std::map<std::string, std::string>;

struct EffectiveSettings {
  Settings values;
  SettingOrigins origins;  // by key
};

// What the settings depend on outside the command line. ofThisProcess() reads the real files'
// locations and environment; tests make their own.
struct SettingsEnvironment {
  std::string systemFile = "/etc/vorn/vorn.toml";
  std::optional<std::string> userFile;
  std::map<std::string, std::string> variables;  // only the non-empty ones matter

  static SettingsEnvironment ofThisProcess();
  // The user file and the default state folder for these variables (XDG_CONFIG_HOME, HOME).
  static SettingsEnvironment from(std::map<std::string, std::string> variables);
};

// The settings' options on a command line: `--config FILE` and one option per setting (flags also
// have a --no- form). Register with addTo() before parsing, then load().
class SettingsOptions {
 public:
  // `keys`: the settings this command offers (all when empty).
  void addTo(CLI::App& app, const std::set<std::string>& keys = {});

  // Resolves every setting from all sources; throws SettingsError for bad input.
  EffectiveSettings load(const SettingsEnvironment& environment) const;

 private:
  struct Given {
    std::string key;
    std::string option;
    std::vector<std::string> texts;  // values, for options that take one
    bool flag = false;
  };
  std::vector<std::string> configFile_;
  std::deque<Given> given_;  // stable addresses: the parser writes into them
};

// The keys whose values differ between two sets of settings, in table order.
std::vector<std::string> changedSettings(const Settings& before, const Settings& after);

// The effective settings as TOML lines, each followed by its origin.
std::string describeSettings(const EffectiveSettings& settings);

// The known keys in order, for help texts and suggestions.
std::vector<std::string> settingKeys();

// What the documentation must say of a setting (the man page and the shipped settings file are
// checked against these).
struct SettingFacts {
  std::string key;
  std::string type;         // boolean, integer, seconds or string
  std::string byDefault;    // as TOML writes it (100, "auto-safe"); empty: none, or state_dir's
  std::string environment;  // the variable that sets it; empty when none
  std::string option;       // --volume
  std::string valueName;    // the option's value (N); empty for a flag
  std::string help;         // the option's, as --help shows it
  std::optional<std::pair<int64_t, int64_t>> range;  // of a whole number
};
std::vector<SettingFacts> settingFacts();

}  // namespace vorn::app
