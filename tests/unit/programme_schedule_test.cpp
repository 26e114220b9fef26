#include "app/programme_schedule.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <random>
#include <sstream>

#include "playlist/playlist_document.h"

namespace vorn::app {
namespace {

// 2026-12-06T00:00:00Z.
constexpr double kDay = 1796515200.0;

struct Expected {
  double start;  // seconds after kDay
  double end;
  double offset;
  size_t entry;
  int64_t play;
};

void expectSlots(const Schedule& schedule, const std::vector<Expected>& expected) {
  ASSERT_EQ(schedule.slots.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Slot& slot = schedule.slots[i];
    SCOPED_TRACE("slot " + std::to_string(i));
    EXPECT_NEAR(slot.start - kDay, expected[i].start, 1e-6);
    EXPECT_NEAR(slot.end - kDay, expected[i].end, 1e-6);
    EXPECT_NEAR(slot.offset, expected[i].offset, 1e-6);
    EXPECT_EQ(slot.entry, expected[i].entry);
    EXPECT_EQ(slot.play, expected[i].play);
  }
}

// A playlist document as the channel's parser gives it.
JsonPtr document(const std::string& text) {
  return std::get<JsonPtr>(playlist::parseDocument(text));
}

TEST(ProgrammeSchedule, the_next_load_takes_the_clock_after_midnight) {
  // 7000 s does not divide the day: the cycle restarts at 00:00 UTC, but a queue playing then
  // plays on; only its end leads to a load, at the new day's position.
  const JsonPtr playlist = document(R"([
    {"hls_url": "https://x.invalid/a", "duration": 1000},
    {"hls_url": "https://x.invalid/b", "duration": 3000},
    {"hls_url": "https://x.invalid/c", "duration": 3000}])");
  const double from = 84600.0;  // 23:30:00, 600 s into A (84600 = 12 * 7000 + 600)
  const ScheduleResult result = buildSchedule(*playlist, kDay + from, kDay + from + 3 * 3600.0);
  // The queue A, B, C ends at 91000 (01:16:40 next day, 4600 s into the day: 600 s into C).
  expectSlots(result.schedule, {{84000, 85000, 600, 0, 1},
                                {85000, 88000, 0, 1, 1},
                                {88000, 91000, 0, 2, 1},
                                {91000, 93400, 600, 2, 1},
                                {93400, 94400, 0, 0, 1},
                                {94400, 97400, 0, 1, 1}});

  // A cycle longer than a day: the position is the day seconds, so the clock never names B
  // before 50000 s into the day, yet B is in every queue.
  const JsonPtr longCycle = document(R"([
    {"hls_url": "https://x.invalid/a", "duration": 50000},
    {"hls_url": "https://x.invalid/b", "duration": 50000, "play_count": 7}])");
  const ScheduleResult day = buildSchedule(*longCycle, kDay + 82800.0, kDay + 180000.0);
  expectSlots(day.schedule, {{50000, 100000, 32800, 1, 1},
                             {100000, 150000, 0, 0, 1},
                             // 150000 is 63600 s into the next day: 13600 s into B.
                             {150000, 186400, 13600, 1, 1}});
}

TEST(ProgrammeSchedule, playlists_that_cannot_be_placed_on_the_clock) {
  EXPECT_EQ(buildSchedule(*document(R"({"a": []})"), kDay, kDay + 60).schedule.cycleItems, 0u);
  const ScheduleResult nothing = buildSchedule(
      *document(R"([{"hls_url": "https://x.invalid/a", "duration": 5, "play_count": 0},
                      {"hls_url": "https://x.invalid/b"}, 7])"),
      kDay, kDay + 60);
  EXPECT_EQ(nothing.schedule.cycleItems, 0u);
  EXPECT_TRUE(nothing.schedule.slots.empty());
  const ScheduleResult zero = buildSchedule(
      *document(R"([{"hls_url": "https://x.invalid/a", "duration": 0}])"), kDay, kDay + 60);
  EXPECT_FALSE(zero.error.empty());
  EXPECT_TRUE(zero.schedule.slots.empty());
  // A tiny cycle stops at the cap instead of running for ever.
  const ScheduleResult tiny =
      buildSchedule(*document(R"([{"hls_url": "https://x.invalid/a", "duration": 0.001}])"), kDay,
                    kDay + 86400.0);
  EXPECT_TRUE(tiny.schedule.truncated);
  EXPECT_EQ(tiny.schedule.slots.size(), kMaxSlots);
}

TEST(ProgrammeSchedule, slots_follow_one_another_and_run_their_listed_length) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> length(0.5, 4000.0);
  std::uniform_int_distribution<int> entries(1, 6);
  std::uniform_int_distribution<int> count(-1, 7);
  std::uniform_real_distribution<double> clock(0.0, 3 * 86400.0);
  for (int round = 0; round < 200; ++round) {
    nlohmann::json list = nlohmann::json::array();
    std::vector<double> durations;
    const int n = entries(random);
    for (int i = 0; i < n; ++i) {
      const double duration = std::round(length(random) * 10.0) / 10.0;
      durations.push_back(duration);
      list.push_back({{"hls_url", "https://x.invalid/" + std::to_string(i)},
                      {"duration", duration},
                      {"play_count", count(random)}});
    }
    const double from = kDay + clock(random);
    const ScheduleResult result = buildSchedule(*document(list.dump()), from, from + 2 * 86400.0);
    if (result.schedule.cycleItems == 0) {
      continue;
    }
    const auto& slots = result.schedule.slots;
    ASSERT_FALSE(slots.empty());
    // The slot on screen at `from` is listed from its start on the queue's timeline.
    EXPECT_EQ(slots.front().start, from - slots.front().offset);
    EXPECT_GE(slots.back().end, from + 2 * 86400.0);
    for (size_t i = 0; i < slots.size(); ++i) {
      ASSERT_LT(slots[i].start, slots[i].end);
      if (i > 0) {
        ASSERT_EQ(slots[i].start, slots[i - 1].end) << "round " << round << " slot " << i;
      }
      const double joined = i == 0 ? 0.0 : slots[i].offset;
      ASSERT_NEAR(slots[i].end - slots[i].start + joined, durations[slots[i].entry], 1e-6);
      // A joined item is always the first of a load, which sought it to a whole second.
      ASSERT_EQ(slots[i].offset, std::floor(slots[i].offset));
    }
  }
}

TEST(ProgrammeSchedule, iso_times_read_and_written) {
  EXPECT_EQ(parseIsoTime("2026-12-06T01:03:20Z"), kDay + 3800.0);
  EXPECT_EQ(parseIsoTime("2026-12-06 01:03:20z"), kDay + 3800.0);
  EXPECT_EQ(parseIsoTime("2026-12-06T02:03:20+01:00"), kDay + 3800.0);
  EXPECT_EQ(parseIsoTime("2026-12-05T23:03:20-0200"), kDay + 3800.0);
  EXPECT_EQ(parseIsoTime("2026-12-06T01:03Z"), kDay + 3780.0);
  EXPECT_NEAR(*parseIsoTime("2026-12-06T01:03:20.25Z"), kDay + 3800.25, 1e-6);
  for (const char* bad : {"", "now", "2026-12-06", "2026-12-06T1:03:20Z", "2026-02-31T00:00:00Z",
                          "2026-12-06T24:00:00Z", "2026-12-06T01:03:20Zjunk",
                          "2026-12-06T01:03:20+1", "2026-13-01T00:00:00Z"}) {
    EXPECT_FALSE(parseIsoTime(bad).has_value()) << bad;
  }
  EXPECT_EQ(isoUtc(kDay + 3800.0), "2026-12-06T01:03:20Z");
  EXPECT_EQ(isoUtc(kDay + 3800.6), "2026-12-06T01:03:20.600Z");
  EXPECT_EQ(isoUtc(kDay - 0.0001), "2026-12-06T00:00:00Z");
}

TEST(ProgrammeSchedule, guide_and_text_forms_escape_and_label_every_slot) {
  const JsonPtr playlist = document(R"([
    {"hls_url": "https://x.invalid/a?x=1&y=2", "duration": 60, "play_count": 2,
     "description_attribution": "Tom & \"Jerry\" <live>\u0001"},
    {"hls_url": "https://x.invalid/b", "duration": 30}])");
  const ScheduleResult result = buildSchedule(*playlist, kDay + 30.0, kDay + 200.0);
  ASSERT_EQ(result.schedule.slots.size(), 4u);

  std::ostringstream guide;
  writeScheduleXmltv(result.schedule, guide);
  const std::string xml = guide.str();
  EXPECT_NE(xml.find("start=\"20261206000000 +0000\" stop=\"20261206000100 +0000\""),
            std::string::npos);
  EXPECT_NE(xml.find("<title>Tom &amp; &quot;Jerry&quot; &lt;live&gt;</title>"), std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<url>https://x.invalid/a?x=1&amp;y=2</url>"), std::string::npos);
  EXPECT_NE(xml.find("<title>https://x.invalid/b</title>"), std::string::npos);
  EXPECT_EQ(xml.find('\x01'), std::string::npos);

  std::ostringstream text;
  writeScheduleText(result.schedule, text);
  EXPECT_NE(text.str().find("2026-12-06T00:00:00Z - 2026-12-06T00:01:00Z"), std::string::npos);
  EXPECT_NE(text.str().find("play 1 of 2, joined 30 s in"), std::string::npos);
}

}  // namespace
}  // namespace vorn::app
