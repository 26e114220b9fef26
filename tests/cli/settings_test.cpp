#include "cli/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "vorn/build_config.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;
using app::EffectiveSettings;
using app::SettingsEnvironment;
using app::SettingsError;
using app::SettingsOptions;

// A private folder holding a system file, a user file under XDG_CONFIG_HOME and a --config file.
class Settings : public ::testing::Test {
 protected:
  Settings() {
    dir_ = fs::temp_directory_path() /
           ("vorn-settings-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "config" / "vorn");
    systemFile_ = (dir_ / "system.toml").string();
    userFile_ = (dir_ / "config" / "vorn" / "vorn.toml").string();
    configFile_ = (dir_ / "only.toml").string();
    variables_ = {{"XDG_CONFIG_HOME", (dir_ / "config").string()},
                  {"XDG_STATE_HOME", (dir_ / "state").string()}};
  }
  ~Settings() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static void write(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }

  SettingsEnvironment environment() const {
    auto environment = SettingsEnvironment::from(variables_);
    environment.systemFile = systemFile_;
    return environment;
  }

  // Loads with `args` on a command line offering every setting.
  EffectiveSettings load(const std::vector<std::string>& args) const {
    CLI::App app;
    SettingsOptions options;
    options.addTo(app);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
    return options.load(environment());
  }

  // The one-line message of a load that must fail.
  std::string failure(const std::vector<std::string>& args) const {
    try {
      load(args);
    } catch (const SettingsError& error) {
      return error.what();
    }
    ADD_FAILURE() << "no error";
    return {};
  }

  fs::path dir_;
  std::string systemFile_;
  std::string userFile_;
  std::string configFile_;
  std::map<std::string, std::string> variables_;
};

TEST_F(Settings, each_source_beats_the_ones_below_it) {
  write(systemFile_, "playlist_url = \"https://system.invalid/p.json\"\nvolume = 10\n");
  write(userFile_, "playlist_url = \"https://user.invalid/p.json\"\nvolume = 20\nmute = true\n");
  variables_["VORN_PLAYLIST_URL"] = "https://env.invalid/p.json";

  auto all = load({"--playlist-url", "https://cli.invalid/p.json", "--no-mute"});
  EXPECT_EQ(all.values.playlistUrl, "https://cli.invalid/p.json");
  EXPECT_FALSE(all.values.mute);
  EXPECT_EQ(all.values.volume, 20);

  auto environment = load({});
  EXPECT_EQ(environment.values.playlistUrl, "https://env.invalid/p.json");
  EXPECT_TRUE(environment.values.mute);

  variables_.erase("VORN_PLAYLIST_URL");
  EXPECT_EQ(load({}).values.playlistUrl, "https://user.invalid/p.json");

  fs::remove(userFile_);
  auto system = load({});
  EXPECT_EQ(system.values.playlistUrl, "https://system.invalid/p.json");
  EXPECT_EQ(system.values.volume, 10);
  EXPECT_FALSE(system.values.mute);

  fs::remove(systemFile_);
  auto defaults = load({});
  EXPECT_EQ(defaults.values.playlistUrl, build::kRemotePlaylistAddress);
  EXPECT_EQ(defaults.values.stateDir, (dir_ / "state").string() + "/vorn/");
  // The table's defaults are the struct's own, but for the two set at build time and at start.
  EXPECT_EQ(app::changedSettings(app::Settings{}, defaults.values),
            (std::vector<std::string>{"playlist_url", "state_dir"}));
  EXPECT_EQ(load({"--sync", "second"}).values.sync, "second");

  // Without XDG variables the user's files live under HOME; relative XDG paths are ignored.
  variables_ = {{"HOME", dir_.string()}, {"XDG_CONFIG_HOME", "relative"}};
  fs::create_directories(dir_ / ".config" / "vorn");
  write((dir_ / ".config" / "vorn" / "vorn.toml").string(), "screen = 1\n");
  auto home = load({});
  EXPECT_EQ(home.values.screen, 1);
  EXPECT_EQ(home.values.stateDir, dir_.string() + "/.local/state/vorn/");
}

TEST_F(Settings, config_file_replaces_both_files) {
  write(systemFile_, "volume = 10\nhwdec = \"no\"\n");
  write(userFile_, "volume = 20\n");
  write(configFile_,
        "# a kiosk\nmax_bitrate = 3000000\nfetch_timeout = 2.5\nwindowed = true\n"
        "ca_file = \"/etc/ssl/local.pem\"\nstate_dir = \"/var/lib/vorn\"\nrefresh_interval = 60\n"
        "developer_mode = true\nheadless = false\n");
  variables_["VORN_CA_FILE"] = "/env/ca.pem";

  auto loaded = load({"--config", configFile_, "--volume", "55"});
  EXPECT_EQ(loaded.values.volume, 55);
  EXPECT_EQ(loaded.values.hwdec, "auto-safe");
  EXPECT_EQ(loaded.origins["hwdec"], "default");
  EXPECT_EQ(loaded.values.maxBitrate, 3000000);
  EXPECT_EQ(loaded.origins["max_bitrate"], "config file " + configFile_);
  EXPECT_EQ(loaded.values.fetchTimeout, 2.5);
  EXPECT_EQ(loaded.values.refreshInterval, 60.0);
  EXPECT_TRUE(loaded.values.windowed);
  EXPECT_TRUE(loaded.values.developerMode);
  EXPECT_EQ(loaded.values.stateDir, "/var/lib/vorn");
  // The environment still beats the file.
  EXPECT_EQ(loaded.values.caFile, "/env/ca.pem");

  // A named file must exist, unlike the system's and the user's.
  EXPECT_EQ(failure({"--config", (dir_ / "missing.toml").string()}),
            (dir_ / "missing.toml").string() +
                ": cannot read the settings file: No such file or directory");
  EXPECT_NE(failure({"--config", dir_.string()}).find("Is a directory"), std::string::npos);
}

// A file that is there but cannot be read stops the load with the system's reason, whichever
// file it is; only a file that is not there at all is skipped.
TEST_F(Settings, an_unreadable_file_gives_the_systems_reason) {
  fs::create_symlink(userFile_, userFile_);
  EXPECT_EQ(failure({}), userFile_ +
                             ": cannot read the settings file: Too many levels of "
                             "symbolic links");
  fs::remove(userFile_);
  write(userFile_, "volume = 20\n");
  write(systemFile_, "volume = 10\n");
  systemFile_ = systemFile_ + "/vorn.toml";  // below a file: not there
  EXPECT_EQ(load({}).values.volume, 20);
  fs::create_symlink(dir_ / "loop", dir_ / "loop");
  systemFile_ = (dir_ / "loop" / "vorn.toml").string();
  EXPECT_EQ(failure({}),
            systemFile_ + ": cannot read the settings file: Too many levels of symbolic links");
  // A file the process may not read (not provoked here when the tests run as root).
  systemFile_ = (dir_ / "system.toml").string();
  write(systemFile_, "volume = 10\n");
  fs::permissions(systemFile_, fs::perms::none);
  if (::geteuid() != 0) {
    EXPECT_EQ(failure({}), systemFile_ + ": cannot read the settings file: Permission denied");
  }
}

// The guide's and the pause's keys take sound values and refuse others in their own words.
TEST_F(Settings, guide_pause_and_decoding_keys_take_sound_values_only) {
  write(userFile_,
        "inactivity_pause = 0\nchannel_id = \"lobby-2.example.org\"\n"
        "channel_name = \"Lobby \u00e9 <2>\"\nchannel_icon = \"https://x.invalid/logo.png\"\n"
        "guide_language = \"fr-CA\"\nhwdec = \"vaapi-copy,nvdec,auto-safe\"\n");
  const auto chosen = load({});
  EXPECT_EQ(chosen.values.inactivityPause, 0.0);
  EXPECT_EQ(chosen.values.channelId, "lobby-2.example.org");
  EXPECT_EQ(chosen.values.channelName, "Lobby \u00e9 <2>");
  EXPECT_EQ(chosen.values.channelIcon, "https://x.invalid/logo.png");
  EXPECT_EQ(chosen.values.guideLanguage, "fr-CA");
  EXPECT_EQ(chosen.values.hwdec, "vaapi-copy,nvdec,auto-safe");
  EXPECT_EQ(load({"--inactivity-pause", "90.5"}).values.inactivityPause, 90.5);

  for (const char* bad : {"inactivity_pause = -1",         "inactivity_pause = 40000000",
                          "inactivity_pause = \"never\"",  "channel_id = \"vorn\"",
                          "channel_id = \"-a.b\"",         "channel_id = \"a..b\"",
                          "channel_id = \"a.b.\"",         "channel_id = \"a b.tv\"",
                          "channel_name = \"\"",           "channel_name = \"two\\nlines\"",
                          "channel_icon = \"logo.png\"",   "guide_language = \"e\"",
                          "guide_language = \"english1\"", "guide_language = \"en-\"",
                          "guide_language = \"en_GB\"",    "hwdec = \"bogus\"",
                          "hwdec = \"vaapi,bogus\"",       "hwdec = \"auto-copy-copy\"",
                          "hwdec = \"no-copy\"",           "hwdec = \"vaapi,\""}) {
    write(userFile_, std::string(bad) + "\n");
    const auto message = failure({});
    const std::string key(bad, std::string_view(bad).find(' '));
    EXPECT_EQ(message.rfind(userFile_ + ":1: " + key + ": expected ", 0), 0u) << message;
  }
  write(userFile_, "hwdec = \"vaapi,bogus\"\n");
  EXPECT_NE(failure({}).find("one of mpv's decoding modes"), std::string::npos);
}

TEST_F(Settings, bad_input_is_one_line_naming_where_and_what) {
  struct Case {
    std::string file;
    std::vector<std::string> fragments;
  };
  const std::vector<Case> cases = {
      {"mute = true\nvolume = \"loud\"\n", {":2: ", "volume", "whole number from 0 to 100"}},
      {"volume = 150\n", {":1: ", "volume", "150"}},
      {"screen = -1\n", {":1: ", "screen"}},
      {"max_bitrate = 0\n", {":1: ", "max_bitrate"}},
      {"max_bitrate = 2147483648\n", {":1: ", "max_bitrate"}},
      {"fetch_timeout = 0\n", {":1: ", "fetch_timeout"}},
      {"refresh_interval = \"10m\"\n", {":1: ", "refresh_interval"}},
      {"mute = 1\n", {":1: ", "mute", "true or false"}},
      {"playlist_url = \"not an address\"\n", {":1: ", "playlist_url"}},
      {"playlist_url = \"ftp://host.invalid/p.json\"\n", {":1: ", "playlist_url"}},
      {"hwdec = \"\"\n", {":1: ", "hwdec"}},
      {"sync = \"frames\"\n", {":1: ", "sync", "frame or second"}},
      {"\n\nvolum = 3\n", {":3: ", "unknown key 'volum'", "did you mean 'volume'?"}},
      {"playlist-url = \"https://a.invalid/\"\n", {":1: ", "did you mean 'playlist_url'?"}},
      {"[display]\nscreen = 1\n", {":1: ", "unknown key 'display'"}},
      {"volume = 3\n\nmute = \n", {":3: "}},
      {"volume = 3\nvolume = 4\n", {":2: "}},
      {"# " + std::string(1 << 20, 'x') + "\n", {": the settings file is larger than 1 MiB"}},
  };
  for (const auto& c : cases) {
    write(userFile_, c.file);
    const auto message = failure({});
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_EQ(message.rfind(userFile_ + ":", 0), 0u) << message;
    for (const auto& fragment : c.fragments) {
      EXPECT_NE(message.find(fragment), std::string::npos) << c.file << " -> " << message;
    }
  }
  fs::remove(userFile_);

  EXPECT_EQ(failure({"--volume", "101"}),
            "--volume: volume: expected a whole number from 0 to 100, got \"101\"");
  EXPECT_NE(failure({"--fetch-timeout", "soon"}).find("--fetch-timeout"), std::string::npos);
  EXPECT_EQ(failure({"--sync", "auto"}), "--sync: sync: expected frame or second, got \"auto\"");
  EXPECT_NE(failure({"--volume", "5", "--volume", "6"}).find("twice"), std::string::npos);
  // A file that never ends is read only up to the bound.
  EXPECT_EQ(failure({"--config", "/dev/zero"}),
            "/dev/zero: the settings file is larger than 1 MiB");
  variables_["VORN_PLAYLIST_URL"] = "relative/p.json";
  EXPECT_NE(failure({}).find("environment VORN_PLAYLIST_URL"), std::string::npos);
  // Bad input anywhere is reported, even under an option that overrides it: a broken deployment
  // does not hide behind one screen's command line.
  EXPECT_NE(failure({"--playlist-url", "https://ok.invalid/p.json"}).find("VORN_PLAYLIST_URL"),
            std::string::npos);
}

TEST_F(Settings, printed_settings_name_their_sources) {
  write(systemFile_, "hwdec = \"vaapi\"\n");
  write(userFile_, "volume = 40\nstate_dir = \"/srv/a \\\"b\\\"\"\n");
  variables_["VORN_CA_FILE"] = "/env/ca.pem";
  const auto text = app::describeSettings(load({"--mute", "--screen", "2"}));

  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), app::settingKeys().size()) << text;
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"hwdec = \"vaapi\"", "system file " + systemFile_},
      {"volume = 40 ", "user file " + userFile_},
      {"state_dir = \"/srv/a \\\"b\\\"\"", "user file " + userFile_},
      {"ca_file = \"/env/ca.pem\"", "environment VORN_CA_FILE"},
      {"mute = true", "command line --mute"},
      {"screen = 2", "command line --screen"},
      {"refresh_interval = 600 ", "default"},
      {"# max_bitrate is not set", "default"}};
  for (const auto& [start, origin] : expected) {
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return l.starts_with(start); });
    ASSERT_NE(line, lines.end()) << start << "\n" << text;
    EXPECT_TRUE(line->ends_with("# " + origin)) << *line;
  }
}

TEST_F(Settings, the_ends_of_every_range_are_accepted) {
  constexpr const char* kYear = "31622400";  // 366 days
  auto low = load({"--volume", "0", "--screen", "0", "--max-bitrate", "1", "--refresh-interval",
                   kYear, "--fetch-timeout", kYear});
  EXPECT_EQ(low.values.volume, 0);
  EXPECT_EQ(low.values.screen, 0);
  EXPECT_EQ(low.values.maxBitrate, 1);
  EXPECT_EQ(low.values.refreshInterval, 31622400.0);
  EXPECT_EQ(low.values.fetchTimeout, 31622400.0);
  write(userFile_, "volume = 100\nscreen = 63\nmax_bitrate = 2147483647\n");
  auto high = load({});
  EXPECT_EQ(high.values.volume, 100);
  EXPECT_EQ(high.values.screen, 63);
  EXPECT_EQ(high.values.maxBitrate, 2147483647);
  EXPECT_NE(failure({"--refresh-interval", "31622401"}).find("refresh_interval"),
            std::string::npos);
}

std::string sourceFile(const std::string& name) {
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/" + name);
  std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_FALSE(text.empty()) << name;
  // What the build puts in, and the man page's escapes taken out.
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"@VORN_REMOTE_PLAYLIST_URL@",
                                                                     build::kRemotePlaylistAddress},
                                 {"\\-", "-"},
                                 {"\\&", ""}}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

// From `start` on to the first `end` after it (or the text's end).
std::string slice(const std::string& text, const std::string& start, const std::string& end) {
  const auto from = text.find(start);
  if (from == std::string::npos) {
    return {};
  }
  return text.substr(from, text.find(end, from + start.size()) - from);
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
    found.insert((*it)[1]);
  }
  return found;
}

// The man page (its SETTINGS, OPTIONS and ENVIRONMENT), the shipped settings file, the README
// and the shell's completion say what the settings table says: each key's type, range, default and
// variable, each option's value and help.
TEST_F(Settings, the_man_page_and_the_shipped_file_say_what_the_table_says) {
  const std::string shipped = sourceFile("dist/vorn.toml");
  const std::string manual = sourceFile("dist/vorn.1");
  const std::string settings = slice(manual, "\n.SH SETTINGS\n", "\n.SH ");
  const std::string options = slice(manual, "\n.SH OPTIONS\n", "\n.SH ");
  const std::string environment = slice(manual, "\n.SH ENVIRONMENT\n", "\n.SH ");
  const std::string readme = sourceFile("README.md");
  const std::string completion = sourceFile("dist/vorn.bash-completion");
  std::set<std::string> keys;
  std::set<std::string> variables;
  std::vector<std::string> withoutDefault;
  for (const auto& fact : app::settingFacts()) {
    SCOPED_TRACE(fact.key);
    keys.insert(fact.key);
    const std::string example = "\n#" + fact.key + " = ";
    EXPECT_NE(shipped.find(example + (fact.byDefault.empty() ? "" : fact.byDefault + "\n")),
              std::string::npos);
    const std::string entry = slice(settings, "\n.BR " + fact.key + " \" (", "\n.TP");
    const std::string heading = entry.substr(0, entry.find('\n', 1));
    EXPECT_NE(heading.find("(" + fact.type), std::string::npos) << heading;
    if (fact.range) {
      const std::string range =
          std::to_string(fact.range->first) + " to " + std::to_string(fact.range->second);
      EXPECT_NE(heading.find(range), std::string::npos) << heading;
      // The shipped file's note on the key states the range where the help does.
      const auto at = shipped.find(example);
      const auto note = shipped.rfind("\n\n", at);
      if (fact.help.find(range) != std::string::npos && note != std::string::npos) {
        EXPECT_NE(shipped.substr(note, at - note).find(range), std::string::npos);
      }
    }
    std::string byDefault = fact.byDefault;
    byDefault.erase(std::remove(byDefault.begin(), byDefault.end(), '"'), byDefault.end());
    // The README's table row: the key, its option and its default.
    const std::string row =
        "\n| `" + fact.key + "` | `" +
        (fact.valueName.empty() ? fact.option + "`, `--no-" + fact.option.substr(2)
                                : fact.option + " " + fact.valueName) +
        "` | ";
    const auto inReadme = readme.find(row);
    EXPECT_NE(inReadme, std::string::npos) << row;
    // The shell completes the option (and a flag's --no- form).
    const std::string words =
        fact.option + (fact.valueName.empty() ? "|--no-" + fact.option.substr(2) : "");
    EXPECT_EQ(matches(completion, std::regex("[\\s'](" + words + ")(?=[\\s'])")).size(),
              fact.valueName.empty() ? 2u : 1u);
    if (byDefault.empty() || byDefault == build::kRemotePlaylistAddress) {
      // None, one set at build time or at start: said in words.
      EXPECT_NE(entry.find("default"), std::string::npos) << entry;
    } else {
      EXPECT_NE(entry.find("default " + byDefault), std::string::npos) << entry;
      EXPECT_EQ(readme.find(byDefault + " |", inReadme), inReadme + row.size());
    }
    const std::string option = fact.valueName.empty()
                                   ? ".BR " + fact.option + " \", \" --no-" + fact.option.substr(2)
                                   : ".BI " + fact.option + " \" " + fact.valueName + "\"";
    // The option's text as the help gives it, in the page's markup: its lines joined, a line's
    // font macro left out.
    std::string described;
    std::istringstream lines(slice(options, "\n" + option + "\n", "\n.TP"));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line != option) {
        described += (described.empty() ? "" : " ") +
                     (line.starts_with('.') ? line.substr(line.find(' ') + 1) : line);
      }
    }
    std::string help = fact.help + " [ " + fact.key + " ]";
    help.erase(std::remove(help.begin(), help.end(), '`'), help.end());
    EXPECT_EQ(described, help) << option;
    if (!fact.environment.empty()) {
      variables.insert(fact.environment);
      EXPECT_NE(environment.find("\n.B " + fact.environment + "\n"), std::string::npos);
    }
    if (fact.byDefault.empty()) {
      withoutDefault.push_back(fact.key);
    }
  }
  // No key or variable is described that the table does not have.
  EXPECT_EQ(matches(shipped, std::regex(R"(\n#?([a-z_]+) = )")), keys);
  EXPECT_EQ(matches(settings, std::regex(R"(\n\.BR ([a-z_]+) ")")), keys);
  EXPECT_EQ(matches(readme, std::regex(R"(\n\| `([a-z_]+)` \| `--)")), keys);
  EXPECT_EQ(matches(shipped, std::regex("(VORN_[A-Z_]+)")), variables);
  EXPECT_EQ(matches(settings, std::regex("(VORN_[A-Z_]+)")), variables);
  // Uncommented, the shipped file is read without error and changes only the keys it gives
  // examples of.
  std::string uncommented = std::regex_replace(shipped, std::regex(R"(\n#([a-z_]+ = ))"), "\n$1");
  write(configFile_, uncommented);
  EXPECT_EQ(app::changedSettings(load({}).values, load({"--config", configFile_}).values),
            withoutDefault);
  // No key is described as a placeholder any more.
  for (const auto& text : {shipped, manual}) {
    EXPECT_EQ(text.find("not used yet"), std::string::npos);
    EXPECT_EQ(text.find("nothing yet"), std::string::npos);
  }
}

}  // namespace
}  // namespace vorn::testing
