#include <algorithm>
#include <limits>
#include <string>

#include "app/playlist_check.h"
#include "app/programme_schedule.h"
#include "channel/programme_clock.h"
#include "channel_fixture.h"
#include "log/diagnostic_history.h"
#include "platform/sim/sim_text_metrics.h"
#include "platform/system_log.h"
#include "playlist/playlist_document.h"

namespace vorn::testing {
namespace {

constexpr const char* kListAddress = "https://lists.invalid/channel/today/playlist.json";

size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

using PlaylistHardening = ChannelTest;

TEST_F(PlaylistHardening, without_a_packaged_copy_each_foreground_return_starts_a_new_course) {
  world_.bundle().setResource("vorn-vimeo-playlist", "json", std::nullopt);
  world_.network().serve(
      kRemote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1004, "no connect")});
  auto controller = makeController();
  controller->viewDidAppear(false);
  world_.scheduler().advance(10.0);
  ASSERT_EQ(world_.network().requests().size(), 3u);
  // Still down: the return gets a whole course of its own, then rests with nothing due.
  controller->updatePlaylistThenLoadVideos();
  world_.scheduler().advance(10.0);
  EXPECT_EQ(world_.network().requests(), std::vector<std::string>(6, kRemote));
  EXPECT_EQ(controller->errors().back(), "updatePlaylist: no playlist address; not downloading");
  EXPECT_FALSE(world_.scheduler().nextDueTime());
  EXPECT_EQ(world_.network().pendingDownloads(), 0u);
}

TEST_F(PlaylistHardening, a_document_with_nothing_playable_never_replaces_one_that_plays) {
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  const JsonPtr playing = controller->playlist();
  ASSERT_TRUE(playing);
  const auto player = controller->queuePlayer();
  ASSERT_EQ(playingUrls().size(), 4u);

  const std::string kept =
      "ERROR: VornViewController: Alert: updatePlaylistCompletionHandler: playlist has no "
      "playable entries; keeping the current playlist";
  for (const char* nothing :
       {"[]", R"([{"hls_url": "x y", "duration": 5}, 7, {"duration": 3}])",
        R"([{"hls_url": "https://streams.invalid/z.m3u8", "duration": 5, "play_count": 0}])"}) {
    const size_t before = mark();
    deliver(*controller, nothing);
    const auto lines = recordsSince(before);
    EXPECT_EQ(countOf(lines, kept), 1u) << nothing;
    EXPECT_EQ(controller->playlist(), playing) << nothing;
    // What is on screen goes on, observers and all.
    EXPECT_EQ(controller->queuePlayer(), player) << nothing;
    EXPECT_EQ(controller->playerLayer()->player(), player) << nothing;
    EXPECT_TRUE(controller->lastPlayerItem()) << nothing;
    EXPECT_EQ(world_.notificationCenter().registrationsOf(controller.get()).size(), 4u) << nothing;
    EXPECT_FLOAT_EQ(player->rate(), 1.0f) << nothing;
    EXPECT_EQ(controller->fetchPlaylistRetries(), 2) << nothing;  // not counted as a failure
  }
}

TEST_F(PlaylistHardening, relative_stream_addresses_resolve_against_the_playlist_address) {
  for (const char* stream :
       {"https://lists.invalid/channel/today/videos/a/index.m3u8", "https://lists.invalid/x/y.m3u8",
        "https://lists.invalid/channel/b.m3u8", "https://other.invalid/c.m3u8",
        "https://streams.invalid/abs.m3u8"}) {
    world_.media().setLength(stream, 100.0);
  }
  const std::string relative = R"([
    {"hls_url": "videos/a/index.m3u8", "duration": 60},
    {"hls_url": "/x/y.m3u8", "duration": 70},
    {"hls_url": "../b.m3u8", "duration": 80},
    {"hls_url": "//other.invalid/c.m3u8", "duration": 90},
    {"hls_url": "https://streams.invalid/abs.m3u8", "duration": 100}])";
  auto controller = makeController();
  const size_t before = mark();
  deliver(*controller, relative, kListAddress);
  // Nothing is dropped, so every entry keeps its place on the clock: at 01:03:20 the 400 s cycle
  // is 200 s in, 70 s into the third entry.
  EXPECT_EQ(playingUrls(), (std::vector<std::string>{
                               "https://lists.invalid/channel/b.m3u8",
                               "https://other.invalid/c.m3u8", "https://streams.invalid/abs.m3u8",
                               "https://lists.invalid/channel/today/videos/a/index.m3u8",
                               "https://lists.invalid/x/y.m3u8"}));
  const auto lines = recordsSince(before);
  EXPECT_EQ(countOf(lines,
                    "DEBUG: VornViewController: loadVideos: Adding "
                    "AVPlayerItemDidPlayToEndTimeNotification notifier for playerItem: "
                    "Optional(<VornAVPlayerItem: https://lists.invalid/x/y.m3u8>)"),
            1u);
  controller.reset();

  // The operator's commands read the same entries the same way.
  const auto parsed = std::get<JsonPtr>(playlist::parseDocument(relative));
  const auto base = *platform::Url::parse(kListAddress);
  const app::CheckReport report = app::lintPlaylist(*parsed, &base);
  EXPECT_EQ(report.cycleItems, 5u);
  EXPECT_EQ(report.entries[2].address, "https://lists.invalid/channel/b.m3u8");
  const app::ScheduleResult schedule = app::buildSchedule(*parsed, 0.0, 600.0, &base);
  EXPECT_EQ(schedule.schedule.cycleItems, 5u);
  EXPECT_EQ(schedule.schedule.cycleLength, 400.0);
  // Without an address to resolve against, a relative entry is not usable, as before.
  EXPECT_EQ(app::lintPlaylist(*parsed).cycleItems, 1u);
}

TEST_F(PlaylistHardening, a_cycle_past_the_item_limit_is_refused_as_a_parse_error) {
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  const JsonPtr playing = controller->playlist();
  std::string past = "[";
  for (size_t i = 0; i <= programme::kMaxCycleItems / 5; ++i) {
    past += R"({"hls_url": "https://streams.invalid/)" + std::to_string(i) +
            R"(.m3u8", "duration": 10, "play_count": 5},)";
  }
  past.back() = ']';
  const size_t before = mark();
  controller->updatePlaylistCompletionHandler(past, responseFrom(), nullptr);
  const auto lines = recordsSince(before);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "ERROR: VornViewController: Alert: Error parsing JSON: Error "
            "Domain=VornJSONErrorDomain Code=4 \"The playlist's cycle would hold more than " +
                std::to_string(programme::kMaxCycleItems) + " items.\"");
  EXPECT_EQ(lines.back(),
            "DEBUG: VornViewController: updatePlaylistCompletionHandler: re-trying in 2.0 seconds");
  EXPECT_EQ(controller->playlist(), playing);
}

TEST(PlaylistFirstPass, counts_the_cycle_and_refuses_as_the_parsed_document_does) {
  const auto base = *platform::Url::parse("https://lists.invalid/channel/p.json");
  // A repeated name counts by its last value; a container where a text or a number belongs makes
  // no entry; a relative address needs the base; only top-level elements are entries.
  const std::string text = R"([
    {"hls_url": "https://a.invalid/1", "duration": 1, "play_count": 3, "play_count": 2},
    {"hls_url": ["https://a.invalid/x"], "duration": 1},
    {"hls_url": "b.m3u8", "duration": true, "play_count": 5},
    {"hls_url": {"hls_url": "https://a.invalid/2"}, "duration": 1, "hls_url": "https://a.invalid/2",
     "play_count": 1, "play_count": 4},
    [{"hls_url": "https://a.invalid/3", "duration": 1}],
    {"hls_url": "https://a.invalid/4", "duration": {"duration": 1}},
    {"hls_url": "https://a.invalid/5", "duration": 2.5, "play_count": -1e300}
  ])";
  // Read by their first values, the repeated names would give 3 + 5 + 0 and 3 + 0.
  const auto parsed = std::get<JsonPtr>(playlist::parseDocument(text));
  ASSERT_EQ(programme::countCycleItems(*parsed, &base), 11u);
  ASSERT_EQ(programme::countCycleItems(*parsed, nullptr), 6u);
  const auto twice = std::get<JsonPtr>(playlist::parseDocument(
      R"({"hls_url": "https://a.invalid/1", "duration": 100, "duration": 50})"));
  EXPECT_EQ(programme::readEntry(*twice)->duration, 50.0);
  for (const auto& [basePointer, items] :
       {std::pair{&base, size_t{11}},
        std::pair{static_cast<const platform::Url*>(nullptr), size_t{6}}}) {
    EXPECT_EQ(playlist::parsePlaylist(text, basePointer, items).index(), 0u);
    const auto refused = playlist::parsePlaylist(text, basePointer, items - 1);
    ASSERT_EQ(refused.index(), 1u);
    EXPECT_TRUE(playlist::isTooManyItems(*std::get<1>(refused)));
  }

  // The value limit counts every value, the top-level array included.
  std::string values = "[0";
  for (size_t i = 2; i < playlist::kMaxValues; ++i) {
    values += ",0";
  }
  EXPECT_EQ(playlist::parsePlaylist(values + "]", nullptr).index(), 0u);
  const auto tooMany = playlist::parsePlaylist(values + ",0]", nullptr);
  ASSERT_EQ(tooMany.index(), 1u);
  EXPECT_TRUE(playlist::isTooLarge(*std::get<1>(tooMany)));
  EXPECT_FALSE(playlist::isTooManyItems(*std::get<1>(tooMany)));

  // What the parser refuses reads the same from the first pass.
  for (const std::string& bad :
       {std::string(R"([{"hls_url": "x", )"), std::string("3"), std::string("[1] x"),
        std::string(600, '[') + std::string(600, ']'),
        std::string(R"([18446744073709551616, 1e999])")}) {
    const auto expected = playlist::parseDocument(bad);
    const auto got = playlist::parsePlaylist(bad, &base);
    ASSERT_EQ(expected.index(), 1u) << bad;
    ASSERT_EQ(got.index(), 1u) << bad;
    EXPECT_EQ(std::get<1>(got)->description(), std::get<1>(expected)->description());
  }
}

TEST(LogBounds, records_are_cut_with_a_mark_and_histories_are_bounded_by_bytes) {
  // A record at the limit is kept whole; one past it is cut to the limit and says how much went.
  const std::string atLimit(platform::kMaxRecordBytes, 'a');
  EXPECT_EQ(platform::capRecord(atLimit), atLimit);
  const std::string huge = "Loaded playlist from " + std::string(1'000'000, 'u');
  const std::string cut = platform::capRecord(huge);
  EXPECT_LE(cut.size(), platform::kMaxRecordBytes);
  EXPECT_EQ(cut.rfind("Loaded playlist from uuu", 0), 0u);
  const size_t kept = cut.find("\u2026 [cut: ");
  ASSERT_NE(kept, std::string::npos);
  EXPECT_EQ(cut.substr(kept),
            "\u2026 [cut: " + std::to_string(huge.size() - kept) + " more bytes]");

  // The cut never splits a character.
  std::string accents;
  while (accents.size() <= platform::kMaxRecordBytes) {
    accents += "\xc3\xa9";  // é
  }
  accents = "x" + accents;
  const std::string cutAccents = platform::capRecord(accents);
  const size_t text = cutAccents.find("\u2026");
  ASSERT_NE(text, std::string::npos);
  EXPECT_EQ((text - 1) % 2, 0u) << "a two-byte character was split";

  // Bytes bound the history before entries do: the newest entries stay.
  log::DiagnosticHistory history;
  const std::string big(platform::kMaxRecordBytes - 8, 'b');
  const size_t fit = log::DiagnosticHistory::kMaxBytes / (big.size() + 8);
  for (size_t i = 0; i < fit + 100; ++i) {
    history.append(big + std::to_string(10'000'000 + i));
  }
  const auto held = history.entries();
  EXPECT_LE(history.bytes(), log::DiagnosticHistory::kMaxBytes);
  EXPECT_LT(held.size(), fit + 100);
  EXPECT_EQ(held.back(), big + std::to_string(10'000'000 + fit + 99));
  size_t sum = 0;
  for (const auto& entry : held) {
    sum += entry.size();
  }
  EXPECT_EQ(sum, history.bytes());

  // Set as a whole, the same bounds hold, and a record set in is cut as an appended one is.
  history.replace({huge, "last"});
  EXPECT_EQ(history.entries(), (std::vector<std::string>{cut, "last"}));
  EXPECT_EQ(history.bytes(), cut.size() + 4);
}

TEST_F(PlaylistHardening, a_long_message_is_cut_in_the_history_and_the_system_log_alike) {
  auto controller = makeController();
  const size_t before = mark();
  controller->error("Error fetching playlist: https://streams.invalid/" +
                    std::string(1'000'000, 'p'));
  const auto records = recordsSince(before);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind("ERROR: VornViewController: Alert: Error fetching playlist: https", 0),
            0u);
  for (const std::string& line : {records[0], controller->errors().back()}) {
    EXPECT_LE(line.size(), platform::kMaxRecordBytes);
    EXPECT_NE(line.find(" more bytes]"), std::string::npos);
  }
}

TEST(SimTextMetricsBounds, any_width_or_height_fits_without_overflow) {
  sim::SimTextMetrics metrics;
  const platform::Font font = metrics.preferredFont(platform::FontTextStyle::body);
  for (const double huge : {1e308, std::numeric_limits<double>::infinity(), 1e20}) {
    const platform::Size size = metrics.fit("hello wide world", font, huge, huge);
    EXPECT_EQ(size.width, 160.0) << huge;
    EXPECT_EQ(size.height, 20.0) << huge;
  }
  const platform::Size narrow =
      metrics.fit("ab", font, std::numeric_limits<double>::quiet_NaN(), 1000.0);
  EXPECT_EQ(narrow.height, 40.0);
}

}  // namespace
}  // namespace vorn::testing
