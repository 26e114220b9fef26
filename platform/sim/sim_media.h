#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media.h"

namespace vorn::sim {

class World;

// A queue player in virtual time. The World keeps it only weakly: once the logic drops its last
// reference, the player produces no more events.
//
// Position: the current item's position advances with virtual time while the rate is not 0, once
// frames flow. Frames flow the World's startup latency after each play(), seek or change of the
// current item. An item ends when its position reaches its media length while playing; a broken
// item fails (and is skipped without an end notification) at the moment its frames would have
// started to flow, that is: only once the player tries to play it.
class SimQueuePlayer : public platform::QueuePlayer,
                       public std::enable_shared_from_this<SimQueuePlayer> {
 public:
  SimQueuePlayer(World& world, uint64_t id,
                 std::vector<std::shared_ptr<platform::PlayerItem>> items);
  ~SimQueuePlayer() override;

  // QueuePlayer
  void play() override;
  void pause() override;
  float rate() const override { return rate_.load(); }
  std::shared_ptr<platform::PlayerItem> currentItem() const override;
  std::vector<std::shared_ptr<platform::PlayerItem>> items() const override { return items_; }
  void advanceToNextItem() override;
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

  // Observation.
  // Position in the current item at the World's current time, in seconds (0 with no item).
  double currentTime() const;
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

  // Driven by the World: the time of this player's next event, if any.
  std::optional<double> nextEventTime() const;
  // Runs the event due at the World's current time (a boundary crossing, an end or a failure).
  void runDueEvent();

 private:
  double lengthOfCurrent() const;
  bool currentIsBroken() const;
  // The moment from which the position moves.
  double flowOrigin() const;
  // Brings the position up to the World's current time, posting the crossings on the way.
  void sync();
  void moveTo(double position);
  void dropCurrent();
  void restartFlow();
  void traceCurrent();
  void traceRate();

  World& world_;
  uint64_t id_;
  std::vector<std::shared_ptr<platform::PlayerItem>> items_;
  std::atomic<float> rate_{0.0f};
  double position_ = 0.0;      // at positionTime_
  double positionTime_ = 0.0;  // World time at which position_ held
  double flowStart_ = 0.0;     // World time from which frames flow
  bool pictureShown_ = false;
  std::optional<platform::MediaTime> lastSeek_;
  bool allowsExternalPlayback_ = false;
  bool usesExternalPlaybackWhileExternalScreenIsActive_ = false;
  platform::VideoGravity externalPlaybackVideoGravity_ = platform::VideoGravity::resizeAspect;
  size_t playCalls_ = 0;
  size_t pauseCalls_ = 0;
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

}  // namespace vorn::sim
