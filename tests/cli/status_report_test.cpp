// The status file, the metrics and the service status line as the player writes them, and `vorn
// status`'s judgement of the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "platform/channel_status.h"
#include "tests/exposition_format.h"
#include "tools/status/status_report.h"

namespace vorn::testing {
namespace {

using platform::ChannelState;
using platform::ChannelStatus;

constexpr double kNow = 1796652000.0;  // 2026-12-07T14:00:00Z

// Playing B, the second of four, on a remote playlist fetched a minute ago.
ChannelStatus healthy() {
  ChannelStatus status;
  status.state = ChannelState::playing;
  status.item = ChannelStatus::Item{
      1, 4, "https://streams.invalid/b/index.m3u8", "B \"quoted\"\nsecond line", 12.5, 300.0};
  status.clockOffset = 0.02;
  status.playlist = {"remote", "https://channel.invalid/p.json", kNow - 60.0, "0123456789abcdef"};
  status.lastFetch = ChannelStatus::Fetch{kNow - 60.0, true, ""};
  status.lastFetchSuccessAt = kNow - 60.0;
  status.nextRefresh = kNow + 540.0;
  status.clockSynchronized = platform::ClockSync::yes;
  status.startedAt = kNow - 3600.0;
  status.updatedAt = kNow;
  status.version = "1.2.3";
  return status;
}

TEST(StatusFile, holds_exactly_the_keys_readers_rely_on_in_iso_utc_times) {
  const auto document = nlohmann::json::parse(platform::statusJson(healthy()));
  std::set<std::string> keys;
  for (const auto& [key, value] : document.items()) {
    keys.insert(key);
  }
  EXPECT_EQ(keys, (std::set<std::string>{"state", "item", "clock_offset", "playlist", "last_fetch",
                                         "next_refresh", "clock_synchronized", "uptime", "version",
                                         "updated_at"}));
  EXPECT_EQ(document["state"], "playing");
  EXPECT_EQ(document["item"],
            nlohmann::json::parse(R"({"index": 1, "url": "https://streams.invalid/b/index.m3u8",
                                      "description": "B \"quoted\"\nsecond line",
                                      "position": 12.5})"));
  EXPECT_DOUBLE_EQ(document["clock_offset"].get<double>(), 0.02);
  EXPECT_EQ(document["playlist"],
            nlohmann::json::parse(R"({"source": "remote", "url": "https://channel.invalid/p.json",
                                      "loaded_at": "2026-12-07T13:59:00Z",
                                      "hash": "0123456789abcdef"})"));
  EXPECT_EQ(document["last_fetch"], nlohmann::json::parse(R"({"at": "2026-12-07T13:59:00Z",
                                                              "ok": true, "error": null})"));
  EXPECT_EQ(document["next_refresh"], "2026-12-07T14:09:00Z");
  EXPECT_EQ(document["clock_synchronized"], "yes");
  EXPECT_EQ(document["uptime"], 3600);
  EXPECT_EQ(document["version"], "1.2.3");
  EXPECT_EQ(document["updated_at"], "2026-12-07T14:00:00Z");

  // Before anything is known the keys stay, with nulls.
  ChannelStatus starting;
  starting.updatedAt = kNow;
  const auto early = nlohmann::json::parse(platform::statusJson(starting));
  EXPECT_EQ(early["state"], "starting");
  EXPECT_TRUE(early["item"].is_null());
  EXPECT_TRUE(early["clock_offset"].is_null());
  EXPECT_TRUE(early["last_fetch"].is_null());
  EXPECT_TRUE(early["playlist"]["source"].is_null());
  EXPECT_EQ(early["clock_synchronized"], "unknown");
}

TEST(StatusFile, vorn_status_tells_healthy_degraded_and_not_running_apart) {
  struct Case {
    std::string name;
    std::function<void(ChannelStatus&)> change;
    double readAt;
    int exitStatus;
    std::string problem;  // a part of the first problem named
  };
  const std::vector<Case> cases = {
      {"healthy", [](ChannelStatus&) {}, kNow + 1.0, 0, ""},
      {"offset within 2 s", [](ChannelStatus& s) { s.clockOffset = -1.9; }, kNow, 0, ""},
      {"paused", [](ChannelStatus& s) { s.state = ChannelState::paused; }, kNow, 0, ""},
      {"slate",
       [](ChannelStatus& s) {
         s.state = ChannelState::slate;
         s.clockOffset.reset();
       },
       kNow, 1, "slate"},
      {"saved copy", [](ChannelStatus& s) { s.playlist.source = "saved"; }, kNow, 1, "saved"},
      {"packaged copy", [](ChannelStatus& s) { s.playlist.source = "packaged"; }, kNow, 1,
       "packaged"},
      {"unsynchronised", [](ChannelStatus& s) { s.clockSynchronized = platform::ClockSync::no; },
       kNow, 1, "not synchronised"},
      {"failed fetch",
       [](ChannelStatus& s) {
         s.lastFetch = ChannelStatus::Fetch{kNow, false, "timed out"};
       },
       kNow, 1, "timed out"},
      {"off the clock", [](ChannelStatus& s) { s.clockOffset = 2.5; }, kNow, 1, "+2.50 s"},
      {"behind the clock", [](ChannelStatus& s) { s.clockOffset = -12.0; }, kNow, 1, "-12.00 s"},
      {"stale file", [](ChannelStatus&) {}, kNow + 31.0, 2, "old"},
      {"stale even when degraded", [](ChannelStatus& s) { s.state = ChannelState::slate; },
       kNow + 3600.0, 2, "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChannelStatus status = healthy();
    c.change(status);
    const auto report = app::judgeStatus(platform::statusJson(status), "", c.readAt);
    EXPECT_EQ(report.exitStatus, c.exitStatus) << report.text;
    if (c.problem.empty()) {
      EXPECT_TRUE(report.problems.empty()) << report.text;
    } else {
      ASSERT_FALSE(report.problems.empty());
      EXPECT_NE(report.problems.front().find(c.problem), std::string::npos)
          << report.problems.front();
    }
    // One screen at most.
    EXPECT_LE(std::count(report.text.begin(), report.text.end(), '\n'), 24) << report.text;
  }
  EXPECT_EQ(app::judgeStatus("", "/run/user/1/vorn/status.json: No such file", kNow).exitStatus, 2);
  EXPECT_EQ(app::judgeStatus("{\"state\": \"playing\"", "", kNow).exitStatus, 2);
  EXPECT_EQ(app::judgeStatus("[]", "", kNow).exitStatus, 2);
  const auto text = app::judgeStatus(platform::statusJson(healthy()), "", kNow).text;
  EXPECT_EQ(text.rfind("vorn: playing, healthy\n", 0), 0u) << text;
  EXPECT_NE(text.find("https://channel.invalid/p.json"), std::string::npos) << text;
}

TEST(Metrics, every_family_is_described_and_the_text_reads_strictly) {
  ChannelStatus status = healthy();
  status.state = ChannelState::slate;
  status.version = "1.0 \"rc\" \\ x";
  status.slatesTotal = 3;
  status.itemsStartedTotal = 41;
  status.fetchFailuresTotal = 2;
  status.clockSynchronized = platform::ClockSync::no;
  const auto read = readExposition(platform::metricsText(status));
  EXPECT_EQ(read.errors, std::vector<std::string>{});
  const std::map<std::string, std::string> families = {
      {"vorn_up", "gauge"},
      {"vorn_state", "gauge"},
      {"vorn_clock_offset_seconds", "gauge"},
      {"vorn_slate_active", "gauge"},
      {"vorn_slates_total", "counter"},
      {"vorn_items_started_total", "counter"},
      {"vorn_playlist_source", "gauge"},
      {"vorn_playlist_loaded_timestamp_seconds", "gauge"},
      {"vorn_playlist_fetch_failures_total", "counter"},
      {"vorn_last_fetch_success_timestamp_seconds", "gauge"},
      {"vorn_clock_synchronized", "gauge"},
      {"vorn_build_info", "gauge"}};
  EXPECT_EQ(read.types, families);
  const std::map<std::string, double> expected = {
      {"vorn_up", 1},
      {"vorn_state{state=\"slate\"}", 1},
      {"vorn_state{state=\"playing\"}", 0},
      {"vorn_clock_offset_seconds", 0.02},
      {"vorn_slate_active", 1},
      {"vorn_slates_total", 3},
      {"vorn_items_started_total", 41},
      {"vorn_playlist_source{source=\"remote\"}", 1},
      {"vorn_playlist_source{source=\"saved\"}", 0},
      {"vorn_playlist_loaded_timestamp_seconds", kNow - 60.0},
      {"vorn_playlist_fetch_failures_total", 2},
      {"vorn_last_fetch_success_timestamp_seconds", kNow - 60.0},
      {"vorn_clock_synchronized", 0},
      {"vorn_build_info{version=\"1.0 \\\"rc\\\" \\\\ x\"}", 1}};
  for (const auto& [series, value] : expected) {
    ASSERT_EQ(read.samples.count(series), 1u) << series;
    EXPECT_DOUBLE_EQ(read.samples.at(series), value) << series;
  }
  EXPECT_EQ(read.samples.size(), 7u + 3u + 10u);

  // The reader itself refuses what a collector refuses.
  for (const std::string bad :
       {"# HELP a x\na 1\n", "# HELP a x\n# TYPE a gauge\na 1\na 2\n",
        "# HELP a x\n# TYPE a gauge\na{l=\"\\q\"} 1\n", "# HELP a x\n# TYPE a gauge\na one\n",
        "# HELP a x\n# TYPE a gauge\na 1", "# TYPE a gauge\na 1\n",
        "# HELP a x\n# TYPE a gauge\na{l=\"1\"} 1\n# HELP b x\n# TYPE b gauge\nb 1\na{l=\"2\"} "
        "1\n"}) {
    EXPECT_FALSE(readExposition(bad).errors.empty()) << bad;
  }
}

TEST(ServiceStatus, is_one_line_that_says_what_plays_and_how_well) {
  // Times are the machine's local ones; this test reads them in UTC.
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(platform::statusLine(healthy()),
            "B \"quoted\" second line 2/4, on the clock (+0.02 s), remote playlist loaded 13:59");
  ChannelStatus status = healthy();
  status.clockOffset = -3.456;
  status.lastFetch = ChannelStatus::Fetch{kNow, false, "timed out"};
  status.clockSynchronized = platform::ClockSync::no;
  EXPECT_EQ(platform::statusLine(status),
            "B \"quoted\" second line 2/4, off the clock (-3.46 s), remote playlist loaded 13:59, "
            "last fetch failed, clock not synchronised");
  status = healthy();
  status.state = ChannelState::slate;
  status.slateReason = "itemStalled";
  status.slateEnd = kNow + 125.0;
  status.playlist.source = "saved";
  EXPECT_EQ(platform::statusLine(status),
            "Slate: itemStalled until 14:02, saved playlist loaded 13:59");
}

}  // namespace
}  // namespace vorn::testing
