#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/simulate.h"

// What a viewer sees through stream faults, read from `vorn simulate --trace` as an outside check
// would: at every item start the clock's item at the clock's offset, and never a long black
// picture.
namespace vorn::testing {
namespace {

namespace fs = std::filesystem;

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

std::vector<Line> readTrace(const std::string& out) {
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
  return lines;
}

Screen readScreen(const std::string& out) {
  Screen screen;
  const auto lines = readTrace(out);
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

class Slots : public ::testing::Test {
 protected:
  Slots() {
    dir_ = fs::temp_directory_path() /
           ("vorn-slots-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  ~Slots() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string run(const std::vector<Entry>& programme, std::vector<std::string> args) {
    const auto path = (dir_ / "playlist.json").string();
    std::ofstream(path, std::ios::binary) << playlistOf(programme);
    args.insert(args.begin(), {"--playlist", path, "--trace"});
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(app::runSimulateCommand(args, out, err), 0) << err.str();
    return out.str();
  }

  // The promises that hold whatever fails: on the clock at every start, no black over 3 s, no two
  // loads within a second.
  static void expectOnTheClock(const std::vector<Entry>& programme, const Screen& screen,
                               const std::string& scenario) {
    SCOPED_TRACE(scenario);
    EXPECT_FALSE(screen.starts.empty());
    for (const auto& start : screen.starts) {
      EXPECT_LE(offClock(programme, start), 1.0)
          << start.url << " at " << start.position << ", " << start.time << " s";
      // And it left the screen by the end of its slot.
      const auto entry = std::find_if(programme.begin(), programme.end(),
                                      [&](const Entry& e) { return e.url == start.url; });
      EXPECT_LE(start.position + (start.until - start.time), entry->duration + 1.0)
          << start.url << " from " << start.time << " s to " << start.until << " s";
    }
    EXPECT_LE(screen.longestBlack, 3.0);
    for (size_t i = 1; i < screen.loads.size(); ++i) {
      EXPECT_GE(screen.loads[i] - screen.loads[i - 1], 1.0) << "loads at " << screen.loads[i];
    }
  }

  static size_t countContaining(const Screen& screen, const std::string& fragment) {
    return static_cast<size_t>(
        std::count_if(screen.records.begin(), screen.records.end(),
                      [&](const std::string& line) { return line.find(fragment) != npos; }));
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

  fs::path dir_;
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
  };
  const std::vector<Case> cases = {
      {"fault-free", {"--start", "00:01:19", "--for", "1400"}, 0},
      {"dead first item", {"--start", "00:00:00", "--for", "700", "--broken", a}, 2},
      {"dead middle item", {"--start", "00:00:00", "--for", "700", "--broken", b}, 2},
      {"dead last item", {"--start", "00:00:00", "--for", "700", "--broken", d}, 2},
      // The issue's measurement: started 79 s into the dead B.
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
      // A clock past the real end of a stream listed longer: once a reload storm.
      {"clock past a short stream's end",
       {"--start", "00:03:50", "--for", "700", "--media-length", b + "=10"},
       1},
  };
  for (const auto& test : cases) {
    const Screen screen = readScreen(run(kProgramme, test.args));
    expectOnTheClock(kProgramme, screen, test.name);
    EXPECT_GE(screen.slatesShown, test.slates) << test.name;
    if (test.slates == 0) {
      EXPECT_EQ(screen.slatesShown, 0) << test.name;
    }
  }
}

TEST_F(Slots, a_dead_item_leaves_its_slot_to_the_slate_and_is_retried_every_30_seconds) {
  const std::string b = "https://s.invalid/b";
  const auto out = run(kProgramme, {"--start", "00:02:59", "--for", "400", "--broken", b});
  const Screen screen = readScreen(out);
  // One failure line for the slot, naming when the next video starts (C at 00:04:40).
  EXPECT_EQ(countContaining(screen, "itemFailedToPlay: object: Optional(<VornAVPlayerItem: " + b +
                                        ">) ; showing slate until 00:04:40"),
            1u);
  EXPECT_NE(out.find("00:02:59.000 TRACE: slate shown: \"Solvane TV\\n\\nThis video cannot be "
                     "shown right now.\\n\\nAbout b\\n\\nThe next video starts at 00:04:40.\""),
            npos);
  // Retries at 00:03:29, 00:03:59 and 00:04:29: each joins B at the slot's position and fails.
  for (const char* retry : {"00:03:29.000", "00:03:59.000", "00:04:29.000"}) {
    EXPECT_NE(out.find(std::string(retry) + " TRACE: item failed: " + b), npos) << retry;
  }
  EXPECT_EQ(out.find("00:04:09.000 TRACE: item failed: " + b), npos);
  // C starts on time, and the slate goes at its first frame.
  EXPECT_NE(out.find("00:04:40.000 TRACE: current item: https://s.invalid/c at 0.000"), npos);
  EXPECT_NE(out.find("00:04:40.333 TRACE: slate hidden"), npos);
  EXPECT_EQ(countContaining(screen,
                            "itemBackToPlay: object: Optional(<VornAVPlayerItem: "
                            "https://s.invalid/c>) ; joined at 0.0 seconds"),
            1u);
  // While the slate is up, no other item is current.
  EXPECT_EQ(firstTime(out, "TRACE: current item: https://s.invalid/c", out.find("slate shown")),
            "00:04:40.000");
}

TEST_F(Slots, a_stream_that_comes_back_is_joined_at_its_slot_position) {
  const std::string b = "https://s.invalid/b";
  // B stalls 20 s in (at 00:02:00) for 40 s, reported 2 s later. The attempt made at once and the
  // one at 00:02:32 find it still stalled; the one at 00:03:02 joins it 82 s in.
  const auto out =
      run(kProgramme, {"--start", "00:00:00", "--for", "300", "--stall", b + "=20:40"});
  const Screen screen = readScreen(out);
  EXPECT_NE(out.find("00:02:02.000 TRACE: item stalled: " + b), npos);
  EXPECT_EQ(countContaining(screen, "itemStalled: object: Optional(<VornAVPlayerItem: " + b +
                                        ">) ; showing slate until 00:04:40"),
            1u);
  EXPECT_NE(out.find("00:02:02.000 TRACE: seek: " + b + " to 22.000"), npos);
  EXPECT_NE(out.find("00:02:04.000 TRACE: item stalled: " + b), npos);
  EXPECT_NE(out.find("00:02:32.000 TRACE: seek: " + b + " to 52.000"), npos);
  EXPECT_NE(out.find("00:02:34.000 TRACE: item stalled: " + b), npos);
  EXPECT_NE(out.find("00:03:02.000 TRACE: seek: " + b + " to 82.000"), npos);
  EXPECT_EQ(countContaining(screen, "itemBackToPlay: object: Optional(<VornAVPlayerItem: " + b +
                                        ">) ; joined at 82.0 seconds"),
            1u);
  EXPECT_EQ(firstTime(out, "TRACE: slate hidden"), "00:03:02.333");

  // A short stall: the attempt made at once joins B as soon as it delivers again.
  const auto brief =
      run(kProgramme, {"--start", "00:00:00", "--for", "300", "--stall", b + "=20:3"});
  EXPECT_EQ(firstTime(brief, "TRACE: slate hidden"), "00:02:03.333");
  EXPECT_NE(brief.find("00:02:02.000 TRACE: seek: " + b + " to 22.000"), npos);
  expectOnTheClock(kProgramme, screen, "stall");
}

TEST_F(Slots, a_pause_over_the_slate_holds_the_timeline) {
  const std::string b = "https://s.invalid/b";
  // B dead from 00:01:40; a tap at 00:02:00 pauses for 60 s.
  const auto out = run(kProgramme, {"--start", "00:00:00", "--for", "400", "--broken", b, "--event",
                                    "120:tap", "--event", "180:tap"});
  // The paused band shows over the slate, naming B.
  const auto paused = out.find(
      "00:02:00.000 TRACE: band shown: \"Solvane TV - Paused\\nNow "
      "playing:\\nAbout b\"");
  EXPECT_NE(paused, npos);
  EXPECT_EQ(firstTime(out, "TRACE: slate hidden"), "00:05:40.333");
  // No retry while paused; after the resume the slot ends 60 s late, at 00:05:40, and C starts.
  EXPECT_EQ(out.find("00:02:10.000 TRACE: item failed"), npos);
  EXPECT_NE(out.find("00:03:00.000 TRACE: slate shown: \"Solvane TV\\n\\nThis video cannot be "
                     "shown right now.\\n\\nAbout b\\n\\nThe next video starts at 00:05:40.\""),
            npos);
  EXPECT_NE(out.find("00:05:40.000 TRACE: current item: https://s.invalid/c at 0.000"), npos);
  EXPECT_EQ(out.find("00:04:40.000 TRACE: current item: https://s.invalid/c"), npos);
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
  const Screen screen = readScreen(run(programme, args));
  expectOnTheClock(programme, screen, "long run");
  // Every cycle both plays of B leave their slots to the slate, one failure line each.
  EXPECT_GE(screen.slatesShown, 2 * (90000 / 540) - 2);
  EXPECT_EQ(countContaining(screen, "itemFailedToPlay"), static_cast<size_t>(screen.slatesShown));
}

}  // namespace
}  // namespace vorn::testing
