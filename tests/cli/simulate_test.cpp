#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "simulate/simulate.h"
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
  operator const std::vector<std::string>&() const { return lines; }
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
  static size_t count(const std::vector<std::string>& lines, const std::string& fragment) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
      return line.find(fragment) != std::string::npos;
    }));
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

TEST_F(Simulate, failed_or_unreadable_downloads_are_retried_then_the_packaged_copy_is_used) {
  const auto result =
      run({"--playlist", example_, "--start", "01:03:20", "--for", "10", "--remote-fails", "3"});
  ASSERT_EQ(result.status, 0);
  const std::string timedOut =
      "ERROR: VorniOSViewController: Alert: Error fetching playlist: Optional(Error "
      "Domain=VornURLErrorDomain Code=-1001 \"The request timed out.\"";
  // Three attempts 2.0 s apart, then the packaged copy at once.
  EXPECT_EQ(count(result, timedOut), 3u);
  EXPECT_TRUE(contains(result, std::string("01:03:24.000 ") + kDebug +
                                   "Loaded playlist from Optional(file:///usr/share/vorn/"
                                   "vorn-vimeo-playlist.json)"));

  // Without a packaged copy nothing is ever loaded.
  const auto none =
      run({"--playlist", example_, "--for", "10", "--remote-fails", "3", "--no-packaged"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(count(none, "Loaded playlist"), 0u);
  EXPECT_EQ(count(none, "loadVideos: Seeking"), 0u);

  // Without --playlist the remote address is unreachable and the packaged copy is an empty list.
  const auto unreachable = run({"--for", "10"});
  EXPECT_EQ(unreachable.status, 0);
  EXPECT_EQ(count(unreachable, "Code=-1003"), 3u);
  EXPECT_EQ(count(unreachable, "loadVideos: Seeking"), 0u);

  // Not JSON: the channel reports the parse error itself and falls back; the run succeeds.
  const auto garbage = write("garbage.json", "{not json");
  const auto unreadable = run({"--playlist", garbage, "--packaged", short_, "--for", "5"});
  EXPECT_EQ(unreadable.status, 0);
  EXPECT_EQ(unreadable.err, "");
  EXPECT_GT(count(unreadable, "ERROR: VorniOSViewController: Alert: "), 0u);
  EXPECT_GT(count(unreadable, "Loaded playlist from Optional(file:///usr/share/vorn/"), 0u);
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
}

// Left alone, the channel pauses itself an hour after its load, with the band, for good; the
// setting moves that hour or (0) removes the pause, while the default run stays line for line.
TEST_F(Simulate, inactivity_pause_moves_or_removes_the_self_pause) {
  const auto args = words("--playlist " + example_ + " --start 12:00:00 --for 14400 --trace");
  const auto standard = run(args);
  ASSERT_EQ(standard.status, 0) << standard.err;
  const auto atPause = at(standard, "13:00:00.000");
  const auto pausedAt = std::find(atPause.begin(), atPause.end(), "TRACE: rate: 0.0");
  ASSERT_NE(pausedAt, atPause.end());
  EXPECT_NE(std::find(atPause.begin(), pausedAt, std::string(kDebug) + "inactivityTimer:"),
            pausedAt);
  EXPECT_EQ(pausedAt[1],
            "TRACE: band shown: \"Solvane TV - Paused\\nNow playing:\\n\" frame (0.0, 980.0, "
            "1920.0, 100.0)");
  // Paused for good: the last change of rate is that one.
  std::vector<std::string> rates;
  std::copy_if(
      standard.lines.begin(), standard.lines.end(), std::back_inserter(rates),
      [](const std::string& line) { return line.find(" TRACE: rate: ") != std::string::npos; });
  ASSERT_FALSE(rates.empty());
  EXPECT_EQ(rates.back(), "13:00:00.000 TRACE: rate: 0.0");
  auto explicitDefault = args;
  explicitDefault.insert(explicitDefault.end(), {"--inactivity-pause", "3600"});
  EXPECT_EQ(run(explicitDefault).lines, standard.lines);

  auto never = args;
  never.insert(never.end(), {"--inactivity-pause", "0"});
  const auto alwaysOn = run(never);
  ASSERT_EQ(alwaysOn.status, 0) << alwaysOn.err;
  EXPECT_EQ(count(alwaysOn, "inactivityTimer:"), 0u);
  EXPECT_EQ(count(alwaysOn, "TRACE: rate: 0.0"), 0u);
  EXPECT_EQ(count(alwaysOn, "Solvane TV - Paused"), 0u);
  EXPECT_EQ(count(alwaysOn, "setInactivityTimer"), 1u);
  // Looped loads go on all the while.
  EXPECT_EQ(count(alwaysOn, "loadVideos: hasLoopedFromLastVideo: true"), 6u);

  const auto config = write("vorn.toml", "inactivity_pause = 900.5\n");
  auto fromFile = args;
  fromFile.insert(fromFile.end(), {"--config", config});
  const auto early = run(fromFile);
  ASSERT_EQ(early.status, 0) << early.err;
  EXPECT_TRUE(contains(early,
                       "12:00:00.000 TRACE: timer scheduled: inactivityTimer: fires at "
                       "12:15:00.500"));
  EXPECT_TRUE(contains(early, "12:15:00.500 TRACE: rate: 0.0"));
  EXPECT_EQ(count(early, "TRACE: rate: 0.0"), 1u);

  const auto negative = run({"--inactivity-pause", "-5"});
  EXPECT_EQ(negative.status, 2);
  EXPECT_EQ(negative.err,
            "vorn simulate: --inactivity-pause: inactivity_pause: expected a number of seconds "
            "from 0 (never) to a year, got \"-5\"\n");
}

TEST_F(Simulate, events_reach_the_application_at_their_times) {
  const auto result = run(words("--playlist " + example_ +
                                " --start 01:03:20 --for 8 --trace --event 2:tap"
                                " --event 3:resize:1280x720 --event 6:foreground --event 4:tap"
                                " --event 5:background --event 6:become-active --event 7:tap"));
  ASSERT_EQ(result.status, 0);
  // Going to the background pauses; the band takes the resized screen's width.
  EXPECT_TRUE(contains(at(result, "01:03:25.000"),
                       R"(TRACE: band shown: "Solvane TV - Paused\nNow playing:\n" frame )"
                       "(0.0, 620.0, 1280.0, 100.0)"));
  // Foreground, then active, in command-line order at the same instant: the playlist is fetched
  // again and the queue rebuilt at the clock.
  const auto foreground = at(result, "01:03:26.000");
  ASSERT_FALSE(foreground.empty());
  EXPECT_EQ(foreground.front(), "DEBUG: AppDelegate: applicationWillEnterForeground:");
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
  for (const char* expected :
       {"TRACE: download started: ", "TRACE: download finished: ",
        "TRACE: current item: https://s.invalid/u2 at ", "TRACE: rate: 1.0", "TRACE: rate: 0.0",
        "TRACE: indicator started", "TRACE: indicator stopped", "TRACE: band hidden",
        "TRACE: timer scheduled: inactivityTimer: fires at 01:00:00.000",
        "TRACE: timer invalidated: inactivityTimer:", "TRACE: band shown: ",
        "TRACE: event: item started: "}) {
    EXPECT_GT(count(traced, expected), 0u) << expected;
  }
  EXPECT_EQ(count(traced, "TRACE: log: "), 0u);
  // The four inputs are toggles: pause, resume, pause, resume.
  EXPECT_EQ(count(plain, "handleAllGestureRecognizers: pausing"), 2u);
  EXPECT_EQ(count(plain, "handleAllGestureRecognizers: paused, resuming"), 2u);
}

// The seek's log line and every record stay as they are in both modes; only the picture's
// placement and its corrections differ.
TEST_F(Simulate, sync_frame_places_to_the_fraction_and_traces_drift_second_keeps_the_second) {
  const auto one = write("one.json", R"([{"hls_url": "https://s.invalid/slow", "duration": 30}])");
  const auto args = words("--playlist " + one +
                          " --start 2026-12-06T01:00:04.4Z --for 20 --trace"
                          " --pace https://s.invalid/slow=0.98");
  const auto frame = run(args);
  auto secondArgs = args;
  secondArgs.insert(secondArgs.end(), {"--sync", "second"});
  const auto second = run(secondArgs);
  ASSERT_EQ(frame.status, 0) << frame.err;
  ASSERT_EQ(second.status, 0) << second.err;

  auto records = [](const Result& result) {
    std::vector<std::string> texts;
    for (const auto& line : result.lines) {
      if (line.find(" TRACE: ") == std::string::npos) {
        texts.push_back(line.substr(13));
      }
    }
    return texts;
  };
  EXPECT_EQ(records(frame), records(second));
  EXPECT_EQ(count(frame, "loadVideos: Seeking to MediaTime(value: 4, timescale: 1)"), 1u);

  // At the load the player places the picture exactly after the logged whole-second seek; the
  // first-frame mark a third of a second after that second is then already behind it.
  const std::string placed = "TRACE: seek: https://s.invalid/slow to 4.400";
  EXPECT_TRUE(contains(at(frame, "01:00:04.400"), placed));
  EXPECT_TRUE(contains(at(frame, "01:00:04.400"), "TRACE: band hidden"));
  EXPECT_FALSE(contains(at(second, "01:00:04.400"), placed));
  // A third of a second of media at 98 %.
  EXPECT_TRUE(contains(at(second, "01:00:04.740"), "TRACE: band hidden"));
  const std::regex drift(
      R"(^\d\d:\d\d:\d\d\.\d{3} TRACE: drift: https://s\.invalid/slow [+-]\d\.\d{3}$)");
  size_t drifts = 0;
  for (const auto& line : frame.lines) {
    if (line.find("TRACE: drift: ") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, drift)) << line;
      ++drifts;
    }
  }
  EXPECT_GT(drifts, 0u);
  EXPECT_EQ(count(second, "TRACE: drift: "), 0u);
}

// Operator events are trace lines: a slate shown and lifted, and the item that follows it.
TEST_F(Simulate, operator_events_show_only_with_the_trace) {
  const auto args =
      words("--playlist " + example_ +
            " --start 01:03:20 --for 1010 --broken https://streams.invalid/c/index.m3u8");
  auto traced_args = args;
  traced_args.push_back("--trace");
  const auto traced = run(traced_args);
  ASSERT_EQ(traced.status, 0) << traced.err;
  EXPECT_EQ(count(run(args), "event: "), 0u);
  EXPECT_EQ(count(traced, "TRACE: event: slate shown: itemFailedToPlay until 01:20:00"), 1u);
  EXPECT_EQ(count(traced, "TRACE: event: slate lifted: itemFailedToPlay"), 1u);
  EXPECT_TRUE(contains(at(traced, "01:20:00.333"),
                       "TRACE: event: item started: Alpha by Ann (1/3), clock offset "
                       "+0.00 s"));
}

// Listed lengths and --media-length are read by every slot check below; what is left is the
// default where a listing says nothing usable.
TEST_F(Simulate, unusable_listed_lengths_leave_the_default_and_the_first_entry_decides) {
  // Unlisted or unusable durations leave the 60 s default.
  const auto odd = write("odd.json",
                         R"([{"hls_url": "https://s.invalid/u1", "duration": -3},
                             {"hls_url": "https://s.invalid/u1", "duration": 2},
                             {"hls_url": "https://s.invalid/u2", "duration": "2"}])");
  const auto fallback = run({"--playlist", odd, "--for", "70", "--trace"});
  // The first entry for u1 decides (-3: the default), so the second u1 item starts after 60 s;
  // listed at 2 s, it is cut there and the next queue starts at 62 s. u2's text duration leaves
  // it out.
  std::vector<std::string> current;
  std::copy_if(
      fallback.lines.begin(), fallback.lines.end(), std::back_inserter(current),
      [](const std::string& line) { return line.find("current item:") != std::string::npos; });
  const std::string u1 = " TRACE: current item: https://s.invalid/u1 at 0.000";
  EXPECT_EQ(current, (std::vector<std::string>{"00:00:00.000" + u1, "00:01:00.000" + u1,
                                               "00:01:02.000 TRACE: current item: none",
                                               "00:01:02.000" + u1}));
}

TEST_F(Simulate, bad_options_fail_with_one_line) {
  const std::string missing = (dir_ / "missing.json").string();
  // Where a message is given, it names what was refused, with any line feed in it escaped.
  struct Case {
    std::vector<std::string> args;
    std::string message = "";
  };
  const std::vector<Case> cases = {
      {{"--bogus"}},
      {{"--no-such\noption"}},
      {{"--for"}},
      {{"--for", "-1"}},
      {{"--for", "soon"}},
      {{"--for", "nan"}},
      {{"--for", "1", "--for", "2"}},
      {{"--start", "25:00:00"},
       "--start: expected HH:MM:SS or an ISO 8601 UTC date-time, got '25:00:00'"},
      {{"--start", "12:60:00"}},
      {{"--start", "2026-02-30T00:00:00Z"}},
      {{"--start", "2026-12-06 01:03:20"}},
      {{"--start", "1969-12-31T23:59:59Z"}},
      {{"--start", "01:00\n:00"},
       "--start: expected HH:MM:SS or an ISO 8601 UTC date-time, got '01:00\\n:00'"},
      {{"--playlist", missing}},
      {{"--playlist", dir_.string()}},
      // A path that never ends is refused at the bound, not read until memory runs out.
      {{"--serve-at", "5:/dev/zero"}, "--serve-at: cannot read '/dev/zero': larger than 64 MiB"},
      {{"--screen-id", "-1"},
       "--screen-id: expected a whole number from 0 to 18446744073709551615, got '-1'"},
      {{"--screen-id", "18446744073709551616"}},
      {{"--packaged", missing}},
      {{"--packaged", short_, "--no-packaged"}},
      {{"--remote-fails", "many"}},
      {{"--remote-fails", "-1"}},
      {{"--event", "tap"}},
      {{"--event", "1:fly"}},
      {{"--event", "x:tap"}},
      {{"--event", "1:resize:100"}},
      {{"--event", "1:resize:0x100"}},
      {{"--event", "1:resize:axb"}},
      {{"--event", "1:resize:10x\n20"}},
      // Sizes past any screen.
      {{"--event", "1:resize:1e308x1e308"},
       "--event: resize: W and H must be at most 100000 points, got '1e308x1e308'"},
      {{"--event", "1:resize:100001x10"}},
      {{"--event", "1:resize:10x1e9"}},
      {{"--media-length", "https://s.invalid/u1"}},
      {{"--media-length", "https://s.invalid/u1=long"}},
      {{"--media-length", "https://s.invalid/u1=1", "--media-length", "https://s.invalid/u1=2"}},
      {{"--gone", "https://s.invalid/u1=5"},
       "--gone: expected URL=AT:FOR or URL=AT:forever, got 'https://s.invalid/u1=5'"},
      {{"--gone", "https://s.invalid/u1=5:1", "--gone", "https://s.invalid/u1=9:1"},
       "--gone: 'https://s.invalid/u1' given twice"},
      {{"--serve-at", "5"}, "--serve-at: expected SECONDS:FILE, got '5'"},
      {{"--serve-at", "5:" + missing}},
      {{"--refresh-interval", "0"}},
      {{"--fetch-timeout", "-1"}},
      {{"--volume", "5\n"}},
      // A flag's value that is not a truth word nor a whole number.
      {{"--developer-mode=/x"}},
      {{"--developer-mode=99999999999999999999"}},
      {{"--trace=yes"}},
      {{"extra"}},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const auto result = run(args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(splitLines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("vorn simulate: ", 0), 0u);
    if (!message.empty()) {
      EXPECT_EQ(result.err, "vorn simulate: " + message + "\n");
    }
  }
  // Repeating an option with the same value is harmless, as is the --name=value form; the largest
  // size taken runs like any other.
  EXPECT_EQ(run({"--for", "0", "--for=0"}).status, 0);
  const auto largest = run({"--playlist", short_, "--start", "01:00:00", "--for", "2", "--event",
                            "1:resize:100000x100000"});
  EXPECT_EQ(largest.status, 0) << largest.err;

  const auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* text : {"Usage: vorn simulate", "--serve-at SECONDS:FILE", "--state-dir DIR",
                           "--refresh-interval", "--fetch-timeout", "remote-hang"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
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
                "TRACE: download finished: " + remote,
                "TRACE: event: playlist refresh failed: The request timed out."}));
  EXPECT_TRUE(contains(at(hung, "00:03:20.000"),
                       std::string(kDebug) + "refreshPlaylist: playlist unchanged"));

  // Refreshes keep the interval exactly, unless the screen has an identity among a fleet's: then
  // each comes up to 10 % sooner or later, the same way in every run.
  const auto scheduled = [&](const std::string& extra) {
    std::vector<std::string> times;
    for (const auto& line :
         run(words("--playlist " + short_ + " --for 1300 --trace" + extra)).lines) {
      if (line.find("TRACE: timer scheduled: refreshPlaylist: fires at ") != std::string::npos) {
        times.push_back(line.substr(line.size() - 12));
      }
    }
    return times;
  };
  EXPECT_EQ(scheduled(""),
            (std::vector<std::string>{"00:10:00.000", "00:20:00.000", "00:30:00.000"}));
  const auto spread = scheduled(" --screen-id 5");
  ASSERT_EQ(spread.size(), 3u);
  EXPECT_EQ(scheduled(" --screen-id 5"), spread);
  EXPECT_NE(spread[0], "00:10:00.000");
  EXPECT_TRUE(spread[0] >= "00:09:00.000" && spread[0] <= "00:11:00.000") << spread[0];

  // The saved copy in a real folder: one run keeps it, the next one plays it when the remote
  // address fails, before the packaged copy.
  const std::string state = (dir_ / "state").string();
  ASSERT_EQ(run(words("--playlist " + short_ + " --for 1 --state-dir " + state)).status, 0);
  std::ifstream saved_copy(state + "/playlist.json", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved_copy), {}), kShort);
  const auto saved =
      run(words("--remote-fails 3 --packaged " + example_ + " --for 5 --state-dir " + state));
  EXPECT_TRUE(contains(saved, std::string("00:00:04.000 ") + kDebug +
                                  "Using saved playlist file Optional(file://" + state +
                                  "/playlist.json)"));
  EXPECT_EQ(count(saved, "Using local playlist file"), 0u);
  EXPECT_EQ(count(saved, "playerItem: Optional(<VornAVPlayerItem: https://s.invalid/"), 1u);
}

// What a viewer sees through stream faults, read from `vorn simulate --trace` as an outside check
// would: at every item start the clock's item at the clock's offset, and never a long black
// picture.

struct Entry {
  std::string url;
  double duration;
  int plays;
};

// A 100 s, B 180 s, C 30 s, D 30 s: a cycle of 340 s.
const std::vector<Entry> kProgramme = {{"https://s.invalid/a", 100, 1},
                                       {"https://s.invalid/b", 180, 1},
                                       {"https://s.invalid/c", 30, 1},
                                       {"https://s.invalid/d", 30, 1}};

std::string playlistOf(const std::vector<Entry>& entries) {
  std::string json = "[";
  for (const auto& entry : entries) {
    json += std::string(json.size() > 1 ? "," : "") + R"({"hls_url": ")" + entry.url +
            R"(", "duration": )" + std::to_string(entry.duration) + R"(, "play_count": )" +
            std::to_string(entry.plays) + R"(, "description_attribution": "About )" +
            entry.url.substr(entry.url.size() - 1) + R"("})";
  }
  return json + "]";
}

struct Line {
  double time;  // seconds since the run's midnight, counting on across days
  std::string text;
};

// The screen as the trace tells it.
struct Screen {
  struct Start {
    double time;
    std::string url;
    double position;
    double until = 0.0;  // when something else took the screen
  };
  std::vector<Start> starts;  // every item start, at its seek position
  double longestBlack = 0.0;
  int slatesShown = 0;
  std::vector<double> loads;  // when the queue was loaded
  std::vector<std::string> records;
};

Screen readScreen(const std::string& out) {
  std::vector<Line> lines;
  std::istringstream stream(out);
  double day = 0.0;
  double last = 0.0;
  for (std::string text; std::getline(stream, text);) {
    if (text.size() < 13 || text[2] != ':' || text[12] != ' ') {
      continue;
    }
    const double ofDay = std::stod(text.substr(0, 2)) * 3600 + std::stod(text.substr(3, 2)) * 60 +
                         std::stod(text.substr(6, 6));
    if (ofDay + 1.0 < last) {
      day += 86400.0;
    }
    last = ofDay;
    lines.push_back({day + ofDay, text.substr(13)});
  }
  Screen screen;
  bool cover = false;
  bool slate = false;
  bool nothing = true;
  bool wasBlack = false;
  double blackSince = 0.0;
  const auto update = [&](double time) {
    const bool black = !slate && (cover || nothing);
    if (black && !wasBlack) {
      blackSince = time;
    } else if (!black && wasBlack) {
      screen.longestBlack = std::max(screen.longestBlack, time - blackSince);
    }
    wasBlack = black;
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto& [time, text] = lines[i];
    if (!text.starts_with("TRACE: ")) {
      screen.records.push_back(text);
      if (text.find("loadVideos: hasLoopedFromLastVideo") != std::string::npos) {
        screen.loads.push_back(time);
      }
      continue;
    }
    const std::string event = text.substr(7);
    if (!screen.starts.empty() && screen.starts.back().until == 0.0 &&
        (event.starts_with("current item: ") || event.starts_with("slate shown"))) {
      screen.starts.back().until = time;
    }
    if (event.starts_with("current item: ")) {
      const std::string rest = event.substr(14);
      nothing = rest == "none";
      if (!nothing) {
        const auto at = rest.rfind(" at ");
        Screen::Start start{time, rest.substr(0, at), std::stod(rest.substr(at + 4))};
        // A seek at the same instant places the new item; an item replaced at the same instant
        // (one that fails or ends at once) was never on screen.
        bool shown = true;
        for (size_t j = i + 1; j < lines.size() && lines[j].time == time; ++j) {
          const std::string seek = "TRACE: seek: " + start.url + " to ";
          if (lines[j].text.starts_with(seek)) {
            start.position = std::stod(lines[j].text.substr(seek.size()));
          } else if (lines[j].text.starts_with("TRACE: current item: ") ||
                     lines[j].text.starts_with("TRACE: slate shown")) {
            shown = false;
            break;
          }
        }
        if (shown) {
          screen.starts.push_back(start);
        }
      }
    } else if (event.starts_with("band shown: \"\"")) {
      cover = true;
    } else if (event.starts_with("band hidden") || event.starts_with("band shown")) {
      cover = false;
    } else if (event.starts_with("slate shown")) {
      slate = true;
      ++screen.slatesShown;
    } else if (event == "slate hidden") {
      slate = false;
    }
    update(time);
  }
  if (!screen.starts.empty() && screen.starts.back().until == 0.0 && !lines.empty()) {
    screen.starts.back().until = lines.back().time;
  }
  if (wasBlack && !lines.empty()) {
    screen.longestBlack = std::max(screen.longestBlack, lines.back().time - blackSince);
  }
  return screen;
}

// How far `start` is from the clock: 0 when the item is one the clock could name at that moment
// at that offset (within a cycle), else the smallest gap found.
double offClock(const std::vector<Entry>& programme, const Screen::Start& start) {
  double cycle = 0.0;
  for (const auto& entry : programme) {
    cycle += entry.duration * entry.plays;
  }
  const double clock = std::fmod(std::fmod(start.time, 86400.0), cycle);
  double best = 1e300;
  double at = 0.0;
  for (const auto& entry : programme) {
    for (int play = 0; play < entry.plays; ++play) {
      if (entry.url == start.url) {
        double gap = std::fabs(std::fmod(at + start.position - clock + cycle * 2, cycle));
        gap = std::min(gap, cycle - gap);
        best = std::min(best, gap);
      }
      at += entry.duration;
    }
  }
  return best;
}

class Slots : public Simulate {
 protected:
  // The traced run of `programme`.
  std::string trace(const std::vector<Entry>& programme, std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--playlist", write("playlist.json", playlistOf(programme)), "--trace"});
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

  // The promises that hold whatever fails: on the clock at every start, no black over 3 s, no two
  // loads within a second.
  // A stall under the stall timeout may keep an item up to `overrun` seconds past its slot.
  static void expectOnTheClock(const std::vector<Entry>& programme, const Screen& screen,
                               const std::string& scenario, double overrun = 1.0) {
    SCOPED_TRACE(scenario);
    EXPECT_FALSE(screen.starts.empty());
    for (const auto& start : screen.starts) {
      EXPECT_LE(offClock(programme, start), 1.0)
          << start.url << " at " << start.position << ", " << start.time << " s";
      // And it left the screen by the end of its slot.
      const auto entry = std::find_if(programme.begin(), programme.end(),
                                      [&](const Entry& e) { return e.url == start.url; });
      EXPECT_LE(start.position + (start.until - start.time), entry->duration + overrun)
          << start.url << " from " << start.time << " s to " << start.until << " s";
    }
    EXPECT_LE(screen.longestBlack, 3.0);
    for (size_t i = 1; i < screen.loads.size(); ++i) {
      EXPECT_GE(screen.loads[i] - screen.loads[i - 1], 1.0) << "loads at " << screen.loads[i];
    }
  }

  static constexpr auto npos = std::string::npos;

  // The time of the first line holding `fragment` after `from`, or "none".
  static std::string firstTime(const std::string& out, const std::string& fragment,
                               size_t from = 0) {
    const auto at = out.find(fragment, from);
    if (at == npos) {
      return "none";
    }
    const auto line = out.rfind('\n', at);
    return out.substr(line == npos ? 0 : line + 1, 12);
  }
};

TEST_F(Slots, every_fault_keeps_the_screen_on_the_clock_and_never_dark) {
  const std::string a = "https://s.invalid/a";
  const std::string b = "https://s.invalid/b";
  const std::string c = "https://s.invalid/c";
  const std::string d = "https://s.invalid/d";
  struct Case {
    std::string name;
    std::vector<std::string> args;
    int slates;  // at least
    // The last starts of the run, as "URL at POSITION from TIME", when a case names them.
    std::vector<std::string> lastStarts = {};
    std::string traced = {};  // a trace line the run must hold, when a case names one
    double overrun = 1.0;     // how far a frozen picture may hold an item past its slot
  };
  const std::vector<Case> cases = {
      {"fault-free", {"--start", "00:01:19", "--for", "1400"}, 0},
      {"dead first item", {"--start", "00:00:00", "--for", "700", "--broken", a}, 2},
      {"dead middle item", {"--start", "00:00:00", "--for", "700", "--broken", b}, 2},
      {"dead last item", {"--start", "00:00:00", "--for", "700", "--broken", d}, 2},
      // Started 79 s into the dead B: the slot the clock names at launch is dead.
      {"dead where the clock points", {"--start", "00:02:59", "--for", "700", "--broken", b}, 2},
      {"short middle item",
       {"--start", "00:00:00", "--for", "700", "--media-length", b + "=60"},
       2},
      {"short where the clock points",
       {"--start", "00:02:59", "--for", "700", "--media-length", b + "=60"},
       2},
      {"short last item", {"--start", "00:00:00", "--for", "700", "--media-length", d + "=5"}, 2},
      {"long items",
       {"--start", "00:00:00", "--for", "700", "--media-length", a + "=400", "--media-length",
        c + "=90"},
       0},
      {"long where the clock points",
       {"--start", "00:01:00", "--for", "700", "--media-length", a + "=400"},
       0},
      {"stall that recovers within the slot",
       {"--start", "00:00:00", "--for", "700", "--stall", b + "=20:40"},
       2},
      {"stall for good", {"--start", "00:00:00", "--for", "700", "--stall", b + "=20:forever"}, 1},
      // Under the stall timeout: no slate, the picture holds and catches up.
      {"hiccup", {"--start", "00:00:00", "--for", "700", "--stall", a + "=50:0.8"}, 0},
      // Over the tolerance, under the stall timeout: A ends 1.5 s late and B is pulled back onto
      // the clock.
      {"late end",
       {"--start", "00:00:00", "--for", "700", "--stall", a + "=50:1.5"},
       0,
       {},
       "00:01:41.500 TRACE: seek: " + b + " to 1.500",
       1.5},
      // A clock past the real end of a stream listed longer: once a reload storm.
      {"clock past a short stream's end",
       {"--start", "00:03:50", "--for", "700", "--media-length", b + "=10"},
       1},
      // A player cuts a longer stream at the frame before its listed end, so A, the queue's last
      // item, ends 50 ms before its slot: the reload waits for the slot's end and starts B, not
      // A's last second again.
      {"last item cut a frame early",
       {"--start", "00:04:30", "--for", "180", "--media-length", a + "=99.95"},
       0,
       {a + " at 0 from 340", b + " at 0 from 440"}},
  };
  // A player may tell of an item's end before or after it has moved on to the next one.
  for (const bool movesOnFirst : {false, true}) {
    for (auto test : cases) {
      if (movesOnFirst) {
        test.args.push_back("--moves-on-first");
        test.name += ", moved on first";
      }
      const auto out = trace(kProgramme, test.args);
      const Screen screen = readScreen(out);
      expectOnTheClock(kProgramme, screen, test.name, test.overrun);
      if (!test.traced.empty()) {
        EXPECT_NE(out.find(test.traced), npos) << test.name;
      }
      EXPECT_GE(screen.slatesShown, test.slates) << test.name;
      if (test.slates == 0) {
        EXPECT_EQ(screen.slatesShown, 0) << test.name;
      }
      if (!test.lastStarts.empty()) {
        std::vector<std::string> last;
        for (const auto& start : screen.starts) {
          std::ostringstream text;
          text << start.url << " at " << start.position << " from " << start.time;
          last.push_back(text.str());
        }
        last.erase(last.begin(), last.end() - std::min(last.size(), test.lastStarts.size()));
        EXPECT_EQ(last, test.lastStarts) << test.name;
      }
    }
  }
}

TEST_F(Slots, a_stream_that_comes_back_is_joined_at_its_slot_position) {
  const std::string b = "https://s.invalid/b";
  // B stalls 20 s in (at 00:02:00) for 40 s, reported 2 s later. Attempts follow 5 s, then 10 s
  // later; each waits for the stream, and the one of 00:02:17 shows it as it comes back, moved
  // onto the clock.
  const auto out =
      trace(kProgramme, {"--start", "00:00:00", "--for", "300", "--stall", b + "=20:40"});
  const Screen screen = readScreen(out);
  expectOnTheClock(kProgramme, screen, "stall of 40 s");
  EXPECT_NE(out.find("00:02:02.000 TRACE: item stalled: " + b), npos);
  EXPECT_EQ(count(screen.records, "itemStalled: object: Optional(<VornAVPlayerItem: " + b +
                                      ">) ; showing slate until 00:04:40"),
            1u);
  std::vector<std::string> seeks;
  for (const auto& line : splitLines(out)) {
    if (line.find(" TRACE: seek: " + b) != npos) {
      seeks.push_back(line.substr(0, 12) + line.substr(line.rfind(' ')));
    }
  }
  EXPECT_EQ(seeks, (std::vector<std::string>{"00:02:07.000 27.000", "00:02:17.000 37.000",
                                             "00:02:40.333 60.333"}));
  EXPECT_EQ(count(screen.records, "itemBackToPlay: object: Optional(<VornAVPlayerItem: " + b +
                                      ">) ; joined at 60.333 seconds"),
            1u);
  EXPECT_EQ(firstTime(out, "TRACE: slate hidden"), "00:02:40.333");

  // A short stall: the first attempt, 5 s on, joins B.
  const auto brief =
      trace(kProgramme, {"--start", "00:00:00", "--for", "300", "--stall", b + "=20:3"});
  EXPECT_EQ(firstTime(brief, "TRACE: slate hidden"), "00:02:07.333");
}

TEST_F(Slots, a_pause_over_the_slate_holds_the_timeline) {
  const std::string b = "https://s.invalid/b";
  // B dead from 00:01:40; a tap at 00:02:00 pauses for 60 s.
  const auto out = trace(kProgramme, {"--start", "00:00:00", "--for", "400", "--broken", b,
                                      "--event", "120:tap", "--event", "180:tap"});
  // The paused band shows over the slate, naming B.
  EXPECT_NE(out.find("00:02:00.000 TRACE: band shown: \"Solvane TV - Paused\\nNow "
                     "playing:\\nAbout b\""),
            npos);
  EXPECT_EQ(firstTime(out, "TRACE: slate hidden"), "00:05:40.333");
  // Attempts 5 s and 10 s apart, none while paused; after the resume one every 30 s, and the
  // slot ends 60 s late, at 00:05:40, when C starts.
  std::vector<std::string> failures;  // when each attempt to play B failed, to the second
  for (const auto& line : splitLines(out)) {
    if (line.find(" TRACE: item failed: " + b) != npos) {
      failures.push_back(line.substr(0, 8));
    }
  }
  EXPECT_EQ(failures, (std::vector<std::string>{"00:01:40", "00:01:45", "00:01:55", "00:03:30",
                                                "00:04:00", "00:04:30", "00:05:00", "00:05:30"}));
  EXPECT_NE(out.find("00:03:00.000 TRACE: slate shown: \"Solvane TV\\n\\nThis video cannot be "
                     "shown right now.\\n\\nAbout b\\n\\nThe next video starts at 00:05:40.\""),
            npos);
  EXPECT_NE(out.find("00:05:40.000 TRACE: current item: https://s.invalid/c at 0.000"), npos);
  EXPECT_EQ(out.find("00:04:40.000 TRACE: current item: https://s.invalid/c"), npos);
}

// B's server is gone from 00:02:00, 20 s into its slot, until 00:02:47. The attempts on the
// schedule (00:02:05, 00:02:15, 00:02:45) find it down and the next is due at 00:03:15; between
// them the address is probed every 5 s, and the first probe to get an answer (00:02:50) brings
// the picture back at once, on the clock.
TEST_F(Slots, a_server_that_comes_back_is_found_by_probes_between_the_attempts) {
  const std::string b = "https://s.invalid/b";
  const auto stamps = [](const std::string& out, const std::string& fragment) {
    std::vector<std::string> found;
    for (const auto& line : splitLines(out)) {
      if (line.find(fragment) != npos) {
        found.push_back(line.substr(0, 8));
      }
    }
    return found;
  };
  const std::string probe = " TRACE: probe: " + b;
  const auto out =
      trace(kProgramme, {"--start", "00:00:00", "--for", "300", "--gone", b + "=120:47"});
  expectOnTheClock(kProgramme, readScreen(out), "server gone and back");
  EXPECT_EQ(stamps(out, " TRACE: item failed: " + b),
            (std::vector<std::string>{"00:02:00", "00:02:05", "00:02:15", "00:02:45"}));
  EXPECT_EQ(stamps(out, probe),
            (std::vector<std::string>{"00:02:10", "00:02:20", "00:02:25", "00:02:30", "00:02:35",
                                      "00:02:40", "00:02:50"}));
  EXPECT_EQ(count(splitLines(out), probe + " ok"), 1u);
  EXPECT_EQ(firstTime(out, "TRACE: slate hidden"), "00:02:50.333");
  EXPECT_NE(out.find("itemBackToPlay: object: Optional(<VornAVPlayerItem: " + b +
                     ">) ; joined at 70.0 seconds"),
            npos);

  // Paused from 00:02:21 to 00:02:41: no probe while the timeline holds, and the probes go on
  // after the resume.
  const auto paused =
      trace(kProgramme, {"--start", "00:00:00", "--for", "300", "--gone", b + "=120:47", "--event",
                         "141:tap", "--event", "161:tap"});
  EXPECT_EQ(stamps(paused, probe),
            (std::vector<std::string>{"00:02:10", "00:02:20", "00:02:46", "00:02:51"}));
  EXPECT_EQ(firstTime(paused, "TRACE: slate hidden"), "00:02:51.333");

  // Gone for good: probes stop before the slot's end and the slate's; no probe after it.
  const auto gone =
      trace(kProgramme, {"--start", "00:00:00", "--for", "400", "--gone", b + "=120:forever"});
  const auto probes = stamps(gone, probe);
  ASSERT_FALSE(probes.empty());
  EXPECT_LT(probes.back(), "00:04:40");
  EXPECT_EQ(count(splitLines(gone), probe + " ok"), 0u);

  // B's stream ends early while its address answers: the probes start no attempt of their own,
  // so the attempts keep to the schedule.
  const auto shortB =
      trace(kProgramme, {"--start", "00:00:00", "--for", "300", "--media-length", b + "=60"});
  EXPECT_FALSE(stamps(shortB, probe + " ok").empty());
  EXPECT_EQ(stamps(shortB, " TRACE: seek: " + b),
            (std::vector<std::string>{"00:02:45", "00:02:55", "00:03:25", "00:03:55", "00:04:25",
                                      "00:04:30"}));
}

// The worked example's queue, loaded at 01:03:20.5 with whole-second seeks, runs half a second
// ahead of its slots (the seek rounds up): it plays out at 01:39:59.5 and the next load waits for
// 01:40:00.
TEST_F(Slots, the_wait_for_the_last_slots_end_pauses_and_holds_as_that_slot) {
  const std::string common = "--playlist " + example_ +
                             " --start 01:03:20.5 --for 2230 --refresh-interval 100000 --trace"
                             " --sync second";
  // Into the background in that wait: nothing plays until the return, which reloads.
  const auto away = run(words(common + " --event 2199.1:resign-active --event 2199.2:background"
                                       " --event 2220:foreground --event 2220:become-active"));
  EXPECT_NE(away.out.find("01:39:59.500 TRACE: timer scheduled: lastSlotEnded:"), npos);
  EXPECT_NE(away.out.find("01:39:59.600 TRACE: timer invalidated: lastSlotEnded:"), npos);
  EXPECT_EQ(firstTime(away.out, "TRACE: player made", away.out.find("01:39:59.600")),
            "01:40:20.500");
  EXPECT_EQ(firstTime(away.out, "TRACE: rate: 1.0", away.out.find("01:39:59.600")), "01:40:20.500");
  EXPECT_TRUE(contains(away, std::string("01:40:20.500 DEBUG: AppDelegate: queuePlayer rate is "
                                         "Optional(0.0), airPlayScreenConnected is false")));

  // A tap in that wait pauses, with the band naming the slot's item; the next tap resumes with a
  // load from the clock, as at a queue's end.
  const auto tapped = run(words(common + " --event 2199.2:tap --event 2215:tap"));
  EXPECT_TRUE(contains(
      tapped, std::string("01:39:59.700 ") + kDebug + "handleAllGestureRecognizers: pausing"));
  EXPECT_NE(tapped.out.find("01:39:59.700 TRACE: band shown: \"Solvane TV - Paused\\nNow "
                            "playing:\\nBeta by Bo\""),
            npos);
  EXPECT_EQ(firstTime(tapped.out, "TRACE: player made", tapped.out.find("01:39:59.700")),
            "01:40:15.500");
  const auto resumed = at(tapped, "01:40:15.500");
  EXPECT_TRUE(
      contains(resumed, std::string(kDebug) + "handleAllGestureRecognizers: paused, resuming"));
  EXPECT_TRUE(contains(resumed, std::string(kDebug) + "loadVideos: hasLoopedFromLastVideo: true"));
  EXPECT_TRUE(contains(
      resumed, std::string(kDebug) + "loadVideos: Seeking to MediaTime(value: 16, timescale: 1)"));
}

TEST_F(Slots, a_load_near_an_items_end_and_sub_second_items_stay_on_time) {
  // At 00:00:10, 10 s into A (10.2 s): the seek is the 10 the log names, and B starts on time.
  const auto near =
      run(words("--playlist " +
                write("near.json", R"([{"hls_url": "https://s.invalid/a", "duration": 10.2},)"
                                   R"( {"hls_url": "https://s.invalid/b", "duration": 5}])") +
                " --start 00:00:10 --for 3 --trace"));
  EXPECT_TRUE(contains(near, std::string("00:00:10.000 ") + kDebug +
                                 "loadVideos: Seeking to MediaTime(value: 10, timescale: 1)"));
  EXPECT_EQ(firstTime(near.out, "TRACE: current item: https://s.invalid/b"), "00:00:10.200");
  EXPECT_EQ(firstTime(near.out, "TRACE: band hidden"), "00:00:10.200");

  // One item of a quarter of a second that plays its whole length: on time at every end, no
  // slate, a load at every cycle.
  const auto quarter =
      run(words("--playlist " +
                write("quarter.json", R"([{"hls_url": "https://s.invalid/q", "duration": 0.25}])") +
                " --start 00:00:00 --for 1.1 --trace"));
  EXPECT_EQ(count(quarter, "slate"), 0u);
  EXPECT_EQ(count(quarter, "itemEndedEarly"), 0u);
  EXPECT_EQ(count(quarter, "loadVideos: hasLoopedFromLastVideo: true"), 4u);
  EXPECT_EQ(firstTime(quarter.out, "hasLoopedFromLastVideo: true"), "00:00:00.250");
}

TEST_F(Slots, play_counts_and_a_long_run_stay_on_the_clock_at_every_slot_boundary) {
  // B twice, dead, in a cycle of 540 s (a whole number of cycles a day); a day and more, with a
  // pause and resume at once every 50 minutes so the inactivity timer never stops the channel.
  const std::vector<Entry> programme = {{"https://s.invalid/a", 110, 1},
                                        {"https://s.invalid/b", 170, 2},
                                        {"https://s.invalid/c", 30, 3}};
  std::vector<std::string> args = {"--start", "23:00:00", "--for",
                                   "90000",   "--broken", "https://s.invalid/b"};
  for (int at = 3000; at < 90000; at += 3000) {
    for (int tap = 0; tap < 2; ++tap) {
      args.insert(args.end(), {"--event", std::to_string(at) + ":tap"});
    }
  }
  const Screen screen = readScreen(trace(programme, args));
  expectOnTheClock(programme, screen, "long run");
  // Every cycle both plays of B leave their slots to the slate, one failure line each.
  EXPECT_GE(screen.slatesShown, 2 * (90000 / 540) - 2);
  EXPECT_EQ(count(screen.records, "itemFailedToPlay"), static_cast<size_t>(screen.slatesShown));
}

}  // namespace
}  // namespace vorn::testing
