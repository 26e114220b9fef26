#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "channel/status_track.h"
#include "channel/timeline.h"
#include "channel/vorn_av_player_item.h"
#include "log/diagnostic_history.h"
#include "platform/platform.h"
#include "platform/sequence_checker.h"
#include "playlist/playlist_source.h"
#include "programme/cycle.h"
#include "programme/json.h"

namespace vorn {

// The channel's one screen. It owns the playlist, the queue player with its video layer, the
// overlay views, the timers' state, the playlist addresses with their retry budget and the
// diagnostic histories; every operation of the channel is a member, defined in the folder of its
// subsystem (channel/, playlist/, interaction/).
//
// Every operation and property accessor is virtual and the class calls its own accessors, so a
// subclass sees every access. Accessors are safe from any thread: the download-completion thread
// writes `playlist`, `playlistNSURL` and `fetchPlaylistRetries` while the main thread reads them.
//
// Names fixed from outside keep their spelling even where it breaks our style: this class's
// operations, properties and accessors (`setDEVELOPER_MODE`, `PLAYLIST_NSURL_REMOTE`,
// `fetchPlaylistRetries`, `INACTIVITY_TIMER_SECONDS`...), the item's `listed_duration` and
// `playlist_info`, the playlist's keys, the selector names and every log text: subclasses, the
// fault suites and outside checks call them by name. Everything else follows our style.
class VornViewController : public platform::ViewController {
 public:
  // init(nibName:bundle:)
  VornViewController(platform::Platform& platform, std::optional<std::string> nibName,
                     const platform::Bundle* nibBundle);
  // init(coder:); nothing when the coder cannot be decoded.
  static std::shared_ptr<VornViewController> initWithCoder(platform::Platform& platform,
                                                           const platform::Coder& coder);

  // Properties, in declaration order.
  virtual std::shared_ptr<platform::Label> infoLabel() const;
  virtual void setInfoLabel(std::shared_ptr<platform::Label> value);
  virtual std::shared_ptr<platform::View> infoLabelView() const;
  virtual void setInfoLabelView(std::shared_ptr<platform::View> value);
  virtual std::shared_ptr<platform::ActivityIndicatorView> activityIndicatorView() const;
  virtual void setActivityIndicatorView(std::shared_ptr<platform::ActivityIndicatorView> value);
  virtual JsonPtr playlist() const;
  virtual void setPlaylist(JsonPtr value);
  virtual std::shared_ptr<platform::QueuePlayer> queuePlayer() const;
  virtual void setQueuePlayer(std::shared_ptr<platform::QueuePlayer> value);
  virtual std::shared_ptr<platform::PlayerLayer> playerLayer() const;
  virtual void setPlayerLayer(std::shared_ptr<platform::PlayerLayer> value);
  virtual bool isPaused() const;
  virtual void setIsPaused(bool value);
  virtual std::shared_ptr<VornAVPlayerItem> lastPlayerItem() const;
  virtual void setLastPlayerItem(std::shared_ptr<VornAVPlayerItem> value);
  virtual bool DEVELOPER_MODE() const;
  virtual void setDEVELOPER_MODE(bool value);
  virtual std::optional<platform::Url> PLAYLIST_NSURL_LOCAL() const;
  virtual void setPLAYLIST_NSURL_LOCAL(std::optional<platform::Url> value);
  virtual std::optional<platform::Url> playlistNSURL() const;
  virtual void setPlaylistNSURL(std::optional<platform::Url> value);
  virtual int64_t fetchPlaylistRetries() const;
  virtual void setFetchPlaylistRetries(int64_t value);
  virtual std::shared_ptr<platform::Timer> inactivityTimer() const;
  virtual void setInactivityTimer(std::shared_ptr<platform::Timer> value);

  // Constants, fixed at construction.
  const void* vornViewControllerKVOContext() const { return nullptr; }
  const std::optional<std::string>& PLAYLIST_FILE_LOCAL() const { return playlistFileLocal_; }
  // The operator may move it while the channel runs (changePlaylistSettings); any thread.
  std::optional<platform::Url> PLAYLIST_NSURL_REMOTE() const {
    std::lock_guard lock(mutex_);
    return playlistUrlRemote_;
  }
  double INACTIVITY_TIMER_SECONDS() const { return inactivitySeconds_; }
  // The operator's choice of that interval, before the view loads or later on the main thread;
  // 0 or less: the channel never pauses itself. A change moves a live countdown to the new
  // interval from now (or cancels it); turning the pause on arms it for a playing channel.
  void setINACTIVITY_TIMER_SECONDS(double seconds);

  // View set-up (channel/view_setup.cpp).
  void viewDidLoad() override;

  // Gestures and remote commands (interaction/gestures.cpp).
  virtual platform::RemoteCommandHandlerStatus mpRemoteCommandCenterEvent(
      const platform::RemoteCommandEvent& event);
  virtual void addGestureRecognizers();

  virtual std::shared_ptr<platform::TimeObserverToken> initialLoadTimeObserver() const;
  virtual void setInitialLoadTimeObserver(std::shared_ptr<platform::TimeObserverToken> value);

  // Queue loading and the programme-day clock (channel/queue_loading.cpp).
  virtual double secondsFromBeginningOfVornDay();

  // Inactivity timer (interaction/inactivity_timer.cpp): arm, and the timer's action.
  virtual void setInactivityTimer();
  virtual void inactivityTimer(platform::Timer& timer);

  virtual void loadVideos(bool hasLoopedFromLastVideo);
  virtual void loadVideosOnMainThread(bool hasLoopedFromLastVideo);

  // Playback events (channel/playback_events.cpp).
  virtual void firstVideoLoaded();
  virtual void lastVideoPlayedToEnd(const platform::Notification& notification);

  // Slots and the slate (channel/slots.cpp). Every item of a queue owns its listed duration on
  // the queue's timeline, which starts where the load found the clock and stands still while
  // playback is paused; so without a pause the timeline is the clock. An item that fails, stalls
  // or ends early leaves the rest of its slot to the slate, a full-screen card; the item is tried
  // again every kSlateRetrySeconds while its slot lasts, and the next slot starts on time.
  virtual std::shared_ptr<platform::View> slateView() const;
  virtual std::shared_ptr<platform::Label> slateLabel() const;
  // An item of the current queue played to its end, failed or stalled.
  virtual void queueItemEvent(const platform::Notification& notification);
  virtual void slateSlotEnded(platform::Timer& timer);
  virtual void retrySlateItem(platform::Timer& timer);
  // Between the attempts, while no attempt waits, the slate's stream address is asked every
  // kSlateProbeSeconds whether it answers; an answer after the stream was seen down starts an
  // attempt at once.
  virtual void probeSlateItem(platform::Timer& timer);
  static constexpr double kSlateProbeSeconds = 5.0;
  virtual void lastSlotEnded(platform::Timer& timer);
  // The attempts' pace and the tolerances are the timeline's (channel/timeline.h).
  static constexpr double kSlateRetrySeconds = Timeline::kRetrySeconds;
  static constexpr double kSlotToleranceSeconds = Timeline::kToleranceSeconds;

  // Pause, resume and the overlay (interaction/pause_resume.cpp).
  virtual void playerResume();
  virtual void handleSwipeGestureRecognizer(platform::GestureRecognizer& recognizer);
  virtual void showInfoLabel(const std::string& prefix, std::optional<double> hideAfterSeconds);
  virtual void hideInfoLabelFromTimer(platform::Timer& timer);
  virtual void playerPause();
  virtual void handleAllGestureRecognizers();
  virtual void handleTapGestureRecognizer(platform::GestureRecognizer& recognizer);

  // The playlist document and its fetch (playlist/).
  virtual void updatePlaylistCompletionHandler(std::optional<platform::Bytes> data,
                                               std::shared_ptr<platform::UrlResponse> urlresponse,
                                               std::shared_ptr<platform::Error> error);
  virtual void setTimerRetryUpdatePlaylist();
  virtual void retryUpdatePlaylistThenLoadVideos(platform::Timer& timer);
  virtual void updatePlaylistThenLoadVideos();
  void viewDidAppear(bool animated) override;

  // The background refresh of the playlist (playlist/playlist_refresh.cpp): every refresh
  // interval the remote address is fetched again, whatever copy plays; a new document waits for
  // the next item boundary. The timer's action ("refreshPlaylist:"), and the download's end.
  virtual void refreshPlaylist(platform::Timer& timer);
  virtual void refreshPlaylistCompletionHandler(std::optional<platform::Bytes> data,
                                                std::shared_ptr<platform::UrlResponse> urlresponse,
                                                std::shared_ptr<platform::Error> error);
  // The operator's new playlist settings while the channel runs (main thread): a new address is
  // fetched at once, as a refresh, and a fall-back course continues there; a new interval
  // re-arms the pending refresh from now.
  virtual void changePlaylistSettings(std::optional<platform::Url> remote, double refreshInterval);
  void viewWillTransitionToSize(const platform::Size& size,
                                platform::TransitionCoordinator& coordinator) override;
  void didReceiveMemoryWarning() override;

  // The operator's view of the channel (channel/status.cpp): brought up to date now, with an
  // operator event for what changed since the last time. Main thread.
  virtual platform::ChannelStatus updateStatus();
  // How long an item-started event may wait for the picture's position.
  static constexpr double kItemSettleSeconds = 2.0;

  // Diagnostic log (log/diagnostic_log.cpp).
  virtual std::vector<std::string> debugmsgs() const;
  virtual void setDebugmsgs(const std::vector<std::string>& value);
  virtual void debug(const std::string& message);
  virtual std::vector<std::string> errors() const;
  virtual void setErrors(const std::vector<std::string>& value);
  virtual void error(const std::string& message);

 protected:
  // init(coder:) once the coder has been accepted.
  VornViewController(platform::Platform& platform, const platform::Coder& coder);

  std::shared_ptr<VornViewController> self() {
    return std::static_pointer_cast<VornViewController>(shared_from_this());
  }
  // The history appends behind debug and error: accessors of the two histories like debugmsgs
  // and setDebugmsgs, so a subclass that keeps them elsewhere sees every append. One entry is
  // added in place; a get-copy-set would cost the whole history per line.
  virtual void appendDebugmsg(const std::string& message) { debugmsgs_.append(message); }
  virtual void appendError(const std::string& message) { errors_.append(message); }

 private:
  // Runs the fetch course, the refresh and the saved copy on the controller's behalf.
  friend class playlist::PlaylistSource;

  void setStartValues();

  // Status hooks (channel/status.cpp). noteStatus: main thread, after an event; the others any
  // thread.
  void noteStatus();
  void noteFetch(bool ok, const std::string& error, bool refresh);
  void notePlaylistSource(const JsonPtr& document, const std::string& source,
                          const std::optional<platform::Url>& address);
  void noteRefreshScheduled(double interval);
  void noteSlateReason(const std::string& reason);
  void noteInactivityPause(bool paused);
  void noteClockSync();
  StatusTrack status_;
  // The boundary observer's work, on the main thread.
  void boundaryTimeObserverFired();
  // The playlist address a document was loaded from, for resolving its relative stream
  // addresses (kept by the playlist source).
  std::optional<platform::Url> playlistAddressOf(const JsonPtr& document) const;

  // Main thread: puts a document waiting for an item boundary on screen, unless the channel is
  // paused (the playlist source's). True when the document was taken.
  bool applyWaitingPlaylist(bool queueEnds);

  // Item ends, for the refresh (channel/playback_events.cpp).
  void observeItemEnds();
  void itemPlayedToEnd(const platform::Notification& notification);

  // The refresh's watch for item boundaries, for the controller's life (main thread).
  platform::ObserverRegistration itemEndsObserver_;
  // The current queue's item observers, removed at the next queue load (main thread).
  std::vector<platform::ObserverRegistration> queueObservers_;

  // The steps of loadVideosOnMainThread, in order. Not virtual: they are the load's own parts, not
  // operations a subclass may take over one by one; each reads and writes through the virtual
  // accessors, so a subclass still sees every access.
  struct Cycle {
    std::vector<std::shared_ptr<VornAVPlayerItem>> items;
    std::span<const double> durations;  // listed, one per item (the cached programme cycle's)
  };
  struct QueueStart {
    std::vector<std::shared_ptr<platform::PlayerItem>> queue;  // the cycle rotated to the start
    std::shared_ptr<VornAVPlayerItem> lastItem;
    double seekSecond = 0.0;        // into the queue's first item
    double clockOffset = 0.0;       // where the clock stands in the queue's first item
    std::vector<double> durations;  // listed, in queue order
  };
  // One item per play of every usable entry.
  Cycle buildCycle(const JsonPtr& list);
  // Where the clock stands in a non-empty cycle: the queue that starts there and the seek.
  QueueStart placeOnClock(Cycle cycle);
  // Drops the player, its layer, the views and the observers of the previous load.
  void tearDownPreviousLoad();
  // The player of `queue` with its layer, the black cover with its label, and the indicator.
  void makePlayerAndCover(std::vector<std::shared_ptr<platform::PlayerItem>> queue,
                          bool hasLoopedFromLastVideo);
  // Seeks the new player and arms the first-frame boundary and the end-of-queue observers.
  void seekAndObserve(double seekSecond, const std::shared_ptr<VornAVPlayerItem>& lastItem);

  // The main thread's own state of the slots and the slate (timeline_, slotItems_, slate_,
  // probeRound_, firstFramePending_, lastSlotEnd_, waitingForLastSlot_): checked at the entry of
  // the functions that touch it.
  platform::SequenceChecker mainSequence_;
  // The queue's timeline and the items of its slots, in queue order (main thread only).
  std::optional<Timeline> timeline_;
  std::vector<std::shared_ptr<platform::PlayerItem>> slotItems_;
  // The slate on screen (main thread only).
  struct Slate {
    size_t slot = 0;
    std::shared_ptr<platform::Timer> slotEnd;
    std::shared_ptr<platform::Timer> retry;
    // The first-frame observer of the player trying to show a video again, while it tries.
    std::shared_ptr<platform::TimeObserverToken> attempt;
    double attemptSeek = 0.0;
    size_t attemptSlot = 0;       // the slot the attempt plays: this one, or the next at its start
    int retries = 0;              // attempts made so far
    bool lastChanceDone = false;  // the attempt before the slot's last seconds
    std::shared_ptr<platform::Timer> probe;
    double retryAt = 0.0;  // clock time of the next attempt on the schedule, while one is set
    // Seen down since the last attempt began: the slate's fault, a probe or an attempt of the
    // schedule that could not open it.
    bool streamDown = false;
    bool attemptFromProbe = false;  // the attempt on its way was started by a probe's answer
  };
  double clockNow();
  void startTimeline(const std::vector<std::shared_ptr<platform::PlayerItem>>& queue,
                     const std::vector<double>& durations, double clockOffset);
  // Where the timeline stands now.
  double timelinePosition();
  std::optional<size_t> slotOf(const platform::PlayerItem* item);
  // Whether `item` ended so long before its slot does that the slate must fill the rest.
  bool endedBeforeItsSlot(const platform::PlayerItem* item);
  // Seconds from now to the end of `item`'s slot (0 when it has no slot on the timeline).
  double untilSlotEnd(const platform::PlayerItem* item);
  // Shows the slate for a fault of the item in `slot`, or for the early end of the item before it
  // when the timeline has not reached `slot` yet.
  void slateForFault(size_t slot, const std::string& reason,
                     const std::shared_ptr<platform::PlayerItem>& item);
  void showSlate(size_t slot, const std::string& reason,
                 const std::shared_ptr<platform::PlayerItem>& item);
  void presentSlate(size_t slot);
  void endSlate();
  void armSlotEnd();
  // The next attempt on the schedule, if the slot leaves room for one.
  void armRetry();
  // The next probe, when no attempt waits and the slot leaves room for one.
  void armProbe();
  void probeAnswered(uint64_t round, bool answers);
  // Counts the probes; any change of the slate's state moves it on, so a late answer is dropped.
  uint64_t probeRound_ = 0;
  // The clock time the slate names as the next video's start: never in the past.
  double slateUntil();
  void cancelSlateTimers();
  // A new player for the queue from `slot` on, joined `position` seconds into it.
  void joinSlot(size_t slot, double position);
  void attemptShowedFrame(const std::shared_ptr<platform::QueuePlayer>& player);
  // Empties the current player so that nothing of it plays on.
  void stopPlayer();
  void holdTimeline();
  // True when it started the next load instead of resuming the current one.
  bool releaseTimeline();
  // A developer's swipe: the next slot's video starts now, and the timeline moves with it.
  void skipToNextSlot();
  // With frame sync on, tells `player` when each of its items is due on the timeline, so it
  // places its picture and holds it there (channel/frame_sync.cpp).
  void followTimeline(const std::shared_ptr<platform::QueuePlayer>& player);
  // Where a load's first video counts as shown: a third of a second after the second sought, or
  // with frame sync the first frame that moves on from where the clock stood.
  platform::MediaTime firstFrameMark(const platform::MediaTime& seekTime);
  // What the viewer is shown, a video or the slate for it.
  std::shared_ptr<platform::PlayerItem> itemOnScreen() const;
  std::optional<Slate> slate_;
  bool firstFramePending_ = false;                // the load's first video has not been shown yet
  std::shared_ptr<platform::Timer> lastSlotEnd_;  // the next load, at the last slot's end
  // The queue has played out and the next load waits for its last slot's end: the channel acts as
  // if the last item stood on screen at its end (a pause holds the wait, a resume reloads).
  bool waitingForLastSlot_ = false;

  // The cycle of the last document a queue was built from (main thread only). A reload of the
  // same document makes new items but does not read and parse every entry again.
  const programme::Cycle& programmeCycle(const JsonPtr& document);
  std::weak_ptr<const Json> cycleSource_;
  programme::Cycle cycle_;

  mutable std::mutex mutex_;
  std::shared_ptr<platform::Label> infoLabel_;
  std::shared_ptr<platform::View> infoLabelView_;
  std::shared_ptr<platform::ActivityIndicatorView> activityIndicatorView_;
  JsonPtr playlist_;
  std::shared_ptr<platform::QueuePlayer> queuePlayer_;
  std::shared_ptr<platform::PlayerLayer> playerLayer_;
  bool isPaused_ = false;
  std::shared_ptr<VornAVPlayerItem> lastPlayerItem_;
  bool developerMode_ = false;
  std::optional<std::string> playlistFileLocal_;
  std::optional<platform::Url> playlistUrlRemote_;
  std::optional<platform::Url> playlistUrlLocal_;
  std::optional<platform::Url> playlistUrl_;
  static constexpr int64_t kFetchPlaylistRetries = 2;
  int64_t fetchPlaylistRetries_ = kFetchPlaylistRetries;
  playlist::PlaylistSource playlistSource_{*this};
  std::shared_ptr<platform::Timer> inactivityTimer_;
  double inactivitySeconds_ = 3600.0;
  std::shared_ptr<platform::TimeObserverToken> initialLoadTimeObserver_;
  std::shared_ptr<platform::View> slateView_;
  std::shared_ptr<platform::Label> slateLabel_;
  log::DiagnosticHistory debugmsgs_;
  log::DiagnosticHistory errors_;
};

// The controller the application's start-up description names: the channel controller with its
// own class name in its log lines.
class VorniOSViewController : public VornViewController {
 public:
  VorniOSViewController(platform::Platform& platform, std::optional<std::string> nibName,
                        const platform::Bundle* nibBundle)
      : VornViewController(platform, std::move(nibName), nibBundle) {}
  static std::shared_ptr<VorniOSViewController> initWithCoder(platform::Platform& platform,
                                                              const platform::Coder& coder);

  void viewDidLoad() override { VornViewController::viewDidLoad(); }
  void didReceiveMemoryWarning() override { VornViewController::didReceiveMemoryWarning(); }
  void debug(const std::string& message) override;
  void error(const std::string& message) override;

 protected:
  VorniOSViewController(platform::Platform& platform, const platform::Coder& coder)
      : VornViewController(platform, coder) {}
};

}  // namespace vorn
