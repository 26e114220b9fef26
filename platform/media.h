#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/layers.h"
#include "platform/media_time.h"
#include "platform/object.h"
#include "platform/url.h"

namespace vorn::platform {

// An unloaded media asset: only its address. Nothing is fetched until a player plays it.
class Asset {
 public:
  static std::shared_ptr<Asset> assetWithUrl(const Url& url) {
    // One allocation for the asset and its count: a queue holds an asset per play.
    struct Made : Asset {
      explicit Made(const Url& url) : Asset(url) {}
    };
    return std::make_shared<Made>(url);
  }
  const Url& url() const { return url_; }

 protected:
  explicit Asset(Url url) : url_(std::move(url)) {}

 private:
  Url url_;
};

// How long a playing item may show no new frame before the media service reports it stalled.
inline constexpr double kPlaybackStallTimeoutSeconds = 2.0;

// One entry of a play queue. Backends keep their own per-item state keyed by the item.
class PlayerItem : public Object, public std::enable_shared_from_this<PlayerItem> {
 public:
  // `automaticallyLoadedAssetKeys` is always empty here: nothing is loaded ahead of playback.
  explicit PlayerItem(std::shared_ptr<Asset> asset) : asset_(std::move(asset)) {}
  const std::shared_ptr<Asset>& asset() const { return asset_; }
  // Where forward playback of the item ends: reaching it ends the item as its media's end would
  // (kPlayerItemDidPlayToEndTimeNotification, then the next item). Invalid (the default): the
  // media's own end. Set before the item is queued.
  const MediaTime& forwardPlaybackEndTime() const { return forwardPlaybackEndTime_; }
  void setForwardPlaybackEndTime(const MediaTime& time) { forwardPlaybackEndTime_ = time; }
  // "<PlayerItem: URL>"; subclasses put their own class name first.
  std::string description() const override;

 protected:
  std::string describeAs(const std::string& className) const;

 private:
  std::shared_ptr<Asset> asset_;
  MediaTime forwardPlaybackEndTime_;
};

enum class VideoGravity { resizeAspect, resizeAspectFill, resize };

// Identifies a boundary time observer; hand it back to removeTimeObserver.
class TimeObserverToken : public Object {
 public:
  std::string description() const override { return "<TimeObserverToken>"; }
};

// A player of a queue of items. Main thread only, except rate(), which any thread may read.
// The current item is the first of the queue; when it ends (or fails to play) the next one becomes
// current by itself. Items that play to their end post kPlayerItemDidPlayToEndTimeNotification
// (object: the item) on the default notification centre, on the main thread; items that fail
// and are skipped post kPlayerItemFailedToPlayToEndTimeNotification instead; an item that stops
// delivering frames posts kPlayerItemPlaybackStalledNotification and stays current. A player the
// logic drops (even from inside one of its own notifications) posts nothing more and moves its
// queue no further.
class QueuePlayer : public Object {
 public:
  virtual void play() = 0;
  virtual void pause() = 0;
  // 0.0 while paused; the playback rate (1.0) otherwise.
  virtual float rate() const = 0;
  virtual std::shared_ptr<PlayerItem> currentItem() const = 0;
  // The current item and every item queued after it.
  virtual std::vector<std::shared_ptr<PlayerItem>> items() const = 0;
  // Drops the current item; the next one becomes current. No effect on an empty queue.
  virtual void advanceToNextItem() = 0;
  // Drops every item: nothing is current and nothing plays on. Safe from inside the player's own
  // notifications, where it stops the queue from moving on to the next item.
  virtual void removeAllItems() = 0;
  // Positions the current item at `time`.
  virtual void seekToTime(const MediaTime& time) = 0;
  // Calls `block` on the main queue whenever playback of the current item crosses one of `times`
  // moving forward. The media service keeps the block (and what it holds) until the observer is
  // removed, the service ends or a few more players have been dropped after this one; a dropped
  // player calls it no more.
  virtual std::shared_ptr<TimeObserverToken> addBoundaryTimeObserver(
      const std::vector<MediaTime>& times, std::function<void()> block) = 0;
  virtual void removeTimeObserver(const std::shared_ptr<TimeObserverToken>& token) = 0;
  virtual void setAllowsExternalPlayback(bool allows) = 0;
  virtual void setUsesExternalPlaybackWhileExternalScreenIsActive(bool uses) = 0;
  virtual void setExternalPlaybackVideoGravity(VideoGravity gravity) = 0;

  // Keeping the picture on the clock, to the frame. `dueAt` names, for items of this queue, the
  // clock time (Clock::timeIntervalSince1970) at which the item's position 0 is due; the player
  // keeps each of them there while it plays. Before the first frame it places the current item
  // on the clock itself, its own start-up time included, however long that takes (the position
  // last sought, whole seconds, is where it starts from: boundary times between that and where
  // the first frame lands count as crossed with that frame). While it plays, it measures the
  // picture's drift and corrects it by playback speed within kMaxSpeedCorrection (the sound
  // keeps its pitch), never by a jump. A later call replaces the times (a pause shifts them);
  // items not named, and every item after stopFollowingClock, play as they come.
  struct ClockDue {
    const PlayerItem* item = nullptr;
    double at = 0.0;
  };
  virtual void followClock(std::vector<ClockDue> dueAt) { (void)dueAt; }
  virtual void stopFollowingClock() {}

  // Where the current item's picture stands, in seconds into the item; nothing when the player
  // cannot tell. Main thread.
  virtual std::optional<double> currentPosition() const { return std::nullopt; }
  std::string description() const override { return "<QueuePlayer>"; }
};

// The most a player's speed departs from 1.0 to bring its picture back onto the clock.
inline constexpr double kMaxSpeedCorrection = 0.05;

// A layer that draws a player's picture into the view tree.
class PlayerLayer : public Layer {
 public:
  virtual void setPlayer(std::shared_ptr<QueuePlayer> player) = 0;
  virtual std::shared_ptr<QueuePlayer> player() const = 0;
  virtual void setVideoGravity(VideoGravity gravity) = 0;
  virtual VideoGravity videoGravity() const = 0;
  // True once the layer has a picture of its player to show.
  virtual bool isReadyForDisplay() const = 0;
};

class MediaService {
 public:
  virtual ~MediaService() = default;
  // A player whose queue is `items`, in order; the first is current. Main thread.
  virtual std::shared_ptr<QueuePlayer> makeQueuePlayer(
      std::vector<std::shared_ptr<PlayerItem>> items) = 0;
  // A layer showing `player` (which may be null). Main thread.
  virtual std::shared_ptr<PlayerLayer> makePlayerLayer(std::shared_ptr<QueuePlayer> player) = 0;
};

}  // namespace vorn::platform
