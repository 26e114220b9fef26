#include <algorithm>
#include <atomic>
#include <latch>
#include <thread>

#include "channel_fixture.h"
#include "log/diagnostic_history.h"
#include "platform/system_log.h"

namespace vorn::testing {
namespace {

constexpr const char* kDebug = "DEBUG: VorniOSViewController: ";

class Application : public ChannelTest {
 protected:
  Application() { world_.network().serve(kRemote, {.data = workedExamplePlaylist()}); }
};

TEST_F(Application, starts_in_the_platforms_order) {
  auto controller = launchApp();
  ASSERT_TRUE(controller);
  EXPECT_TRUE(dynamic_cast<VorniOSViewController*>(controller.get()));
  EXPECT_EQ(delegate()->vornViewController(), controller);
  EXPECT_EQ(delegate()->window()->rootViewController(), controller);
  EXPECT_EQ(world_.application().state(), platform::ApplicationState::active);
  // What it logs is the simulate command's start-up log, which its own test reads.
  EXPECT_EQ(controller->view()->backgroundColor(), platform::Color::black());
  EXPECT_EQ(controller->view()->frame(), world_.screenBounds());
}

// Inactive and back only pauses and shows the same player again; the background and back
// rebuild the queue at the clock.
TEST_F(Application, inactive_and_back_reattaches_and_background_and_back_rebuild_at_the_clock) {
  auto controller = launchApp();
  world_.scheduler().runUntilIdle();
  world_.scheduler().advance(1.0);
  world_.lifecycle().resignActive();
  world_.scheduler().runUntilIdle();
  EXPECT_FLOAT_EQ(controller->queuePlayer()->rate(), 0.0f);
  EXPECT_FALSE(controller->infoLabelView()->isHidden());
  size_t before = mark();
  world_.lifecycle().becomeActive();
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(recordsSince(before),
            (std::vector<std::string>{"DEBUG: AppDelegate: applicationDidBecomeActive: "}));
  EXPECT_EQ(controller->playerLayer()->player(), controller->queuePlayer());
  EXPECT_FLOAT_EQ(controller->queuePlayer()->rate(), 0.0f);  // becoming active does not resume
  EXPECT_EQ(world_.network().requests().size(), 1u);

  world_.input().tap();  // playing again, so that the background has something to pause
  world_.scheduler().runUntilIdle();
  const auto firstPlayer = controller->queuePlayer();
  ASSERT_FLOAT_EQ(firstPlayer->rate(), 1.0f);
  world_.lifecycle().enterBackground();
  // Detached at once, before the posted pause runs.
  EXPECT_FALSE(controller->playerLayer()->player());
  world_.scheduler().runUntilIdle();
  EXPECT_FLOAT_EQ(firstPlayer->rate(), 0.0f);

  before = mark();
  world_.lifecycle().enterForeground();
  EXPECT_EQ(recordsSince(before, "DEBUG: AppDelegate: "),
            (std::vector<std::string>{"applicationWillEnterForeground:",
                                      "queuePlayer rate is Optional(0.0), airPlayScreenConnected "
                                      "is false",
                                      std::string(kDebug) + "updatePlaylist"}));
  // The queue is rebuilt at the clock, as the simulate command's log shows in its own test.
  world_.scheduler().runUntilIdle();
  world_.lifecycle().becomeActive();
  EXPECT_EQ(controller->playerLayer()->player(), controller->queuePlayer());
}

TEST_F(Application, delegate_without_controller_only_logs) {
  AppDelegate delegate(world_);
  delegate.applicationDidBecomeActive(world_.application());
  delegate.applicationWillResignActive(world_.application());
  delegate.applicationDidEnterBackground(world_.application());
  delegate.applicationWillEnterForeground(world_.application());
  delegate.applicationWillTerminate(world_.application());
  delegate.screenDidConnect(world_.application());
  delegate.screenDidDisconnect(world_.application());
  EXPECT_EQ(delegate.debugmsgs(),
            (std::vector<std::string>{
                "applicationDidBecomeActive: ", "applicationWillEnterForeground:",
                "queuePlayer rate is nil, airPlayScreenConnected is false",
                "handleScreenDidConnectNotification", "handleScreenDidDisconnectNotification"}));
  EXPECT_TRUE(world_.network().requests().empty());
  EXPECT_TRUE(delegate.applicationDidFinishLaunchingWithOptions(world_.application()));
}

TEST_F(Application, resize_moves_the_video_layer_once_the_change_is_done) {
  auto controller = launchApp();
  // Before any layer exists the size change is left alone.
  world_.lifecycle().resize({1280.0, 720.0});
  EXPECT_EQ(controller->view()->frame(), (platform::Rect{0.0, 0.0, 1280.0, 720.0}));
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(controller->playerLayer()->frame(), (platform::Rect{0.0, 0.0, 1280.0, 720.0}));
  world_.lifecycle().resize({800.0, 600.0});
  EXPECT_EQ(controller->playerLayer()->frame(), (platform::Rect{0.0, 0.0, 800.0, 600.0}));
  // The slate, standing in for a stream that stops, covers the view at its new size too.
  for (const char* url : {kA, kB, kC}) {
    world_.media().setBroken(url);
  }
  controller->queuePlayer()->seekToTime(platform::MediaTime::make(0, 1));
  world_.scheduler().runUntilIdle();
  ASSERT_TRUE(controller->slateView());
  EXPECT_EQ(controller->slateView()->frame(), (platform::Rect{0.0, 0.0, 800.0, 600.0}));
  world_.lifecycle().resize({1024.0, 768.0});
  EXPECT_EQ(controller->slateView()->frame(), (platform::Rect{0.0, 0.0, 1024.0, 768.0}));
  EXPECT_FALSE(controller->slateView()->isHidden());
  const size_t before = mark();
  world_.lifecycle().memoryWarning();
  EXPECT_TRUE(recordsSince(before).empty());
}

TEST_F(Application, view_set_up_settles_addresses_and_reports_problems) {
  // Packaged file present, developer mode off: no message, remote address.
  auto normal = makeController();
  EXPECT_TRUE(normal->errors().empty());
  EXPECT_EQ(normal->playlistNSURL(), normal->PLAYLIST_NSURL_REMOTE());
  EXPECT_EQ(normal->PLAYLIST_NSURL_LOCAL()->text(), kPackagedUrl);

  // Developer mode with the file: the packaged copy, said through error.
  auto developer = std::make_shared<VornViewController>(world_, std::nullopt, nullptr);
  developer->setDEVELOPER_MODE(true);
  developer->loadViewIfNeeded();
  EXPECT_EQ(developer->playlistNSURL()->text(), kPackagedUrl);
  EXPECT_EQ(developer->errors(), (std::vector<std::string>{std::string("USING Optional(") +
                                                           kPackagedUrl + ") !!!!!!!!!!!!!!"}));

  // File missing, developer mode on: both messages, no address at all.
  world_.bundle().setResource("vorn-vimeo-playlist", "json", std::nullopt);
  auto missing = std::make_shared<VornViewController>(world_, std::nullopt, nullptr);
  EXPECT_FALSE(missing->PLAYLIST_FILE_LOCAL());
  missing->setDEVELOPER_MODE(true);
  missing->loadViewIfNeeded();
  EXPECT_EQ(missing->errors(), (std::vector<std::string>{"PLAYLIST_FILE_LOCAL not 1: nil",
                                                         "USING nil !!!!!!!!!!!!!!"}));
  EXPECT_FALSE(missing->playlistNSURL());

  // Audio category refused: one message, activation not attempted, gestures still added.
  world_.audioSession().failCategory(
      platform::Error::make(platform::kAudioErrorDomain, 2, "no device"));
  auto quiet = makeController();
  ASSERT_EQ(quiet->errors().size(), 2u);
  EXPECT_EQ(quiet->errors()[1],
            "loadVideos: Couldn't set AVAudioSession: Error Domain=VornAudioSessionErrorDomain "
            "Code=2 \"no device\"");
  EXPECT_EQ(quiet->view()->gestureRecognizers().size(), 6u);
  world_.audioSession().failCategory(nullptr);
  world_.audioSession().failActivation(
      platform::Error::make(platform::kAudioErrorDomain, 3, "busy"));
  auto inactive = makeController();
  EXPECT_EQ(inactive->errors().back(),
            "loadVideos: Couldn't set AVAudioSession: Error Domain=VornAudioSessionErrorDomain "
            "Code=3 \"busy\"");
}

TEST_F(Application, log_lines_carry_the_class_name_and_the_message_literally_in_bounded_histories) {
  auto plain = std::make_shared<VornViewController>(world_, std::nullopt, nullptr);
  auto ios = VorniOSViewController::initWithCoder(world_, platform::Coder{});
  // A coder that cannot decode yields no controller of either kind.
  EXPECT_FALSE(VornViewController::initWithCoder(world_, platform::Coder{false}));
  EXPECT_FALSE(VorniOSViewController::initWithCoder(world_, platform::Coder{false}));
  AppDelegate delegate(world_);
  plain->debug("100%@ %d %s");
  plain->error("bad");
  ios->debug("x");
  delegate.debug("d");
  delegate.error("e");
  EXPECT_EQ(world_.log().records(),
            (std::vector<std::string>{"DEBUG: VornViewController: 100%@ %d %s",
                                      "ERROR: VornViewController: Alert: bad",
                                      "DEBUG: VorniOSViewController: x", "DEBUG: AppDelegate: d",
                                      "ERROR: AppDelegate: Alert: e"}));
  EXPECT_EQ(plain->debugmsgs(), (std::vector<std::string>{"100%@ %d %s"}));
  EXPECT_EQ(plain->errors(), (std::vector<std::string>{"bad"}));
  EXPECT_EQ(delegate.debugmsgs(), (std::vector<std::string>{"d"}));
  ios->setDebugmsgs({"a"});
  EXPECT_EQ(ios->debugmsgs(), (std::vector<std::string>{"a"}));

  // Every append goes through the histories' overridable append, on both kinds of object.
  struct Kept {
    std::vector<std::string> lines;
  };
  struct KeptController : VorniOSViewController {
    KeptController(platform::Platform& platform, Kept& kept)
        : VorniOSViewController(platform, std::nullopt, nullptr), kept_(kept) {}
    void appendDebugmsg(const std::string& message) override { kept_.lines.push_back(message); }
    void appendError(const std::string& message) override { kept_.lines.push_back("!" + message); }
    Kept& kept_;
  };
  struct KeptDelegate : AppDelegate {
    KeptDelegate(platform::Platform& platform, Kept& kept) : AppDelegate(platform), kept_(kept) {}
    void appendDebugmsg(const std::string& message) override { kept_.lines.push_back(message); }
    void appendError(const std::string& message) override { kept_.lines.push_back("!" + message); }
    Kept& kept_;
  };
  Kept kept;
  auto keptController = std::make_shared<KeptController>(world_, kept);
  KeptDelegate keptDelegate(world_, kept);
  keptController->debug("c");
  keptController->error("ce");
  keptDelegate.debug("d");
  keptDelegate.error("de");
  EXPECT_EQ(kept.lines, (std::vector<std::string>{"c", "!ce", "d", "!de"}));
  EXPECT_TRUE(keptController->debugmsgs().empty());
  EXPECT_TRUE(keptDelegate.errors().empty());

  // Over a long run a history keeps only its newest entries.
  const size_t cap = log::DiagnosticHistory::kMaxEntries;
  for (size_t i = 0; i < cap + 10; ++i) {
    plain->debug(std::to_string(i));
  }
  const auto messages = plain->debugmsgs();
  ASSERT_EQ(messages.size(), cap);
  EXPECT_EQ(messages.front(), "10");
  EXPECT_EQ(messages.back(), std::to_string(cap + 9));
}

// The download completion thread and the main thread share the histories, the playlist, the
// address and the retry budget. Run under ThreadSanitizer this catches unguarded access.
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

TEST_F(Application, a_long_message_is_cut_in_the_history_and_the_system_log_alike) {
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

TEST_F(Application, completion_thread_and_main_thread_share_state_safely) {
  auto controller = makeController();
  // The completion thread waits half-way until the main thread has read, so the two overlap
  // however the threads are scheduled.
  std::latch mainHasRead(1);
  std::atomic<bool> done{false};
  std::thread completion([&] {
    for (int i = 0; i < 200; ++i) {
      if (i == 100) {
        mainHasRead.wait();
      }
      controller->updatePlaylistCompletionHandler(i % 2 ? "[]" : "{", nullptr, nullptr);
    }
    done = true;
  });
  bool signalled = false;
  do {
    (void)controller->debugmsgs();
    (void)controller->errors();
    (void)controller->playlist();
    (void)controller->playlistNSURL();
    (void)controller->fetchPlaylistRetries();
    controller->debug("main");
    if (!signalled) {
      mainHasRead.count_down();
      signalled = true;
    }
  } while (!done);
  completion.join();
  world_.scheduler().runUntilIdle();
  EXPECT_TRUE(controller->playlist());
  EXPECT_EQ(controller->fetchPlaylistRetries(), 2 - 100);
  const auto errors = controller->errors();
  EXPECT_EQ(std::count_if(
                errors.begin(), errors.end(),
                [](const std::string& line) { return line.rfind("Error parsing JSON: ", 0) == 0; }),
            100);
}

}  // namespace
}  // namespace vorn::testing
