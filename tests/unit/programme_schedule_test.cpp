#include "tools/schedule/programme_schedule.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/iso_time.h"
#include "programme/document.h"

namespace vorn::app {
namespace {

constexpr double kDay = 1796515200.0;  // 2026-12-06T00:00:00Z

// The schedule of `playlist` between two times given in seconds after kDay.
ScheduleResult scheduleOf(const std::string& playlist, double from, double until) {
  return buildSchedule(*std::get<JsonPtr>(programme::parseDocument(playlist)), kDay + from,
                       kDay + until);
}

// Each slot as {start, end (both after kDay), offset, entry, play}.
using Slots = std::vector<std::array<double, 5>>;
Slots slotsOf(const ScheduleResult& result) {
  Slots slots;
  for (const Slot& slot : result.schedule.slots) {
    slots.push_back({slot.start - kDay, slot.end - kDay, slot.offset,
                     static_cast<double>(slot.entry), static_cast<double>(slot.play)});
  }
  return slots;
}

TEST(ProgrammeSchedule, the_next_load_takes_the_clock_after_midnight) {
  // 7000 s does not divide the day: the cycle restarts at 00:00 UTC, but a queue playing then
  // plays on; only its end leads to a load, at the new day's position. From 23:30:00, 600 s into A
  // (84600 = 12 * 7000 + 600), the queue A, B, C ends at 91000: 600 s into C on the new day.
  const ScheduleResult wrapped = scheduleOf(R"([
    {"hls_url": "https://x.invalid/a", "duration": 1000},
    {"hls_url": "https://x.invalid/b", "duration": 3000},
    {"hls_url": "https://x.invalid/c", "duration": 3000}])",
                                            84600.0, 84600.0 + 3 * 3600.0);
  EXPECT_EQ(slotsOf(wrapped), (Slots{{84000, 85000, 600, 0, 1},
                                     {85000, 88000, 0, 1, 1},
                                     {88000, 91000, 0, 2, 1},
                                     {91000, 93400, 600, 2, 1},
                                     {93400, 94400, 0, 0, 1},
                                     {94400, 97400, 0, 1, 1}}));

  // A cycle longer than a day: the position is the day seconds, so the clock never names B
  // before 50000 s into the day, yet B is in every queue. 150000 is 13600 s into B next day.
  const ScheduleResult longCycle = scheduleOf(R"([
    {"hls_url": "https://x.invalid/a", "duration": 50000},
    {"hls_url": "https://x.invalid/b", "duration": 50000, "play_count": 7}])",
                                              82800.0, 180000.0);
  EXPECT_EQ(slotsOf(longCycle), (Slots{{50000, 100000, 32800, 1, 1},
                                       {100000, 150000, 0, 0, 1},
                                       {150000, 186400, 13600, 1, 1}}));
}

TEST(ProgrammeSchedule, playlists_that_cannot_be_placed_on_the_clock) {
  const ScheduleResult nothing = scheduleOf(
      R"([{"hls_url": "https://x.invalid/a", "duration": 5, "play_count": 0},
          {"hls_url": "https://x.invalid/b"}, 7])",
      0, 60);
  EXPECT_EQ(nothing.schedule.cycleItems, 0u);
  EXPECT_TRUE(nothing.schedule.slots.empty());
  const ScheduleResult zero =
      scheduleOf(R"([{"hls_url": "https://x.invalid/a", "duration": 0}])", 0, 60);
  EXPECT_FALSE(zero.error.empty());
  EXPECT_TRUE(zero.schedule.slots.empty());
  // A tiny cycle stops at the cap instead of running for ever.
  const ScheduleResult tiny =
      scheduleOf(R"([{"hls_url": "https://x.invalid/a", "duration": 0.001}])", 0, 86400.0);
  EXPECT_TRUE(tiny.schedule.truncated);
  EXPECT_EQ(tiny.schedule.slots.size(), kMaxSlots);
}

// Without a description a programme is named after its stream's file, never by an address.
TEST(ProgrammeSchedule, an_undescribed_stream_is_titled_by_its_file_name) {
  for (const auto& [address, title] : std::vector<std::pair<std::string, std::string>>{
           {"https://x.invalid/news/late.m3u8", "late"},
           {"https://x.invalid/a/index.m3u8?token=1.2#t=3", "index"},
           {"https://x.invalid/Big%20Buck.m3u8", "Big Buck"},
           {"file:///srv/media/clip.v2.m3u8", "clip.v2"},
           {"https://x.invalid/show", "show"},
           {"https://x.invalid/.hidden", ".hidden"},
           {"https://user:pw@cdn.x.invalid/", "cdn.x.invalid"},
           {"https://cdn.x.invalid", "cdn.x.invalid"}}) {
    EXPECT_EQ(streamTitle(address), title) << address;
  }
}

TEST(ProgrammeSchedule, iso_times_read_and_written) {
  for (const auto& [text, after] : {std::pair{"2026-12-06T01:03:20Z", 3800.0},
                                    {"2026-12-06 01:03:20z", 3800.0},
                                    {"2026-12-06T02:03:20+01:00", 3800.0},
                                    {"2026-12-05T23:03:20-0200", 3800.0},
                                    {"2026-12-06T01:03Z", 3780.0},
                                    {"2026-12-06T01:03:20.25Z", 3800.25}}) {
    EXPECT_EQ(platform::parseIsoTime(text), kDay + after) << text;
  }
  for (const char* bad : {"", "now", "2026-12-06", "2026-12-06T1:03:20Z", "2026-02-31T00:00:00Z",
                          "2026-12-06T24:00:00Z", "2026-12-06T01:03:20Zjunk",
                          "2026-12-06T01:03:20+1", "2026-13-01T00:00:00Z"}) {
    EXPECT_FALSE(platform::parseIsoTime(bad).has_value()) << bad;
  }
  // Without a zone the guide reads the machine's local time and the simulated clock reads UTC;
  // a zone west of UTC tells the two apart (on a UTC machine they agree).
  const char* zone = std::getenv("TZ");
  const std::optional<std::string> savedZone =
      zone ? std::optional<std::string>(zone) : std::nullopt;
  ::setenv("TZ", "UTC+5", 1);
  ::tzset();
  EXPECT_EQ(platform::parseIsoTime("2026-12-06T01:03:20.5", platform::Zoneless::utc),
            kDay + 3800.5);
  EXPECT_EQ(platform::parseIsoTime("2026-12-06T01:03:20"), kDay + 3800.0 + 5 * 3600.0);
  if (savedZone) {
    ::setenv("TZ", savedZone->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
  EXPECT_EQ(isoUtc(kDay + 3800.0), "2026-12-06T01:03:20Z");
  EXPECT_EQ(isoUtc(kDay + 3800.6), "2026-12-06T01:03:20.600Z");
  EXPECT_EQ(isoUtc(kDay - 0.0001), "2026-12-06T00:00:00Z");
}

TEST(ProgrammeSchedule, guide_and_text_forms_escape_and_label_every_slot) {
  const ScheduleResult result = scheduleOf(R"([
    {"hls_url": "https://x.invalid/a?x=1&y=2", "duration": 60, "play_count": 2,
     "description_attribution": "Tom & \"Jerry\" <live>\u0001"},
    {"hls_url": "https://x.invalid/b", "duration": 30}])",
                                           30.3, 200.0);
  // The load at 30.3 s seeks to a whole second: the first slot is listed from 0.3 s.
  ASSERT_EQ(result.schedule.slots.size(), 4u);
  std::ostringstream guide, text;
  writeScheduleXmltv(result.schedule, guide);
  writeScheduleText(result.schedule, text);
  for (const char* part :
       {"<channel id=\"solvane.tv\">\n    <display-name lang=\"en\">Solvane TV</display-name>\n  "
        "</channel>",
        "start=\"20261206000000 +0000\" stop=\"20261206000100 +0000\" channel=\"solvane.tv\"",
        "<title lang=\"en\">Tom &amp; &quot;Jerry&quot; &lt;live&gt;</title>\n"
        "    <desc lang=\"en\">Tom &amp; &quot;Jerry&quot; &lt;live&gt;</desc>\n"
        "    <url>https://x.invalid/a?x=1&amp;y=2</url>",
        "<title lang=\"en\">b</title>\n    <url>https://x.invalid/b</url>"}) {
    EXPECT_NE(guide.str().find(part), std::string::npos) << part << '\n' << guide.str();
  }
  EXPECT_EQ(guide.str().find('\x01'), std::string::npos);
  // Only a described item has a description: the three slots of the first entry.
  size_t descriptions = 0;
  for (size_t at = 0; (at = guide.str().find("<desc ", at)) != std::string::npos; ++at) {
    ++descriptions;
  }
  EXPECT_EQ(descriptions, 3u) << guide.str();

  // The operator's channel: its id on every programme, its name, logo and language.
  std::ostringstream named;
  writeScheduleXmltv(result.schedule, named,
                     {"lobby.example.org", "Lobby <1>", "https://x.invalid/logo.png?a&b", "fr-CA"});
  for (const char* part : {"<channel id=\"lobby.example.org\">\n"
                           "    <display-name lang=\"fr-CA\">Lobby &lt;1&gt;</display-name>\n"
                           "    <icon src=\"https://x.invalid/logo.png?a&amp;b\"/>\n  </channel>",
                           "<title lang=\"fr-CA\">Tom &amp;", "<desc lang=\"fr-CA\">Tom &amp;",
                           "<title lang=\"fr-CA\">b</title>"}) {
    EXPECT_NE(named.str().find(part), std::string::npos) << part << '\n' << named.str();
  }
  EXPECT_EQ(named.str().find("solvane"), std::string::npos);
  size_t programmes = 0;
  for (size_t at = 0;
       (at = named.str().find("channel=\"lobby.example.org\"", at)) != std::string::npos; ++at) {
    ++programmes;
  }
  EXPECT_EQ(programmes, 4u);
  EXPECT_NE(text.str().find("2026-12-06T00:00:00.300Z - 2026-12-06T00:01:00.300Z"),
            std::string::npos);
  EXPECT_NE(text.str().find("play 1 of 2, joined 30 s in"), std::string::npos);
}

}  // namespace
}  // namespace vorn::app
