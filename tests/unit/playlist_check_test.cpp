#include "tools/check/playlist_check.h"

#include <gtest/gtest.h>

#include <sstream>

#include "programme/document.h"

namespace vorn::app {
namespace {

// A playlist document as the channel's parser gives it.
JsonPtr document(const std::string& text) {
  return std::get<JsonPtr>(programme::parseDocument(text));
}

// One entry for every way the channel can refuse an entry, between usable ones.
const char* kMixedPlaylist = R"([
  {"hls_url": "https://x.invalid/a.m3u8", "duration": 600, "description_attribution": "A"},
  "just a text",
  {"duration": 10},
  {"hls_url": 42, "duration": 10},
  {"hls_url": "not an address", "duration": 10},
  {"hls_url": "https://x.invalid/e.m3u8"},
  {"hls_url": "https://x.invalid/f.m3u8", "duration": "10"},
  {"hls_url": "https://x.invalid/g.m3u8", "duration": 10, "play_count": 0},
  {"hls_url": "https://x.invalid/h.m3u8", "duration": 10, "play_count": -3},
  {"hls_url": "https://x.invalid/i.m3u8", "duration": 300, "play_count": 2},
  {"hls_url": "https://x.invalid/j.m3u8", "duration": 100, "play_count": 9},
  {"hls_url": "https://x.invalid/k.m3u8", "duration": 100, "play_count": "3"}
])";

TEST(PlaylistCheck, each_entry_is_usable_or_skipped_with_its_reason) {
  const CheckReport report = lintPlaylist(*document(kMixedPlaylist));
  ASSERT_EQ(report.entries.size(), 12u);
  // Skipped or not, and why, as the entry rules read each element (their words are tested with
  // the rules); an entry queued no time is skipped too.
  const std::vector<bool> usable{true,  false, false, false, false, false,
                                 false, false, false, true,  true,  true};
  for (size_t i = 0; i < usable.size(); ++i) {
    EXPECT_EQ(report.entries[i].usable, usable[i]) << "entry " << i;
    EXPECT_EQ(report.entries[i].reason.empty(), usable[i]) << "entry " << i;
  }
  EXPECT_EQ(report.entries[8].reason, "play_count -3 is negative: queues nothing");
  EXPECT_EQ(report.entries[8].address, "https://x.invalid/h.m3u8");
  EXPECT_EQ(report.entries[4].address, "not an address");
  EXPECT_EQ(report.entries[9].plays, 2);
  EXPECT_EQ(report.entries[10].plays, 1);
  EXPECT_EQ(report.entries[10].notes,
            std::vector<std::string>{"play_count 9 is above 5: queued once"});
  EXPECT_EQ(report.entries[11].notes,
            std::vector<std::string>{"play_count is not a number (a text): queued once"});
  // A, I twice, J, K: 600 + 600 + 100 + 100.
  EXPECT_EQ(report.cycleItems, 5u);
  EXPECT_EQ(report.cycleLength, 1400.0);
  EXPECT_TRUE(report.warnings.empty());
  EXPECT_EQ(checkStatus(report), 0);

  std::ostringstream text;
  writeCheckText(report, text);
  EXPECT_NE(text.str().find("entry 3: skipped: hls_url is not text (a number)"), std::string::npos);
  EXPECT_NE(text.str().find("Cycle: 5 items, 1400 s"), std::string::npos);

  // A relative address is read against the playlist's own, as the channel reads it.
  const auto base = platform::Url::parse("https://x.invalid/list/playlist.json");
  const CheckReport relative = lintPlaylist(*document(R"([{"hls_url": "b/index.m3u8"}])"), &*base);
  EXPECT_EQ(relative.entries[0].reason, "missing duration");
}

TEST(PlaylistCheck, probes_give_differences_shifts_and_warnings) {
  CheckReport report = lintPlaylist(*document(R"([
    {"hls_url": "https://x.invalid/a", "duration": 10},
    {"hls_url": "https://x.invalid/b", "duration": 20, "play_count": 2},
    {"duration": 5},
    {"hls_url": "https://x.invalid/d", "duration": 30},
    {"hls_url": "https://x.invalid/e", "duration": 40}])"));
  ASSERT_EQ(checkStatus(report), 0);
  std::vector<std::optional<StreamProbe>> probes(5);
  probes[0] = StreamProbe{true, "", 11.5, {{800000, 640, 360}}};
  probes[1] = StreamProbe{true, "", 17.0, {}};
  probes[3] = StreamProbe{false, "Server returned 404 Not Found", std::nullopt, {}};
  probes[4] = StreamProbe{true, "", std::nullopt, {}};
  applyProbes(report, probes);

  EXPECT_DOUBLE_EQ(*report.entries[0].difference, 1.5);
  EXPECT_EQ(report.entries[0].effect, "");
  // B is played twice, each play 3 s short.
  EXPECT_DOUBLE_EQ(*report.entries[1].difference, -3.0);
  EXPECT_FALSE(report.entries[3].difference.has_value());
  EXPECT_FALSE(report.entries[4].difference.has_value());
  // 1.5 s is within the tolerance; 3 s and the unreachable stream are not.
  ASSERT_EQ(report.warnings.size(), 2u);
  EXPECT_NE(report.warnings[0].find("entry 1"), std::string::npos);
  EXPECT_NE(report.warnings[1].find("404 Not Found"), std::string::npos);
  EXPECT_EQ(checkStatus(report), 1);

  std::ostringstream text;
  writeCheckText(report, text);
  EXPECT_NE(text.str().find("variants: 640x360 at 800 kb/s"), std::string::npos) << text.str();
  // Every item keeps its slot: what the screen shows, never a shift of later items.
  EXPECT_NE(text.str().find("  ends 3 s early: the slate fills the rest of its slot; later items "
                            "stay on the clock\n"),
            std::string::npos);
  EXPECT_EQ(text.str().find("off the clock"), std::string::npos);
  EXPECT_NE(text.str().find("unreachable: Server returned 404 Not Found"), std::string::npos);
}

}  // namespace
}  // namespace vorn::app
