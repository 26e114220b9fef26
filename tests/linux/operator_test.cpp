// The operator's commands end to end: playlists read from files and from a loopback HTTPS server
// trusting a test authority, streams made by ffmpeg for this run and probed for real.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <sstream>
#include <thread>

#include "programme/cycle.h"
#include "programme/json.h"
#include "tests/linux/test_https_server.h"
#include "tests/worked_example.h"
#include "tools/check/check.h"
#include "tools/schedule/schedule.h"

namespace vorn::linuxtest {
namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

template <typename Options>
Outcome run(int (*command)(const Options&, std::ostream&, std::ostream&), const Options& options) {
  std::ostringstream out, err;
  const int status = command(options, out, err);
  return {status, out.str(), err.str()};
}

// A playlist entry; `more` holds the fields after the duration.
std::string entry(const std::string& url, const std::string& duration,
                  const std::string& more = "") {
  return R"({"hls_url": ")" + url + R"(", "duration": )" + duration + more + "}";
}
std::string playlistOf(const std::vector<std::string>& entries) {
  std::string text;
  for (const auto& one : entries) {
    text += (text.empty() ? "[" : ",") + one;
  }
  return text + "]";
}

size_t lines(const std::string& text) {
  return std::count(text.begin(), text.end(), '\n');
}

class OperatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = std::make_unique<TempDir>();
    certificates = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "operator", {"localhost"}));
    // Streams of known real lengths, and a master playlist offering two of them as variants.
    ASSERT_TRUE(makeHlsStream(folder->file("media/six"), 6));
    ASSERT_TRUE(makeHlsStream(folder->file("media/ten"), 10));
    ASSERT_TRUE(makeHlsStream(folder->file("media/six-large"), 6, "320x180"));
    writeFile(folder->file("media/master.m3u8"),
              "#EXTM3U\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=400000,RESOLUTION=160x90\n"
              "six/index.m3u8\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=900000,RESOLUTION=320x180\n"
              "six-large/index.m3u8\n");
    server = std::make_unique<TestHttpsServer>(*certificates);
    ASSERT_TRUE(server->server().set_mount_point("/media", folder->file("media")));
    // Slow refusals, counting how many are answered at once.
    server->server().Get(R"(/slow/\d+\.m3u8)",
                         [](const httplib::Request&, httplib::Response& response) {
                           const int now = ++slowInFlight;
                           for (int seen = slowMostAtOnce.load();
                                now > seen && !slowMostAtOnce.compare_exchange_weak(seen, now);) {
                           }
                           std::this_thread::sleep_for(std::chrono::milliseconds(200));
                           ++slowAnswered;
                           --slowInFlight;
                           response.status = 404;
                         });
    server->start();
  }
  static void TearDownTestSuite() { server.reset(); }

  static std::string playlistFile(const std::string& name, const std::string& json) {
    writeFile(folder->file(name), json);
    return folder->file(name);
  }
  // The certificate names localhost, not the address.
  static std::string localUrl(const std::string& path) {
    std::string url = server->url(path);
    const auto at = url.find("127.0.0.1");
    return at == std::string::npos ? url : url.replace(at, 9, "localhost");
  }
  static std::string mediaUrl(const std::string& path) { return localUrl("/media/" + path); }

  static inline std::unique_ptr<TempDir> folder;
  static inline std::unique_ptr<TestCertificates> certificates;
  static inline std::unique_ptr<TestHttpsServer> server;
  static inline std::atomic<int> slowInFlight{0};
  static inline std::atomic<int> slowMostAtOnce{0};
  static inline std::atomic<int> slowAnswered{0};
};

TEST_F(OperatorTest, schedule_from_a_file_in_every_form) {
  app::ScheduleOptions options;
  options.playlist = playlistFile("worked.json", testing::workedExamplePlaylist());
  options.from = "2026-12-06T01:03:20Z";
  options.hours = 1.0;

  options.format = app::ScheduleFormat::json;
  const Outcome json = run(app::runSchedule, options);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(json.err.empty());
  const nlohmann::json slots = nlohmann::json::parse(json.out);
  ASSERT_EQ(slots.size(), 6u);
  EXPECT_EQ(slots[0]["end"], "2026-12-06T01:20:00Z");
  EXPECT_EQ(slots[3]["description"], "Beta by Bo");
  EXPECT_EQ(slots[3]["play"], 2);

  // The guide validates against the XMLTV document type.
  options.format = app::ScheduleFormat::xmltv;
  options.hours = 30.0;
  const Outcome guide = run(app::runSchedule, options);
  ASSERT_EQ(guide.status, 0) << guide.err;
  writeFile(folder->file("guide.xml"), guide.out);
  EXPECT_TRUE(runCommand("xmllint --noout --nonet --dtdvalid " VORN_TEST_DATA_DIR "/xmltv.dtd " +
                         folder->file("guide.xml") + " 2>" + folder->file("xmllint.log")))
      << readFile(folder->file("xmllint.log"));
  EXPECT_EQ(readFile(folder->file("xmllint.log")).find("error"), std::string::npos);
  // Guide software's own validator takes it, offline, with the default channel and with the
  // operator's, and names no address as a title.
  const auto validated = [](const std::string& guide) {
    writeFile(folder->file("guide.xml"), guide);
    return runCommand("cd " + folder->path() +
                      " && XMLTV_SUPPLEMENT=/usr/share/sgml/xmltv/dtd/0.5 tv_validate_file "
                      "guide.xml >validate.log 2>&1");
  };
  EXPECT_TRUE(validated(guide.out)) << readFile(folder->file("validate.log"));
  EXPECT_EQ(guide.out.find("<title lang=\"en\">http"), std::string::npos) << guide.out;
  EXPECT_NE(guide.out.find("<title lang=\"en\">index</title>"), std::string::npos) << guide.out;
  options.channel = {"lobby.example.org", "Lobby & Hall", "https://x.invalid/logo.png?s=1&t=2",
                     "fr-CA"};
  const Outcome named = run(app::runSchedule, options);
  ASSERT_EQ(named.status, 0) << named.err;
  EXPECT_TRUE(validated(named.out)) << readFile(folder->file("validate.log"));
  EXPECT_NE(named.out.find("<desc lang=\"fr-CA\">Beta by Bo</desc>"), std::string::npos);
  // The check is a real one: the former fixed id is refused.
  auto former = named.out;
  for (size_t at; (at = former.find("lobby.example.org")) != std::string::npos;) {
    former.replace(at, 17, "vorn");
  }
  EXPECT_FALSE(validated(former));
  EXPECT_NE(readFile(folder->file("validate.log")).find("Invalid channel-id 'vorn'"),
            std::string::npos);
  options.channel = {};

  options.format = app::ScheduleFormat::text;
  const Outcome text = run(app::runSchedule, options);
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("2026-12-06T01:00:00Z - 2026-12-06T01:20:00Z  (local "),
            std::string::npos);

  // Now, by default.
  options.from.clear();
  options.hours = 24.0;
  EXPECT_EQ(run(app::runSchedule, options).status, 0);
}

// Each command refuses what it cannot read or place with one line and status 2.
TEST_F(OperatorTest, schedule_and_check_refuse_what_they_cannot_place_with_one_line) {
  app::ScheduleOptions options;
  options.from = "2026-12-06T01:03:20Z";
  options.caFile = certificates->caFile;
  app::CheckOptions checkOptions;
  checkOptions.caFile = certificates->caFile;
  checkOptions.json = true;
  const auto expectRefused = [&](const std::string& playlist, const char* words) {
    options.playlist = playlist;
    const Outcome outcome = run(app::runSchedule, options);
    EXPECT_EQ(outcome.status, 2) << playlist;
    EXPECT_EQ(lines(outcome.err), 1u) << outcome.err;
    EXPECT_NE(outcome.err.find(words), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.out.empty());

    checkOptions.playlist = playlist;
    const Outcome checked = run(app::runCheck, checkOptions);
    EXPECT_EQ(checked.status, 2) << playlist;
    EXPECT_EQ(lines(checked.err), 1u) << checked.err;
    EXPECT_EQ(nlohmann::json::parse(checked.out)["status"], 2);
  };
  expectRefused(folder->file("absent.json"), "no such file");
  expectRefused(playlistFile("object.json", R"({"videos": []})"), "not a JSON array");
  expectRefused(playlistFile("broken.json", "[{"), "not JSON");
  expectRefused(playlistFile("empty.json", "[]"), "nothing playable");
  expectRefused(mediaUrl("absent.json"), "not JSON");
  std::vector<std::string> many;  // one item past the cycle limit, at play count 5
  for (size_t i = 0; i <= programme::kMaxCycleItems / 5; ++i) {
    many.push_back(entry("https://x.invalid/" + std::to_string(i), "1", R"(, "play_count": 5)"));
  }
  expectRefused(
      playlistFile("past-the-limit.json", playlistOf(many)),
      "too large for the channel: The playlist's cycle would hold more than 100000 items.");

  options.playlist = playlistFile("worked.json", testing::workedExamplePlaylist());
  options.from = "yesterday";
  EXPECT_EQ(run(app::runSchedule, options).status, 2);
  options.from = "2026-12-06T01:03:20Z";
  options.hours = 0.0;
  EXPECT_EQ(run(app::runSchedule, options).status, 2);
}

TEST_F(OperatorTest, playlists_over_https_need_the_trusted_authority_and_a_zero_cycle_warns) {
  writeFile(folder->file("media/worked.json"), testing::workedExamplePlaylist());
  app::ScheduleOptions options;
  options.playlist = mediaUrl("worked.json");
  options.from = "2026-12-06T00:50:00Z";
  options.hours = 0.25;
  options.format = app::ScheduleFormat::json;

  const Outcome untrusted = run(app::runSchedule, options);
  EXPECT_EQ(untrusted.status, 2);
  EXPECT_EQ(lines(untrusted.err), 1u);

  // What the schedule holds is the file test's business; here only that the document arrived.
  options.caFile = certificates->caFile;
  const Outcome trusted = run(app::runSchedule, options);
  ASSERT_EQ(trusted.status, 0) << trusted.err;
  EXPECT_EQ(nlohmann::json::parse(trusted.out).size(), 3u);

  app::CheckOptions checkOptions;
  checkOptions.playlist = mediaUrl("worked.json");
  EXPECT_EQ(run(app::runCheck, checkOptions).status, 2);
  checkOptions.caFile = certificates->caFile;
  EXPECT_EQ(run(app::runCheck, checkOptions).status, 0);

  // A cycle of no length is one the clock cannot place: a warning.
  checkOptions.playlist =
      playlistFile("zero.json", R"([{"hls_url": "https://x.invalid/a", "duration": 0}])");
  EXPECT_EQ(run(app::runCheck, checkOptions).status, 1);
}

TEST_F(OperatorTest, probing_finds_lengths_variants_and_unreachable_streams_or_sound_ones) {
  app::CheckOptions options;
  options.playlist = playlistFile(
      "probe.json",
      playlistOf({entry(mediaUrl("six/index.m3u8"), "6"),
                  entry(mediaUrl("ten/index.m3u8"), "6", R"(, "play_count": 2)"),
                  entry(mediaUrl("master.m3u8"), "6"), entry(mediaUrl("gone/index.m3u8"), "6"),
                  entry(mediaUrl("six/index.m3u8"), "6", R"(, "play_count": 0)")}));
  options.probe = true;
  options.json = true;
  options.caFile = certificates->caFile;

  const Outcome outcome = run(app::runCheck, options);
  EXPECT_EQ(outcome.status, 1) << outcome.out;
  EXPECT_TRUE(outcome.err.empty()) << outcome.err;
  const nlohmann::json report = nlohmann::json::parse(outcome.out);
  const nlohmann::json& entries = report["entries"];
  ASSERT_EQ(entries.size(), 5u);

  const nlohmann::json& six = entries[0]["probe"];
  EXPECT_TRUE(six["reachable"].get<bool>());
  EXPECT_NEAR(six["duration"].get<double>(), 6.0, 0.5);
  EXPECT_FALSE(six["mismatch"].get<bool>());

  // Four seconds longer than listed: cut where its slot ends, later items on the clock.
  const nlohmann::json& ten = entries[1]["probe"];
  EXPECT_NEAR(ten["difference"].get<double>(), 4.0, 0.5);
  EXPECT_TRUE(ten["mismatch"].get<bool>());
  EXPECT_EQ(ten["effect"].get<std::string>().rfind("runs ", 0), 0u) << ten.dump();

  const nlohmann::json& master = entries[2]["probe"];
  EXPECT_TRUE(master["reachable"].get<bool>());
  ASSERT_EQ(master["variants"].size(), 2u) << master.dump();
  EXPECT_EQ(master["variants"][0]["bandwidth"], 400000);
  EXPECT_EQ(master["variants"][1]["bandwidth"], 900000);
  EXPECT_EQ(master["variants"][0]["height"], 90);
  EXPECT_EQ(master["variants"][1]["height"], 180);

  const nlohmann::json& gone = entries[3]["probe"];
  EXPECT_FALSE(gone["reachable"].get<bool>());
  EXPECT_NE(gone["error"].get<std::string>().find("404"), std::string::npos) << gone.dump();
  // An entry that queues nothing is not probed.
  EXPECT_FALSE(entries[4].contains("probe"));
  ASSERT_EQ(report["warnings"].size(), 2u);

  // Without the test authority no stream is trusted, and the text report says why.
  options.caFile.clear();
  options.json = false;
  options.progress = true;
  const Outcome untrusted = run(app::runCheck, options);
  EXPECT_EQ(untrusted.status, 1);
  EXPECT_EQ(untrusted.out.find("reachable;"), std::string::npos) << untrusted.out;
  EXPECT_NE(untrusted.out.find("unreachable: "), std::string::npos);
  EXPECT_NE(untrusted.out.find("certificate"), std::string::npos) << untrusted.out;
  EXPECT_NE(untrusted.err.find("probing streams: 4 of 4"), std::string::npos) << untrusted.err;

  // Streams within the tolerance of their listed lengths are sound: status 0.
  options.playlist = playlistFile(
      "sound.json",
      playlistOf({entry(mediaUrl("six/index.m3u8"), "6.5"), entry(mediaUrl("master.m3u8"), "5")}));
  options.caFile = certificates->caFile;
  options.progress = false;
  const Outcome sound = run(app::runCheck, options);
  EXPECT_EQ(sound.status, 0) << sound.out;
  EXPECT_NE(sound.out.find("Sound"), std::string::npos);
}

TEST_F(OperatorTest, at_most_four_probes_at_a_time) {
  std::vector<std::string> slow;
  for (int n = 0; n < 9; ++n) {
    slow.push_back(entry(localUrl("/slow/" + std::to_string(n) + ".m3u8"), "5"));
  }
  app::CheckOptions options;
  options.playlist = playlistFile("slow.json", playlistOf(slow));
  options.probe = true;
  options.json = true;
  options.caFile = certificates->caFile;
  const Outcome outcome = run(app::runCheck, options);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(nlohmann::json::parse(outcome.out)["warnings"].size(), 9u);
  EXPECT_EQ(slowAnswered.load(), 9);
  EXPECT_GE(slowMostAtOnce.load(), 1);
  EXPECT_LE(slowMostAtOnce.load(), 4);
}

}  // namespace
}  // namespace vorn::linuxtest
