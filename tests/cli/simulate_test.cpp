#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/simulate.h"
#include "tests/worked_example.h"
#include "vorn/build_config.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDebug = "DEBUG: VorniOSViewController: ";

const std::string kWorkedExample = vorn::testing::workedExamplePlaylist();

// Two short streams: a cycle of 5 s.
constexpr const char* kShort =
    R"([{"hls_url": "https://s.invalid/u1", "duration": 3}, {"hls_url": "https://s.invalid/u2", "duration": 2}])";

struct Result {
  int status = -1;
  std::vector<std::string> lines;
  std::string out;
  std::string err;
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// A command line written out as one text; no argument here holds a space.
std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) {
    result.push_back(word);
  }
  return result;
}

class Simulate : public ::testing::Test {
 protected:
  Simulate() {
    dir_ = fs::temp_directory_path() /
           ("vorn-simulate-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    example_ = write("example.json", kWorkedExample);
    short_ = write("short.json", kShort);
  }
  ~Simulate() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string write(const std::string& name, const std::string& contents) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  static Result run(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    Result result;
    result.status = app::runSimulateCommand(args, out, err);
    result.out = out.str();
    result.err = err.str();
    result.lines = splitLines(result.out);
    return result;
  }

  // The lines at one time of day with the time stripped.
  static std::vector<std::string> at(const Result& result, const std::string& time) {
    std::vector<std::string> lines;
    for (const auto& line : result.lines) {
      if (line.rfind(time + " ", 0) == 0) {
        lines.push_back(line.substr(time.size() + 1));
      }
    }
    return lines;
  }

  static bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  static bool contains(const Result& result, const std::string& line) {
    return contains(result.lines, line);
  }

  static size_t count(const Result& result, const std::string& fragment) {
    return static_cast<size_t>(std::count_if(
        result.lines.begin(), result.lines.end(),
        [&](const std::string& line) { return line.find(fragment) != std::string::npos; }));
  }

  static std::string readAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  fs::path dir_;
  std::string example_;
  std::string short_;
};

TEST_F(Simulate, worked_example_prints_the_whole_start_up_log) {
  const auto result = run({"--playlist", example_, "--start", "01:03:20", "--for", "1"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string remote = build::kRemotePlaylistAddress;
  const std::string d = std::string("01:03:20.000 ") + kDebug;
  const std::string b = std::string("01:03:20.333 ") + kDebug;
  EXPECT_EQ(
      result.lines,
      (std::vector<std::string>{
          "01:03:20.000 DEBUG: AppDelegate: applicationDidBecomeActive: ",
          d + "viewDidAppear:",
          d + "updatePlaylist",
          d + "updatePlaylistCompletionHandler:",
          d + "Loaded playlist from Optional(" + remote + ")",
          d + "loadVideos: hasLoopedFromLastVideo: false",
          d + "loadVideos",
          d + "loadVideos: creating initial queuePlayer",
          d + "loadVideos: Seeking to MediaTime(value: 200, timescale: 1)",
          d + "loadVideos: Adding AVPlayerItemDidPlayToEndTimeNotification notifier for "
              "playerItem: Optional(<VornAVPlayerItem: https://streams.invalid/b/index.m3u8>)",
          d + "loadVideos true: playing",
          d + "setInactivityTimer",
          b + "boundaryTimeObserver callback for first video",
          b + "firstVideoLoaded: rate is 1.0, readyForDisplay is true",
          b + "playerResume",
      }));

  // The same instant given as a full date-time: only the time of day matters to the programme.
  const auto dated = run({"--playlist", example_, "--start", "2026-12-06T01:03:20Z", "--for", "1"});
  EXPECT_EQ(dated.lines, result.lines);
  // Fractional seconds and no zone letter are accepted as well.
  const auto fractional =
      run({"--playlist", example_, "--start", "1970-01-01T01:03:20.250", "--for", "0"});
  ASSERT_FALSE(fractional.lines.empty());
  EXPECT_EQ(fractional.lines.front(),
            "01:03:20.250 DEBUG: AppDelegate: applicationDidBecomeActive: ");
}

TEST_F(Simulate, failed_downloads_are_retried_then_the_packaged_copy_is_used) {
  const auto result =
      run({"--playlist", example_, "--start", "01:03:20", "--for", "10", "--remote-fails", "3"});
  ASSERT_EQ(result.status, 0);
  const std::string timedOut =
      "ERROR: VorniOSViewController: Alert: Error fetching playlist: Optional(Error "
      "Domain=VornURLErrorDomain Code=-1001 \"The request timed out.\"";
  // Three attempts 2.0 s apart, then the packaged copy at once.
  for (const char* time : {"01:03:20.000", "01:03:22.000", "01:03:24.000"}) {
    const auto lines = at(result, time);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.rfind(timedOut, 0) == 0; }),
              1)
        << time;
  }
  EXPECT_EQ(count(result, "re-trying in 2.0 seconds"), 2u);
  EXPECT_TRUE(contains(result, std::string("01:03:24.000 ") + kDebug +
                                   "Using local playlist file Optional(file:///usr/share/vorn/"
                                   "vorn-vimeo-playlist.json)"));
  EXPECT_TRUE(contains(result, std::string("01:03:24.000 ") + kDebug +
                                   "Loaded playlist from Optional(file:///usr/share/vorn/"
                                   "vorn-vimeo-playlist.json)"));
  EXPECT_TRUE(contains(result, std::string("01:03:24.000 ") + kDebug +
                                   "loadVideos: Seeking to MediaTime(value: 204, timescale: 1)"));

  // One failure: the retry reaches the remote address.
  const auto once =
      run({"--playlist", example_, "--start", "01:03:20", "--for", "5", "--remote-fails", "1"});
  EXPECT_TRUE(contains(once, std::string("01:03:22.000 ") + kDebug +
                                 "Loaded playlist from Optional(" + build::kRemotePlaylistAddress +
                                 ")"));
  EXPECT_EQ(count(once, "Using local playlist file"), 0u);

  // Without a packaged copy nothing is ever loaded; an explicit one is what plays.
  const auto none =
      run({"--playlist", example_, "--for", "10", "--remote-fails", "3", "--no-packaged"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(count(none, "Loaded playlist"), 0u);
  EXPECT_EQ(count(none, "loadVideos: Seeking"), 0u);
  const auto packaged =
      run({"--playlist", example_, "--for", "10", "--remote-fails", "3", "--packaged", short_});
  EXPECT_TRUE(contains(packaged, std::string("00:00:04.000 ") + kDebug +
                                     "loadVideos: Seeking to MediaTime(value: 1, timescale: 1)"));

  // Without --playlist the remote address is unreachable and the packaged copy is an empty list.
  const auto unreachable = run({"--for", "10"});
  EXPECT_EQ(unreachable.status, 0);
  EXPECT_EQ(count(unreachable, "Code=-1003"), 3u);
  EXPECT_EQ(count(unreachable, "loadVideos: Seeking"), 0u);
}

TEST_F(Simulate, settings_choose_the_remote_address_and_developer_mode) {
  const std::string other = "https://other.invalid/p.json";
  const auto moved =
      run({"--playlist-url", other, "--playlist", example_, "--start", "01:03:20", "--for", "5",
           "--event", "1:remote-down", "--event", "2:background", "--event", "3:foreground"});
  EXPECT_EQ(moved.status, 0) << moved.err;
  EXPECT_TRUE(contains(moved, std::string("01:03:20.000 ") + kDebug +
                                  "Loaded playlist from Optional(" + other + ")"));
  // The outage is scripted on the address the channel fetches: the foreground's fetch fails.
  EXPECT_TRUE(contains(moved,
                       "01:03:23.000 ERROR: VorniOSViewController: Alert: Error fetching playlist: "
                       "Optional(Error Domain=VornURLErrorDomain Code=-1009 \"The Internet "
                       "connection appears to be offline.\")"));

  const auto config =
      write("vorn.toml", "developer_mode = true\nplaylist_url = \"" + other + "\"\n");
  const auto developer =
      run({"--config", config, "--playlist", example_, "--start", "01:03:20", "--for", "1"});
  EXPECT_EQ(developer.status, 0) << developer.err;
  EXPECT_EQ(count(developer, "Seeking to MediaTime(value: 0, timescale: 1)"), 1u);
  EXPECT_EQ(count(developer, "Loaded playlist from Optional(" + other + ")"), 0u);
  // The command line turns the file's switch off again.
  const auto plain = run({"--config", config, "--no-developer-mode", "--playlist", example_,
                          "--start", "01:03:20", "--for", "1"});
  EXPECT_EQ(count(plain, "Seeking to MediaTime(value: 200, timescale: 1)"), 1u);

  const auto bad = write("bad.toml", "developer_mode = \"yes\"\n");
  const auto refused = run({"--config", bad});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "vorn simulate: " + bad + ":1: developer_mode: expected true or false, got \"yes\"\n");
}

TEST_F(Simulate, events_reach_the_application_at_their_times) {
  const auto result = run(words("--playlist " + example_ +
                                " --start 01:03:20 --for 8 --trace --event 2:tap"
                                " --event 3:resize:1280x720 --event 6:foreground --event 4:tap"
                                " --event 5:background --event 6:become-active --event 7:tap"));
  ASSERT_EQ(result.status, 0);
  // A tap pauses: the band comes up at the foot of the screen with the paused heading.
  const auto paused = at(result, "01:03:22.000");
  EXPECT_TRUE(contains(paused, std::string(kDebug) + "handleAllGestureRecognizers: pausing"));
  EXPECT_TRUE(contains(paused, "TRACE: rate: 0.0"));
  EXPECT_TRUE(contains(paused, R"(TRACE: band shown: "Solvane TV - Paused\nNow playing:\n" frame )"
                               "(0.0, 980.0, 1920.0, 100.0)"));
  // The second tap resumes and hides the band.
  const auto resumed = at(result, "01:03:24.000");
  EXPECT_TRUE(contains(resumed, "TRACE: band hidden"));
  EXPECT_TRUE(contains(resumed, std::string(kDebug) + "playerResume"));
  // Going to the background pauses; the band now takes the resized screen's width.
  const auto background = at(result, "01:03:25.000");
  EXPECT_TRUE(contains(background, std::string(kDebug) + "Frame is (0.0, 0.0, 1280.0, 720.0)"));
  EXPECT_TRUE(contains(background,
                       R"(TRACE: band shown: "Solvane TV - Paused\nNow playing:\n" frame )"
                       "(0.0, 620.0, 1280.0, 100.0)"));
  // Foreground, then active, in command-line order at the same instant: the playlist is fetched
  // again and the queue rebuilt at the clock.
  const auto foreground = at(result, "01:03:26.000");
  ASSERT_GE(foreground.size(), 3u);
  EXPECT_EQ(foreground[0], "DEBUG: AppDelegate: applicationWillEnterForeground:");
  EXPECT_EQ(
      foreground[1],
      "DEBUG: AppDelegate: queuePlayer rate is Optional(0.0), airPlayScreenConnected is false");
  EXPECT_EQ(foreground[2], std::string(kDebug) + "updatePlaylist");
  EXPECT_EQ(foreground.back(), "DEBUG: AppDelegate: applicationDidBecomeActive: ");
  EXPECT_TRUE(
      contains(foreground,
               std::string(kDebug) + "loadVideos: Seeking to MediaTime(value: 206, timescale: 1)"));
  // The event at 7 s happens; none past --for does.
  EXPECT_EQ(count(result, "handleTapGestureRecognizer:"), 3u);
  const auto late = run({"--playlist", example_, "--for", "5", "--event", "6:tap"});
  EXPECT_EQ(count(late, "handleTapGestureRecognizer"), 0u);

  // With the external screen flag set, coming back does not fetch again; remote-down makes the
  // next fetch fail, remote-up brings the document back.
  const auto screen = run(words("--playlist " + example_ +
                                " --for 20 --event 1:screen-connect --event 2:background"
                                " --event 3:foreground --event 4:screen-disconnect"
                                " --event 5:remote-down --event 6:background --event 7:foreground"
                                " --event 8:remote-up"));
  EXPECT_TRUE(contains(screen,
                       "00:00:03.000 DEBUG: AppDelegate: queuePlayer rate is "
                       "Optional(0.0), airPlayScreenConnected is true"));
  EXPECT_EQ(at(screen, "00:00:03.000").size(), 2u);
  EXPECT_EQ(count(screen, "Code=-1009"), 1u);
  EXPECT_TRUE(contains(screen, std::string("00:00:09.000 ") + kDebug +
                                   "Loaded playlist from Optional(" +
                                   build::kRemotePlaylistAddress + ")"));
}

TEST_F(Simulate, trace_lines_are_well_formed_and_records_appear_once_in_order) {
  const auto args = words("--playlist " + short_ +
                          " --for 30 --event 7:tap --event 9:swipe-left --event 12:remote-toggle"
                          " --event 13:play-pause-button");
  const auto plain = run(args);
  auto traced_args = args;
  traced_args.push_back("--trace");
  const auto traced = run(traced_args);
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(traced.status, 0);

  const std::regex line(R"(^(\d\d):(\d\d):(\d\d)\.(\d{3}) (TRACE|DEBUG|ERROR): .*$)");
  std::string previous;
  std::vector<std::string> records;
  for (const auto& text : traced.lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << text;
    const std::string time = text.substr(0, 12);
    EXPECT_LE(previous, time) << text;  // never back in time
    previous = time;
    if (match[5] != "TRACE") {
      records.push_back(text);
    }
  }
  // Tracing adds lines and changes none of the records.
  EXPECT_EQ(records, plain.lines);
  EXPECT_GT(traced.lines.size(), plain.lines.size());
  for (const char* expected :
       {"TRACE: download started: ", "TRACE: download finished: ",
        "TRACE: current item: https://s.invalid/u2 at ", "TRACE: rate: 1.0", "TRACE: rate: 0.0",
        "TRACE: indicator started", "TRACE: indicator stopped", "TRACE: band hidden",
        "TRACE: timer scheduled: inactivityTimer: fires at 01:00:00.000",
        "TRACE: timer invalidated: inactivityTimer:", "TRACE: band shown: "}) {
    EXPECT_GT(count(traced, expected), 0u) << expected;
  }
  EXPECT_EQ(count(traced, "TRACE: log: "), 0u);
  // The four inputs are toggles: pause, resume, pause, resume.
  EXPECT_EQ(count(plain, "handleAllGestureRecognizers: pausing"), 2u);
  EXPECT_EQ(count(plain, "handleAllGestureRecognizers: paused, resuming"), 2u);
}

TEST_F(Simulate, stream_lengths_come_from_the_playlist_unless_given) {
  // Listed lengths: https://s.invalid/u1 3 s, https://s.invalid/u2 2 s, so the queue ends every 5
  // s.
  const auto listed = run({"--playlist", short_, "--for", "11"});
  for (const char* time : {"00:00:05.000", "00:00:10.000"}) {
    EXPECT_TRUE(contains(listed, std::string(time) + " " + kDebug +
                                     "lastVideoPlayedToEnd: object: Optional(<VornAVPlayerItem: "
                                     "https://s.invalid/u2>)"))
        << time;
  }
  EXPECT_EQ(count(listed, "lastVideoPlayedToEnd"), 2u);
  // https://s.invalid/u2 really lasts 4 s: cut where its slot ends, the queue still ends at 5 s.
  const auto longer =
      run({"--playlist", short_, "--for", "8", "--media-length", "https://s.invalid/u2=4"});
  EXPECT_TRUE(contains(longer, std::string("00:00:05.000 ") + kDebug +
                                   "lastVideoPlayedToEnd: object: Optional(<VornAVPlayerItem: "
                                   "https://s.invalid/u2>)"));
  EXPECT_EQ(count(longer, "lastVideoPlayedToEnd"), 1u);
  // Unlisted or unusable durations leave the 60 s default.
  const auto odd = write("odd.json",
                         R"([{"hls_url": "https://s.invalid/u1", "duration": -3},
                             {"hls_url": "https://s.invalid/u1", "duration": 2},
                             {"hls_url": "https://s.invalid/u2", "duration": "2"}])");
  const auto fallback = run({"--playlist", odd, "--for", "70", "--trace"});
  // The first entry for u1 decides (-3: the default), so the second u1 item starts after 60 s;
  // listed at 2 s, it is cut there and the next queue starts at 62 s.
  for (const char* time : {"00:00:00.000", "00:01:00.000", "00:01:02.000"}) {
    EXPECT_TRUE(contains(fallback,
                         std::string(time) + " TRACE: current item: https://s.invalid/u1 at 0.000"))
        << time;
  }

  // A broken stream fails when its turn comes; its slot shows the slate, and u2 starts on time.
  const auto broken =
      run({"--playlist", short_, "--for", "6", "--trace", "--broken", "https://s.invalid/u1"});
  EXPECT_TRUE(contains(broken, "00:00:00.000 TRACE: item failed: https://s.invalid/u1"));
  EXPECT_TRUE(contains(broken, "00:00:03.000 TRACE: current item: https://s.invalid/u2 at 0.000"));
  EXPECT_TRUE(contains(broken, std::string("00:00:05.000 ") + kDebug +
                                   "lastVideoPlayedToEnd: object: Optional(<VornAVPlayerItem: "
                                   "https://s.invalid/u2>)"));
}

TEST_F(Simulate, any_playlist_bytes_reach_the_channel) {
  // Not JSON: the channel reports the parse error itself and falls back; the run succeeds.
  const auto garbage = write("garbage.json", "{not json");
  const auto result = run({"--playlist", garbage, "--packaged", short_, "--for", "5"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_GT(count(result, "ERROR: VorniOSViewController: Alert: "), 0u);
  EXPECT_GT(count(result, "Loaded playlist from Optional(file:///usr/share/vorn/"), 0u);
  // Developer mode pins the clock to 0 and uses the packaged copy.
  const auto developer = run({"--playlist", example_, "--start", "01:03:20", "--for", "1",
                              "--developer-mode", "--packaged", short_});
  EXPECT_EQ(developer.status, 0);
  EXPECT_EQ(count(developer, "Seeking to MediaTime(value: 0, timescale: 1)"), 1u);
  EXPECT_EQ(count(developer, "Optional(<VornAVPlayerItem: https://s.invalid/u2>)"), 1u);
}

TEST_F(Simulate, bad_options_fail_with_one_line) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--for"},
      {"--for", "-1"},
      {"--for", "soon"},
      {"--for", "nan"},
      {"--for", "1", "--for", "2"},
      {"--start", "25:00:00"},
      {"--start", "12:60:00"},
      {"--start", "2026-02-30T00:00:00Z"},
      {"--start", "2026-12-06 01:03:20"},
      {"--start", "1969-12-31T23:59:59Z"},
      {"--playlist", (dir_ / "missing.json").string()},
      {"--playlist", dir_.string()},
      {"--packaged", (dir_ / "missing.json").string()},
      {"--packaged", short_, "--no-packaged"},
      {"--remote-fails", "many"},
      {"--remote-fails", "-1"},
      {"--event", "tap"},
      {"--event", "1:fly"},
      {"--event", "x:tap"},
      {"--event", "1:resize:100"},
      {"--event", "1:resize:0x100"},
      {"--event", "1:resize:axb"},
      {"--media-length", "https://s.invalid/u1"},
      {"--media-length", "https://s.invalid/u1=long"},
      {"--media-length", "https://s.invalid/u1=1", "--media-length", "https://s.invalid/u1=2"},
      {"--trace=yes"},
      {"extra"},
  };
  for (const auto& args : cases) {
    const auto result = run(args);
    std::string joined;
    for (const auto& arg : args) {
      joined += arg + " ";
    }
    EXPECT_EQ(result.status, 2) << joined;
    EXPECT_EQ(result.out, "") << joined;
    EXPECT_EQ(splitLines(result.err).size(), 1u) << joined << result.err;
    EXPECT_EQ(result.err.rfind("vorn simulate: ", 0), 0u) << joined;
  }
  EXPECT_EQ(run({"--start", "25:00:00"}).err,
            "vorn simulate: --start: expected HH:MM:SS or an ISO 8601 UTC date-time, got "
            "'25:00:00'\n");
  // Repeating an option with the same value is harmless, as is the --name=value form.
  EXPECT_EQ(run({"--for", "0", "--for=0"}).status, 0);

  const auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_NE(help.out.find("Usage: vorn simulate"), std::string::npos);
}

TEST_F(Simulate, executable_reports_bad_options_through_its_exit_status) {
  const auto out = (dir_ / "out.txt").string();
  const auto err = (dir_ / "err.txt").string();
  const std::string command = std::string("'") + VORN_SIMULATE_EXECUTABLE +
                              "' --start 25:00:00 >'" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  std::ifstream errFile(err);
  const std::string errText((std::istreambuf_iterator<char>(errFile)), {});
  EXPECT_EQ(errText,
            "vorn simulate: --start: expected HH:MM:SS or an ISO 8601 UTC date-time, got "
            "'25:00:00'\n");
  EXPECT_EQ(fs::file_size(out), 0u);

  const std::string good = std::string("'") + VORN_SIMULATE_EXECUTABLE + "' --playlist '" +
                           example_ + "' --start 01:03:20 --for 1 >'" + out + "' 2>'" + err + "'";
  const int goodStatus = std::system(good.c_str());
  ASSERT_TRUE(WIFEXITED(goodStatus));
  EXPECT_EQ(WEXITSTATUS(goodStatus), 0);
  std::ifstream outFile(out);
  const auto lines = splitLines(std::string((std::istreambuf_iterator<char>(outFile)), {}));
  EXPECT_EQ(lines.size(), 15u);
  EXPECT_EQ(fs::file_size(err), 0u);
}

TEST_F(Simulate, serve_at_remote_hang_and_state_dir_script_the_refresh) {
  // From 300 s on the remote address serves another document: the refresh at 400 s finds it and
  // it plays from the end of the item on screen (C, 1000 s after launch).
  const auto edited = run(words("--playlist " + example_ + " --serve-at 300:" + short_ +
                                " --start 01:03:20 --for 1001 --refresh-interval 400"));
  ASSERT_EQ(edited.status, 0) << edited.err;
  EXPECT_TRUE(contains(edited, std::string("01:10:00.000 ") + kDebug +
                                   "refreshPlaylist: new playlist from Optional(" +
                                   build::kRemotePlaylistAddress +
                                   "); applying it at the next item boundary"));
  EXPECT_EQ(count(edited, "applying the new playlist"), 1u);
  EXPECT_TRUE(contains(at(edited, "01:20:00.000"),
                       std::string(kDebug) + "loadVideos: hasLoopedFromLastVideo: true"));
  EXPECT_EQ(count(edited, "playerItem: Optional(<VornAVPlayerItem: https://s.invalid/"), 1u);

  // A hung remote address: the refresh gives up after the fetch timeout, with one line.
  const auto hung = run(words("--playlist " + example_ +
                              " --for 200 --refresh-interval 100 --fetch-timeout 3 --trace"
                              " --event 50:remote-hang --event 150:remote-up"));
  ASSERT_EQ(hung.status, 0) << hung.err;
  const std::string remote = build::kRemotePlaylistAddress;
  EXPECT_TRUE(contains(at(hung, "00:01:40.000"), "TRACE: download started: " + remote));
  EXPECT_EQ(at(hung, "00:01:43.000"),
            (std::vector<std::string>{
                "ERROR: VorniOSViewController: Alert: refreshPlaylist: Error fetching playlist: "
                "Optional(Error Domain=VornURLErrorDomain Code=-1001 \"The request timed out.\")",
                "TRACE: download finished: " + remote}));
  EXPECT_TRUE(contains(at(hung, "00:03:20.000"),
                       std::string(kDebug) + "refreshPlaylist: playlist unchanged"));

  // The saved copy in a real folder: one run keeps it, the next one plays it when the remote
  // address fails, before the packaged copy; a damaged one is ignored with one line.
  const std::string state = (dir_ / "state").string();
  ASSERT_EQ(run(words("--playlist " + short_ + " --for 1 --state-dir " + state)).status, 0);
  EXPECT_EQ(readAll(state + "/playlist.json"), kShort);
  const auto saved =
      run(words("--remote-fails 3 --packaged " + example_ + " --for 5 --state-dir " + state));
  EXPECT_TRUE(contains(saved, std::string("00:00:04.000 ") + kDebug + "Using saved playlist file " +
                                  state + "/playlist.json"));
  EXPECT_EQ(count(saved, "Using local playlist file"), 0u);
  EXPECT_EQ(count(saved, "playerItem: Optional(<VornAVPlayerItem: https://s.invalid/"), 1u);
  write("state/playlist.json", "[{\"hls_url\": ");
  const auto damaged =
      run(words("--remote-fails 3 --packaged " + example_ + " --for 5 --state-dir " + state));
  EXPECT_EQ(count(damaged, "Alert: Ignoring saved playlist " + state + "/playlist.json: "), 1u);
  EXPECT_EQ(count(damaged, "Using local playlist file"), 1u);

  // Bad values are refused with one line, and every new option is in the help.
  const auto noFile = run({"--serve-at", "5"});
  EXPECT_EQ(noFile.status, 2);
  EXPECT_EQ(noFile.err, "vorn simulate: --serve-at: expected SECONDS:FILE, got '5'\n");
  const auto missing = run({"--serve-at", "5:" + (dir_ / "missing.json").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("--serve-at: cannot read"), std::string::npos) << missing.err;
  EXPECT_EQ(run({"--refresh-interval", "0"}).status, 2);
  EXPECT_EQ(run({"--fetch-timeout", "-1"}).status, 2);
  const auto help = run({"--help"});
  for (const char* text : {"--serve-at SECONDS:FILE", "--state-dir DIR", "--refresh-interval",
                           "--fetch-timeout", "remote-hang"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
}

TEST_F(Simulate, a_week_runs_to_the_end) {
  // A 5 s programme kept playing by a tap every day (the inactivity timer pauses it hourly).
  std::vector<std::string> args = {"--playlist", short_, "--for", "604800"};
  for (int day = 0; day < 7; ++day) {
    args.push_back("--event");
    args.push_back(std::to_string(day * 86400 + 7200) + ":tap");
  }
  const auto result = run(args);
  ASSERT_EQ(result.status, 0);
  // An hour of playing after launch and after each daily resume: 720 queue ends each.
  EXPECT_EQ(count(result, "lastVideoPlayedToEnd"), 8u * 720u);
  EXPECT_EQ(count(result, "inactivityTimer"), 8u);
  EXPECT_EQ(count(result, "handleAllGestureRecognizers: paused, resuming"), 7u);
}

}  // namespace
}  // namespace vorn::testing
