#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/world.h"

namespace vorn::sim {
namespace {

using platform::Application;
using platform::Platform;

using Journal = std::shared_ptr<std::vector<std::string>>;

class ProbeDelegate : public platform::ApplicationDelegate {
 public:
  explicit ProbeDelegate(Journal journal) : journal_(std::move(journal)) {}
  std::shared_ptr<platform::Window> window() override { return window_; }
  void setWindow(std::shared_ptr<platform::Window> window) override { window_ = std::move(window); }
  bool applicationDidFinishLaunchingWithOptions(Application&) override {
    journal_->push_back("launched");
    return true;
  }
  void applicationWillResignActive(Application&) override { journal_->push_back("resign"); }
  void applicationDidEnterBackground(Application&) override { journal_->push_back("background"); }
  void applicationWillEnterForeground(Application&) override { journal_->push_back("foreground"); }
  void applicationDidBecomeActive(Application&) override { journal_->push_back("active"); }
  void applicationWillTerminate(Application&) override { journal_->push_back("terminate"); }
  void screenDidConnect(Application&) override { journal_->push_back("screen+"); }
  void screenDidDisconnect(Application&) override { journal_->push_back("screen-"); }

 private:
  Journal journal_;
  std::shared_ptr<platform::Window> window_;
};

// A controller that, like the channel's, is held by pending work of every kind.
class ProbeController : public platform::ViewController {
 public:
  ProbeController(Platform& platform, Journal journal, int* destroyed)
      : ViewController(platform), journal_(std::move(journal)), destroyed_(destroyed) {}
  ~ProbeController() override {
    ++*destroyed_;
    // The services are still there while the World releases what holds the controller.
    registration_.reset();
    platform().systemLog().write("controller gone");
  }

  void viewDidLoad() override {
    journal_->push_back("viewDidLoad " + view()->frame().description());
    // Input handlers hold the journal only, not the controller.
    const auto note = [journal = journal_](const char* what) {
      return [journal, what](auto&&...) {
        journal->push_back(what);
        return platform::kRemoteCommandHandlerStatusSuccess;
      };
    };
    auto tap = std::make_shared<platform::TapGestureRecognizer>(
        platform::GestureAction{"handleTap:", note("tap")});
    view()->addGestureRecognizer(tap);
    auto press = std::make_shared<platform::TapGestureRecognizer>(
        platform::GestureAction{"handlePress:", note("press")});
    press->setAllowedPressTypes({platform::kPressTypePlayPause});
    view()->addGestureRecognizer(press);
    platform().remoteCommandCenter().togglePlayPauseCommand().addTarget(
        {"handleToggle:", note("toggle")});
  }
  void viewDidAppear(bool) override {
    auto self = shared_from_this();
    // Strong holds, as a scheduled timer, a posted block, a download and a boundary observer keep
    // their target.
    platform().timers().scheduledTimer(3600.0, {"inactivityTimer:", [self](platform::Timer&) {}});
    platform().mainQueue().post([self] {});
    platform().urlSession().startDataTask(*platform::Url::parse("https://example.invalid/x"),
                                          [self](auto, auto, auto) {});
    player_ = platform().media().makeQueuePlayer({std::make_shared<platform::PlayerItem>(
        platform::Asset::assetWithUrl(*platform::Url::parse("https://media.invalid/a.m3u8")))});
    player_->addBoundaryTimeObserver({platform::MediaTime::make(1, 3)}, [self] {});
    registration_ = platform().notificationCenter().addObserver(
        {"lastVideoPlayedToEnd:", [self](const platform::Notification&) {}},
        platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
  }
  void viewWillTransitionToSize(const platform::Size& size,
                                platform::TransitionCoordinator& coordinator) override {
    journal_->push_back("transition to " + std::to_string(static_cast<int>(size.width)));
    coordinator.animateAlongsideTransition(
        {}, [this] { journal_->push_back("after transition " + view()->frame().description()); });
  }
  void didReceiveMemoryWarning() override { journal_->push_back("memory"); }

 private:
  Journal journal_;
  int* destroyed_;
  std::shared_ptr<platform::QueuePlayer> player_;
  platform::ObserverRegistration registration_;
};

class WorldApplication : public ::testing::Test {
 protected:
  platform::ClassRegistry registry() {
    platform::ClassRegistry classes;
    classes.delegates["ProbeDelegate"] = [journal = journal](Platform&) {
      return std::make_shared<ProbeDelegate>(journal);
    };
    classes.controllers["ProbeController"] = [this](Platform& platform, const platform::Coder&) {
      return std::make_shared<ProbeController>(platform, journal, &destroyed);
    };
    return classes;
  }

  int destroyed = 0;
  Journal journal = std::make_shared<std::vector<std::string>>();
  std::unique_ptr<World> world =
      std::make_unique<World>(WorldOptions{.screenSize = {1280.0, 720.0}});
};

TEST_F(WorldApplication, forwards_life_cycle_and_input_and_tears_down_while_services_exist) {
  EXPECT_FALSE(world->launch(registry(), "Missing", {"ProbeController"}));
  ASSERT_TRUE(world->launch(registry(), "ProbeDelegate", {"ProbeController"}));
  EXPECT_EQ(*journal, (std::vector<std::string>{"launched", "viewDidLoad (0.0, 0.0, 1280.0, 720.0)",
                                                "active"}));
  journal->clear();
  EXPECT_EQ(world->timers().pending().size(), 1u);
  EXPECT_EQ(world->scheduler().pendingMainBlocks(), 1u);
  EXPECT_EQ(world->media().boundaryObserverCount(), 1u);

  EXPECT_TRUE(world->input().tap());
  EXPECT_TRUE(world->input().pressPlayPause());
  EXPECT_FALSE(world->input().swipe(platform::kSwipeLeft)) << "no swipe recogniser";
  world->input().remoteCommand(platform::RemoteCommandKind::togglePlayPause);
  world->lifecycle().enterBackground();
  world->lifecycle().enterForeground();
  world->lifecycle().becomeActive();
  world->lifecycle().screenConnected();
  world->lifecycle().screenDisconnected();
  world->lifecycle().memoryWarning();
  world->lifecycle().resize({800.0, 600.0});
  world->lifecycle().terminate();
  EXPECT_EQ(*journal, (std::vector<std::string>{
                          "tap", "press", "toggle", "resign", "background", "foreground", "active",
                          "screen+", "screen-", "memory", "transition to 800",
                          "after transition (0.0, 0.0, 800.0, 600.0)", "terminate"}));
  EXPECT_EQ(world->screenBounds(), (platform::Rect{0.0, 0.0, 800.0, 600.0}));
  EXPECT_EQ(destroyed, 0);
  world.reset();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace vorn::sim
