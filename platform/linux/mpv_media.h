#pragma once

#include <mpv/client.h>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/common/boundary_observers.h"
#include "platform/common/drift_corrector.h"
#include "platform/dispatch.h"
#include "platform/linux/guard.h"
#include "platform/linux/mpv_core.h"
#include "platform/media.h"
#include "platform/notification_center.h"

namespace vorn::linuxbackend {

class MpvMediaService;

// The players share one mpv instance; a player or layer reaches it through the service's guard,
// so one that outlives the service does nothing.
using MpvServiceLink = Guard<MpvMediaService>::Weak;

// A queue of items on the shared mpv playlist. Only the most recently made player drives mpv;
// what the caller sets up in the turn that made it (start offset, play or pause) is applied by
// one commit posted after that turn, so the first item can be loaded already positioned. Each
// item goes to mpv with its forward end as the entry's own end, so mpv cuts it there itself.
//
// On the clock: an item told when it is due is loaded paused where the clock will stand once mpv
// has opened it (the start-up time learnt from earlier loads), and sought again, still paused and
// under the cover, when it came up late; paused on that first frame, it starts when the clock
// reaches the frame. While it plays, playback-time against the clock gives its drift, averaged
// over half a second, which the speed takes back.
class MpvQueuePlayer : public platform::QueuePlayer,
                       public std::enable_shared_from_this<MpvQueuePlayer> {
 public:
  MpvQueuePlayer(MpvServiceLink link, platform::MainQueue& mainQueue,
                 platform::NotificationCenter& center,
                 std::vector<std::shared_ptr<platform::PlayerItem>> items);
  ~MpvQueuePlayer() override;

  void play() override;
  void pause() override;
  float rate() const override { return rate_.load(); }
  std::shared_ptr<platform::PlayerItem> currentItem() const override;
  std::vector<std::shared_ptr<platform::PlayerItem>> items() const override;
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
  std::string description() const override { return "<MpvQueuePlayer>"; }
  std::optional<double> currentPosition() const override;

  // The speed mpv plays this player's items at, and the last drift measured (picture minus
  // clock, averaged), for tests and the log.
  double speed() const { return speed_; }
  std::optional<double> lastDrift() const { return lastDrift_; }
  // Paused on the first frame of a placed item, waiting for the clock to reach it.
  bool waitsForTheClock() const { return preRolling_; }

  // True once a first frame of this player's current item has been shown.
  bool hasShownFrame() const { return shownFrame_; }
  // True while the logic wants the current item to play: frames are then expected.
  bool expectsFrames() const { return loaded_ && wantsPlay_ && current_ < items_.size(); }

 private:
  friend class MpvMediaService;

  MpvMediaService* service() const;
  bool drivesMpv() const;
  // Loads the queue from the current item on: the first with its start offset, the rest appended.
  void load(MpvCore& core);
  // Takes over the entry mpv plays on into after the previous player's last item, when it is this
  // queue's first item where the clock stands: no stop, no reload, no black.
  bool adoptSpare(MpvCore& core);
  // After the last item, the first again: what the queue after this one starts with when the
  // clock comes round to it. mpv opens it early and plays on into it.
  void appendSpare(MpvCore& core);
  std::optional<size_t> indexOfEntry(int64_t entryId) const;
  // True when the entry is one of this player's.
  bool onStartFile(int64_t entryId);
  void onEndFile(int64_t entryId, mpv_end_file_reason reason);
  void onPlaybackRestart(std::optional<double> position);
  void onPlaybackTime(double seconds);
  std::optional<double> dueOfCurrent() const;
  // The first frame of an item being placed: start it on time, or seek again when it came late.
  void placeFirstFrame(double position);
  // The clock has reached the first frame a placed item waits on.
  void startOnTime();
  // A new start (first frame, a seek, the end of a pause): drift is measured afresh.
  void restartDrift();
  void measureDrift(double seconds);
  void applySpeed(double speed);

  MpvServiceLink link_;
  platform::MainQueue& mainQueue_;
  platform::NotificationCenter& center_;
  std::vector<std::shared_ptr<platform::PlayerItem>> items_;
  std::vector<int64_t> entryIds_;  // mpv's playlist_entry_id per item; -1 until loaded
  size_t current_ = 0;
  std::optional<double> pendingStart_;
  bool wantsPlay_ = false;
  std::atomic<float> rate_{0.0f};
  bool loaded_ = false;
  // Boundary crossings count only from the first frame after a load or seek.
  bool restarted_ = false;
  // mpv has started one of this player's entries (events of an earlier queue may still be queued).
  bool startedEntry_ = false;
  double lastTime_ = 0.0;
  // Where playback of the current entry was asked to start: the load's offset, a seek's target, 0
  // for an entry that follows another. Crossings count from there, so a mark the player jumps
  // over (it may land past a hole in the stream) still counts once frames flow past it.
  double requestedFrom_ = 0.0;
  std::optional<size_t> loadedWithStart_;  // the entry loaded with the start offset
  double loadStart_ = 0.0;
  bool shownFrame_ = false;
  common::BoundaryObservers observers_;
  std::map<const platform::PlayerItem*, double> dueAt_;  // clock time of each item's position 0
  // The first item on the clock (which the queue after this one starts with, also when this
  // one is only the rest of it from a later slot): its address and where it is cut.
  std::string cycleFirstUrl_;
  std::optional<double> cycleFirstEnd_;
  bool placing_ = false;     // the current item goes on the clock at its first frame
  bool preRolling_ = false;  // placed: paused on its first frame until the clock reaches it
  uint64_t preRoll_ = 0;     // which wait a start timer belongs to
  // The whole second sought before the placement: crossings from there count with the first frame.
  std::optional<double> placedFrom_;
  // Taken over from the previous player: crossings count from here until a frame has moved on.
  std::optional<double> crossFrom_;
  bool clearOnStart_ = false;  // the earlier queue's entries go once the taken-over one starts
  int placementSeeks_ = 0;
  double placementAsked_ = 0.0;  // clock time of the load or seek that places the item
  common::DriftCorrector corrector_;
  double speed_ = 1.0;
  std::optional<double> lastDrift_;
  double driftFrom_ = 0.0;  // clock time from which frames count for drift
  double driftWindowStart_ = 0.0;
  double driftSum_ = 0.0;
  int driftSamples_ = 0;
  bool allowsExternalPlayback_ = false;
  bool usesExternalPlaybackWhileExternalScreenIsActive_ = false;
  platform::VideoGravity externalPlaybackVideoGravity_ = platform::VideoGravity::resizeAspect;
};

// The picture of a player: mpv's video output, under the on-screen drawing. Detaching the player
// turns the video track off; attaching turns it back on.
class MpvPlayerLayer : public platform::PlayerLayer {
 public:
  MpvPlayerLayer(MpvServiceLink link, std::shared_ptr<platform::QueuePlayer> player);
  void setPlayer(std::shared_ptr<platform::QueuePlayer> player) override;
  std::shared_ptr<platform::QueuePlayer> player() const override { return player_; }
  void setVideoGravity(platform::VideoGravity gravity) override { gravity_ = gravity; }
  platform::VideoGravity videoGravity() const override { return gravity_; }
  bool isReadyForDisplay() const override;

 private:
  MpvServiceLink link_;
  std::shared_ptr<platform::QueuePlayer> player_;
  platform::VideoGravity gravity_ = platform::VideoGravity::resizeAspect;
};

class MpvMediaService : public platform::MediaService {
 public:
  MpvMediaService(MpvCore& core, platform::MainQueue& mainQueue, asio::io_context& context,
                  platform::NotificationCenter& center, bool hasVideoOutput);
  ~MpvMediaService() override;

  std::shared_ptr<platform::QueuePlayer> makeQueuePlayer(
      std::vector<std::shared_ptr<platform::PlayerItem>> items) override;
  std::shared_ptr<platform::PlayerLayer> makePlayerLayer(
      std::shared_ptr<platform::QueuePlayer> player) override;

  // Main thread: one mpv event (start/end of a file, first frame after a load or seek).
  void handleEvent(const mpv_event& event);
  void handlePlaybackTime(double seconds);

  MpvCore& core() { return core_; }
  bool isActive(const MpvQueuePlayer* player) const;
  // Applies the players' and layers' state to mpv after the current main-queue turn.
  void scheduleCommit();
  // Keeps the blocks of a dropped player's observers for a while: those of the last few dropped
  // players, so a queue reload does not free the previous queue's blocks (and what they hold)
  // from under its own notification, but a channel that reloads all day keeps no more.
  void retireObservers(std::vector<common::BoundaryObservers::Block> blocks);
  // Whether mpv plays, or is about to play, the entry queued after `player`'s last item.
  bool playsOnIntoSpare(const MpvQueuePlayer& player) const;
  // A player is going: when it drove mpv, mpv stops at once, unless it plays on into the entry
  // queued after the player's last item, which the next player may take over.
  void playerDropped(const MpvQueuePlayer* player);
  // The picture on screen passes from one player to the next: from when the previous one goes
  // while mpv plays on into the entry after its last item, through the next one taking that entry
  // over, until the drawing over it is as it was (a cover made for the new player lifts with its
  // first frame, which is already there). Meanwhile the drawing is kept: the frames never stop,
  // and nothing is to be covered. Not for longer than kHandoverHold.
  bool handsOverPicture() const;
  // The drawing over the picture is as before the handover: it is over.
  void pictureHandedOver();
  // The active player's current item started, moved or was asked to play: its time without a new
  // frame counts from now.
  void restartStallClock();
  // A new frame of the active player: the stall clock starts again, and a reported stall is over.
  void noteFrame();
  // Lets go of the main loop's timer, before the loop goes; no stall is reported after.
  void stopTimers();

  // The wall clock the logic's due times are given in: seconds since 1970.
  static double clockNow();
  // How long mpv takes from a load (or a paused exact seek) to its first frame, learnt from the
  // last ones and erring long: a placed item waits out the difference under the cover.
  double startupEstimate() const { return startupEstimate_; }
  double seekEstimate() const { return seekEstimate_; }
  // How far ahead of the clock playback-time is aimed so that the screen shows the clock's frame.
  double displayLead() const;
  void learnStartup(double seconds, bool bySeek);
  // Calls `player`'s startOnTime when the clock reads `clockTime` (at once when it has passed).
  void startAt(double clockTime, std::weak_ptr<MpvQueuePlayer> player, uint64_t preRoll);

 private:
  friend class MpvQueuePlayer;
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kRetiredPlayers = 4;
  // Until an item's first frame it may take this many times the stall timeout.
  static constexpr double kOpeningStallFactor = 2.0;
  // The longest the drawing is kept over a picture being handed over: a cover still up by then
  // (frames that stopped, say) shows after all.
  static constexpr std::chrono::milliseconds kHandoverHold{1000};

  void commit();
  void armStallTimer(Clock::time_point at);
  void checkStall();

  MpvCore& core_;
  platform::MainQueue& mainQueue_;
  platform::NotificationCenter& center_;
  bool hasVideoOutput_;
  Guard<MpvMediaService> guard_{*this};
  std::weak_ptr<MpvQueuePlayer> active_;
  const MpvQueuePlayer* activePlayer_ = nullptr;  // only compared: active_ has expired in its dtor
  std::vector<std::weak_ptr<MpvPlayerLayer>> layers_;
  bool commitPending_ = false;
  bool mpvHasQueue_ = false;
  // The entry queued after the active player's last item, and the one mpv plays now.
  struct Spare {
    int64_t entryId = -1;
    std::string url;
  };
  std::optional<Spare> spare_;
  int64_t playingEntry_ = -1;
  bool spareOnAir_ = false;  // its player was dropped while mpv played it: the next may take it
  // Since when the picture is being handed over, and whether the next player has taken it.
  std::optional<Clock::time_point> handoverSince_;
  bool handoverTaken_ = false;
  // An item has started: freed memory is handed back at its first frame.
  bool trimPending_ = false;
  std::optional<bool> videoEnabled_;
  std::deque<std::vector<common::BoundaryObservers::Block>> retiredBlocks_;
  // One timer checks for a stall when the picture could first have stopped for long enough; it
  // is not re-armed per frame, only when it fires and frames came in the meantime.
  std::optional<asio::steady_timer> stallTimer_;
  std::optional<asio::steady_timer> startTimer_;
  static constexpr double kPresentSeconds = 0.025;
  double framePeriod_ = 0.04;
  double startupEstimate_ = 0.5;
  double seekEstimate_ = 0.3;
  bool stallTimerArmed_ = false;
  Clock::time_point lastFrame_{};
  bool stallReported_ = false;
};

}  // namespace vorn::linuxbackend
