#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/boundary_observers.h"
#include "platform/common/drift_corrector.h"
#include "platform/media.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/trace.h"

namespace vorn::platform {
class Platform;
}

namespace vorn::sim {

class SimMediaService;

// How a stream behaves when played: its real length, whether it plays at all, and where it stops
// delivering for a while. A stream nothing was said about has the service's default length and
// plays.
struct StreamBehaviour {
  double length = 0.0;
  bool broken = false;
  // Whenever playback reaches `stallAt` seconds into the stream, the stream delivers nothing for
  // `stallFor` seconds (infinity: never again), to that player and to any other that tries it.
  std::optional<double> stallAt;
  double stallFor = 0.0;
  // Media seconds the stream delivers per second of playback at speed 1.0: below 1 a source that
  // runs slow, above 1 one that runs fast.
  double pace = 1.0;
};

// A queue player in virtual time. The media service keeps it only weakly: once the logic drops its
// last reference, the player produces no more events.
//
// Position: the current item's position advances with virtual time while the rate is not 0, once
// frames flow. Frames flow the service's startup latency after each play(), seek or change of the
// current item. An item ends when its position reaches its media length while playing; a broken
// item fails (and is skipped without an end notification) at the moment its frames would have
// started to flow, that is: only once the player tries to play it.
//
// The position moves at the stream's pace times the player's speed. A player told to follow the
// clock places an item that has shown no frame yet exactly on it (start-up latency included) and
// then checks its drift every kDriftCheckSeconds while there may be any, correcting it by speed;
// each change of speed is traced as "drift: URL +0.012" (picture minus clock, in seconds).
//
// The player keeps one media entry in the scheduler, due at its next event (a boundary crossing,
// the end or the failure of the current item, a drift check), and moves it whenever its state
// changes.
class SimQueuePlayer : public platform::QueuePlayer,
                       public std::enable_shared_from_this<SimQueuePlayer> {
 public:
  SimQueuePlayer(SimMediaService& service, uint64_t id,
                 std::vector<std::shared_ptr<platform::PlayerItem>> items);
  ~SimQueuePlayer() override;

  // QueuePlayer
  void play() override;
  void pause() override;
  float rate() const override { return rate_.load(); }
  std::shared_ptr<platform::PlayerItem> currentItem() const override;
  std::vector<std::shared_ptr<platform::PlayerItem>> items() const override { return items_; }
  void advanceToNextItem() override;
  void removeAllItems() override;
  void seekToTime(const platform::MediaTime& time) override;
  std::shared_ptr<platform::TimeObserverToken> addBoundaryTimeObserver(
      const std::vector<platform::MediaTime>& times, std::function<void()> block) override;
  void removeTimeObserver(const std::shared_ptr<platform::TimeObserverToken>& token) override;
  void setAllowsExternalPlayback(bool allows) override { allowsExternalPlayback_ = allows; }
  void setUsesExternalPlaybackWhileExternalScreenIsActive(bool uses) override {
    usesExternalPlaybackWhileExternalScreenIsActive_ = uses;
  }
  void setExternalPlaybackVideoGravity(platform::VideoGravity gravity) override {
    externalPlaybackVideoGravity_ = gravity;
  }
  void followClock(std::vector<ClockDue> dueAt) override;
  void stopFollowingClock() override;

  static constexpr double kDriftCheckSeconds = 0.5;

  // Observation.
  // Position in the current item at the current virtual time, in seconds (0 with no item).
  double currentTime() const;
  std::optional<double> currentPosition() const override {
    return items_.empty() ? std::nullopt : std::optional<double>(currentTime());
  }
  std::optional<platform::MediaTime> lastSeek() const { return lastSeek_; }
  size_t boundaryObserverCount() const;
  bool externalPlaybackAllowed() const { return allowsExternalPlayback_; }
  bool usesExternalPlaybackWhileExternalScreenIsActive() const {
    return usesExternalPlaybackWhileExternalScreenIsActive_;
  }
  platform::VideoGravity externalPlaybackVideoGravity() const {
    return externalPlaybackVideoGravity_;
  }
  size_t playCalls() const { return playCalls_; }
  size_t pauseCalls() const { return pauseCalls_; }
  // Whether the current item has rendered a frame (the picture a layer shows).
  bool hasPictureOfCurrentItem() const;
  uint64_t id() const { return id_; }
  // The playback speed (1.0 unless drift is being corrected).
  double speed() const { return speed_; }
  // Picture minus clock for the current item, when it follows the clock.
  std::optional<double> drift() const;
  // The time of this player's next event, if any.
  std::optional<double> nextEventTime() const;

 private:
  friend class SimMediaService;

  StreamBehaviour currentStream() const;
  // Where the current item ends: its media's end, or its forward playback end when earlier.
  double currentEnd() const;
  // Holds the flow back while the current stream is stalled, and notes when to report it.
  void applyStall();
  // The moment from which the position moves.
  double flowOrigin() const;
  // The two mappings between virtual time and the current item's position while it plays; a
  // stream that pauses delivery would change only these.
  double positionAt(double time) const;
  double timeToReach(double position) const;
  // Brings the position up to now, posting the crossings on the way.
  void sync();
  void moveTo(double position);
  void dropCurrent();
  // Tells of the current item's end or failure (`name`) and moves on, in the service's order.
  void finishCurrent(const char* name);
  void restartFlow();
  void traceCurrent();
  void traceRate();
  // Runs the event due now (a boundary crossing, an end or a failure).
  void runDueEvent();
  // Moves this player's scheduler entry to its next event.
  void reschedule();
  double now() const;
  // Media seconds per second of virtual time while frames flow.
  double pace() const;
  std::optional<double> dueOfCurrent() const;
  // Checks the drift from the first frame on, while the current item follows the clock.
  void armDriftCheck();
  void checkDrift();

  SimMediaService* service_;  // null once the service has gone
  uint64_t id_;
  std::vector<std::shared_ptr<platform::PlayerItem>> items_;
  std::atomic<float> rate_{0.0f};
  double position_ = 0.0;      // at positionTime_
  double positionTime_ = 0.0;  // virtual time at which position_ held
  double flowStart_ = 0.0;     // virtual time from which frames flow
  bool pictureShown_ = false;
  std::optional<platform::MediaTime> lastSeek_;
  bool allowsExternalPlayback_ = false;
  bool usesExternalPlaybackWhileExternalScreenIsActive_ = false;
  platform::VideoGravity externalPlaybackVideoGravity_ = platform::VideoGravity::resizeAspect;
  size_t playCalls_ = 0;
  size_t pauseCalls_ = 0;
  std::optional<Scheduler::Id> entry_;
  std::optional<double> entryDue_;
  std::optional<double> stallReportAt_;  // when a stall of the current item is reported
  double speed_ = 1.0;
  std::map<const platform::PlayerItem*, double> dueAt_;  // clock time of each item's position 0
  // Placed on the clock: where the position was sought before, whose crossings up to the placed
  // position count with the first frame.
  std::optional<double> placedFrom_;
  std::optional<double> driftCheckAt_;
  double lastDriftCheck_ = 0.0;
  common::DriftCorrector corrector_;
};

class SimPlayerLayer : public platform::PlayerLayer {
 public:
  explicit SimPlayerLayer(std::shared_ptr<platform::QueuePlayer> player)
      : player_(std::move(player)) {}
  void setPlayer(std::shared_ptr<platform::QueuePlayer> player) override {
    player_ = std::move(player);
  }
  std::shared_ptr<platform::QueuePlayer> player() const override { return player_; }
  void setVideoGravity(platform::VideoGravity gravity) override { videoGravity_ = gravity; }
  platform::VideoGravity videoGravity() const override { return videoGravity_; }
  // True once the layer has a player whose current item has rendered a frame.
  bool isReadyForDisplay() const override;

 private:
  std::shared_ptr<platform::QueuePlayer> player_;
  platform::VideoGravity videoGravity_ = platform::VideoGravity::resizeAspect;
};

// The simulated media service: the streams' behaviour, the players (held weakly) and their
// boundary observers. Observers live here, not in the player, so that a block holding the player's
// owner makes no ownership cycle. Main thread.
class SimMediaService : public platform::MediaService {
 public:
  SimMediaService(Scheduler& scheduler, const SimTrace& trace, platform::Platform& platform,
                  double defaultLength);
  ~SimMediaService() override;
  SimMediaService(const SimMediaService&) = delete;
  SimMediaService& operator=(const SimMediaService&) = delete;

  // platform::MediaService
  std::shared_ptr<platform::QueuePlayer> makeQueuePlayer(
      std::vector<std::shared_ptr<platform::PlayerItem>> items) override;
  std::shared_ptr<platform::PlayerLayer> makePlayerLayer(
      std::shared_ptr<platform::QueuePlayer> player) override;

  // Streams
  void setLength(const std::string& url, double seconds);
  double length(const std::string& url) const;
  void setBroken(const std::string& url);
  // The stream's server is gone from virtual time `from` until `until`: the stream plays nowhere
  // in between, and a player on it then fails at once.
  void setGone(const std::string& url, double from, double until);
  // Whether the stream cannot play now.
  bool isBroken(const std::string& url) const;
  // The stream stalls `at` seconds in, for `forSeconds` (infinity: for good).
  void setStall(const std::string& url, double at, double forSeconds);
  // The stream's pace (see StreamBehaviour::pace); values of 0 or less are taken as 1.
  void setPace(const std::string& url, double pace);
  // Until when the stream delivers nothing (a time in the past when it delivers).
  double stalledUntil(const std::string& url) const;
  StreamBehaviour stream(const std::string& url) const;
  void setStartupLatency(double seconds) { startupLatency_ = seconds; }
  // Whether a player moves on to its next item before it tells of the end (or failure) of the
  // current one, as a real player may, rather than after.
  void setMovesOnBeforeAnnouncing(bool movesOn) { movesOnFirst_ = movesOn; }
  bool movesOnBeforeAnnouncing() const { return movesOnFirst_; }
  double startupLatency() const { return startupLatency_; }

  // Players
  // The most recently made player, while something still holds it.
  std::shared_ptr<SimQueuePlayer> latestPlayer() const { return latestPlayer_.lock(); }
  // Players still referenced by someone, oldest first.
  std::vector<std::shared_ptr<SimQueuePlayer>> livePlayers() const;
  size_t boundaryObserverCount() const;

  // Teardown: every observer block, for the caller to release.
  std::vector<common::BoundaryObservers::Block> dropObservers();

 private:
  friend class SimQueuePlayer;

  // A player's observers stay here after the player has gone: the blocks are released at the end.
  common::BoundaryObservers& observersOf(uint64_t playerId) { return observers_[playerId]; }
  void postCrossing(uint64_t playerId, common::BoundaryObservers::Crossing crossing);
  bool isPlayerAlive(uint64_t playerId) const;
  void postItemNotification(const char* name, std::shared_ptr<platform::PlayerItem> item);
  void streamsChanged();
  void forget(const SimQueuePlayer& player);

  Scheduler& scheduler_;
  const SimTrace& trace_;
  platform::Platform& platform_;
  double defaultLength_;
  struct Script {
    std::optional<double> length;
    bool broken = false;
    std::optional<double> stallAt;
    double stallFor = 0.0;
    double pace = 1.0;
    double stalledUntil = -std::numeric_limits<double>::infinity();
    std::optional<std::pair<double, double>> gone;  // from, until
  };
  void beginStall(const std::string& url, double until);
  std::map<std::string, Script> streams_;
  uint64_t nextPlayerId_ = 1;
  double startupLatency_ = 0.0;
  bool movesOnFirst_ = false;
  std::vector<std::weak_ptr<SimQueuePlayer>> players_;
  std::weak_ptr<SimQueuePlayer> latestPlayer_;
  std::map<uint64_t, common::BoundaryObservers> observers_;
};

}  // namespace vorn::sim
