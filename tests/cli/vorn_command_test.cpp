// The vorn executable as an operator meets it: the settings it reports and refuses, and a start
// that cannot succeed. Every run has a clean environment and its own settings folders.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "vorn/build_config.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

size_t lineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class VornCommand : public ::testing::Test {
 protected:
  VornCommand() {
    dir_ = fs::temp_directory_path() /
           ("vorn-command-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "config" / "vorn");
  }
  ~VornCommand() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs vorn with only `environment` (plus XDG folders inside the test's own) and `args`.
  Outcome run(const std::vector<std::string>& environment, const std::vector<std::string>& args) {
    std::string command = "env -i XDG_CONFIG_HOME='" + (dir_ / "config").string() +
                          "' XDG_STATE_HOME='" + (dir_ / "state").string() + "'";
    for (const auto& variable : environment) {
      command += " '" + variable + "'";
    }
    command += std::string(" '") + VORN_EXECUTABLE + "'";
    for (const auto& arg : args) {
      command += " '" + arg + "'";
    }
    command += " >'" + (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "'";
    Outcome result;
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << command;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readAll(dir_ / "out");
    result.err = readAll(dir_ / "err");
    return result;
  }

  std::string userFile() const { return (dir_ / "config" / "vorn" / "vorn.toml").string(); }

  fs::path dir_;
};

TEST_F(VornCommand, prints_and_refuses_settings_before_starting) {
  std::ofstream(userFile()) << "volume = 35\nhwdec = \"no\"\n";
  const auto printed = run({"VORN_PLAYLIST_URL=https://env.invalid/p.json"},
                           {"--print-config", "--max-bitrate", "2500000"});
  EXPECT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.err, "");
  const std::vector<std::string> fragments = {"volume = 35",
                                              "# user file " + userFile(),
                                              "playlist_url = \"https://env.invalid/p.json\"",
                                              "# environment VORN_PLAYLIST_URL",
                                              "max_bitrate = 2500000",
                                              "# command line --max-bitrate",
                                              "windowed = false"};
  for (const auto& fragment : fragments) {
    EXPECT_NE(printed.out.find(fragment), std::string::npos) << fragment << "\n" << printed.out;
  }

  // Bad settings end the run with one line and status 2, whether or not a display is named.
  std::ofstream(userFile()) << "volume = 35\nscren = 1\n";
  for (const auto& environment : std::vector<std::vector<std::string>>{{}, {"DISPLAY=:0"}}) {
    const auto refused = run(environment, {});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "vorn: " + userFile() + ":2: unknown key 'scren' (did you mean 'screen'?)\n");
  }
  fs::remove(userFile());
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--volume", "-3"}, {"--fullscreen"}, {"--windowed", "--headless"}, {"extra"}}) {
    const auto refused = run({}, args);
    EXPECT_EQ(refused.status, 2) << args.front();
    EXPECT_EQ(lineCount(refused.err), 1u) << refused.err;
    EXPECT_NE(refused.err.find(args.front()), std::string::npos) << refused.err;
  }
  // The subcommands are reached through the same executable and refuse in their own words.
  const auto simulate = run({}, {"simulate", "--start", "25:00:00"});
  EXPECT_EQ(simulate.status, 2);
  EXPECT_EQ(simulate.out, "");
  EXPECT_EQ(simulate.err,
            "vorn simulate: --start: expected HH:MM:SS or an ISO 8601 UTC date-time, got "
            "'25:00:00'\n");

  // The version, then the build and the libraries, one "NAME VERSION" line each.
  const auto version = run({}, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind(std::string("vorn ") + build::kVersion + "\ngit ", 0), 0u)
      << version.out;
  for (const char* line : {"\nmpv 0.", "\nFFmpeg ", "\ncurl "}) {
    EXPECT_NE(version.out.find(line), std::string::npos) << line << version.out;
  }
  EXPECT_EQ(lineCount(version.out), 5u) << version.out;
  EXPECT_EQ(version.out.find("unknown"), std::string::npos) << version.out;
  const auto help = run({}, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--developer-mode"), std::string::npos) << help.out;
}

// The words a help text offers: each option's names (a flag's --no- form too) and the commands.
std::set<std::string> wordsOfHelp(const std::string& help) {
  static const std::regex option(R"(\n  (?:-[a-zA-Z],)?(--[a-z-]+)(?:,(--[a-z-]+))?)");
  static const std::regex command(R"(\n  vorn ([a-z]+) )");
  std::set<std::string> words;
  for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
    for (size_t group = 1; group < it->size(); ++group) {
      if ((*it)[group].matched) {
        words.insert((*it)[group]);
      }
    }
  }
  for (std::sregex_iterator it(help.begin(), help.end(), command), end; it != end; ++it) {
    words.insert((*it)[1]);
  }
  return words;
}

// The shell offers each command just the options it takes (one it refuses is a dead end), and
// after an option that takes a value offers no option at all.
TEST_F(VornCommand, the_shell_completes_each_commands_own_options) {
  const std::string completion = readAll(fs::path(VORN_SOURCE_DIR) / "dist/vorn.bash-completion");
  const auto start = completion.find("  case $command in\n");
  ASSERT_NE(start, std::string::npos);
  const std::string prevCase = completion.substr(0, start);
  for (const std::string command : {"simulate", "schedule", "check", "status", "*"}) {
    SCOPED_TRACE(command);
    const auto branch = completion.find("\n    " + command + ")\n", start);
    ASSERT_NE(branch, std::string::npos);
    const auto open = completion.find("options=\"", branch);
    const auto close = completion.find('"', open + 9);
    ASSERT_LT(close, completion.find(";;", branch));
    std::istringstream listed(completion.substr(open + 9, close - open - 9));
    const std::set<std::string> offered{std::istream_iterator<std::string>(listed), {}};
    const auto help = command == "*" ? run({}, {"--help"}) : run({}, {command, "--help"});
    ASSERT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(offered, wordsOfHelp(help.out)) << help.out;
    // An option shown with a value ("--for SECONDS") is one the shell leaves the value to.
    static const std::regex valued(R"(\n  (--[a-z-]+) [A-Z])");
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), valued), end; it != end; ++it) {
      EXPECT_TRUE(std::regex_search(prevCase, std::regex("[ |]" + (*it)[1].str() + "[ )]")))
          << (*it)[1];
    }
  }
}

// What would fail only once the channel plays is refused before anything starts, in one line
// with status 2: an authority file that is not there or holds no certificate, a decoding mode
// mpv does not know, a settings file that cannot be read (with the system's reason).
TEST_F(VornCommand, settings_that_would_fail_later_are_refused_at_start) {
  const std::string notPem = (dir_ / "not.pem").string();
  std::ofstream(notPem) << "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n"
                           "-----END CERTIFICATE-----\n";
  const std::string missing = (dir_ / "missing.pem").string();
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"--ca-file", missing}, "vorn: ca_file " + missing + ": No such file or directory\n"},
      {{"--ca-file", notPem}, "vorn: ca_file " + notPem + ": no PEM certificate in it\n"},
      {{"--ca-file", dir_.string()}, "vorn: ca_file " + dir_.string() + ": Is a directory\n"},
      {{"--hwdec", "vaapi,cuda-copy,nonsense"},
       "vorn: --hwdec: hwdec: expected one of mpv's decoding modes (no, auto-safe, auto, "
       "auto-copy, vaapi, vdpau, nvdec, cuda, qsv, v4l2m2m, drm, ..., each interface also as "
       "NAME-copy), or a list of them, got \"vaapi,cuda-copy,nonsense\"\n"},
  };
  // A display that does not answer: were a case let through, the start would end there (status
  // 1) instead of playing on.
  const std::string display = (dir_ / "no-x-server").string() + ":0";
  for (const auto& c : cases) {
    const auto refused = run({"DISPLAY=" + display}, c.args);
    EXPECT_EQ(refused.status, 2) << c.line;
    EXPECT_EQ(refused.err, c.line);
    EXPECT_EQ(refused.out, "");
  }
  // A real authority is taken: the start goes on past the settings (and fails at the display).
  const std::string authority = (dir_ / "ca.pem").string();
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test "
                         "-keyout '" +
                         (dir_ / "ca.key").string() + "' -out '" + authority + "' >/dev/null 2>&1")
                            .c_str()),
            0);
  const auto started =
      run({"DISPLAY=" + display}, {"--ca-file", authority, "--hwdec", "vaapi-copy,no"});
  EXPECT_EQ(started.status, 1) << started.err;
  EXPECT_NE(started.err.find("cannot start: no display"), std::string::npos) << started.err;

  // A user file that is there but cannot be read: here a loop of links.
  fs::create_symlink(userFile(), userFile());
  const auto unreadable = run({"DISPLAY=" + display}, {});
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.err,
            "vorn: " + userFile() +
                ": cannot read the settings file: Too many levels of symbolic links\n");
}

// The guide's settings reach `vorn schedule --format xmltv` from the command line and from the
// settings file, and a bad id is refused like any bad setting.
TEST_F(VornCommand, the_guide_names_the_channel_as_the_settings_say) {
  const std::string playlist = (dir_ / "p.json").string();
  std::ofstream(playlist) << R"([{"hls_url": "https://s.invalid/news/late.m3u8", "duration": 60}])";
  std::ofstream(userFile()) << "channel_name = \"Lobby & Hall\"\nguide_language = \"de\"\n";
  const auto guide = run({}, {"schedule", "--playlist", playlist, "--from", "2026-12-06T00:00:00Z",
                              "--hours", "0.02", "--format", "xmltv", "--channel-id",
                              "lobby.example.org", "--channel-icon", "https://s.invalid/logo.png"});
  EXPECT_EQ(guide.status, 0) << guide.err;
  for (const char* part :
       {"<channel id=\"lobby.example.org\">\n    <display-name lang=\"de\">Lobby &amp; "
        "Hall</display-name>\n    <icon src=\"https://s.invalid/logo.png\"/>\n  </channel>\n",
        "channel=\"lobby.example.org\">\n    <title lang=\"de\">late</title>\n    <url>"}) {
    EXPECT_NE(guide.out.find(part), std::string::npos) << part << guide.out;
  }
  const auto refused = run({}, {"schedule", "--playlist", playlist, "--channel-id", "vorn"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err,
            "vorn schedule: --channel-id: channel_id: expected a domain-style id such as "
            "\"solvane.tv\", got \"vorn\"\n");
}

// `vorn status` reads the status file within a bound: a path that names a device that never ends
// is reported, not read until memory runs out.
TEST_F(VornCommand, the_status_file_is_read_within_a_bound) {
  const fs::path runtime = dir_ / "runtime";
  fs::create_directories(runtime / "vorn");
  fs::create_symlink("/dev/zero", runtime / "vorn" / "status.json");
  const auto endless = run({"XDG_RUNTIME_DIR=" + runtime.string()}, {"status"});
  EXPECT_EQ(endless.status, 2);
  EXPECT_NE(endless.out.find("status.json: larger than 1 MiB"), std::string::npos) << endless.out;
}

TEST_F(VornCommand, a_display_that_does_not_answer_is_a_failure_to_start) {
  // A socket path of the test's own: nothing listens there.
  const std::string display = (dir_ / "no-x-server").string() + ":0";
  const auto result = run({"DISPLAY=" + display}, {"--windowed"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "vorn: cannot start: no display: cannot connect to X display '" + display +
                            "' (--headless runs without one)\n");

  const auto wayland = run({"WAYLAND_DISPLAY=wayland-test", "XDG_RUNTIME_DIR=" + dir_.string()},
                           {"--developer-mode"});
  EXPECT_EQ(wayland.status, 1);
  EXPECT_EQ(lineCount(wayland.err), 1u) << wayland.err;
  EXPECT_NE(wayland.err.find("Wayland display 'wayland-test'"), std::string::npos);
}

}  // namespace
}  // namespace vorn::testing
