#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "programme/cycle.h"
#include "programme/programme_clock.h"

namespace vorn {

double VornViewController::secondsFromBeginningOfVornDay() {
  if (DEVELOPER_MODE()) {
    return 0.0;
  }
  return programme::daySeconds(platform().clock().timeIntervalSince1970());
}

void VornViewController::loadVideos(bool hasLoopedFromLastVideo) {
  debug("loadVideos: hasLoopedFromLastVideo: " + log::renderBool(hasLoopedFromLastVideo));
  // Always through the main queue, even from the main thread; the block keeps us alive.
  platform().mainQueue().post([self = self(), hasLoopedFromLastVideo] {
    self->loadVideosOnMainThread(hasLoopedFromLastVideo);
  });
}

const programme::Cycle& VornViewController::programmeCycle(const JsonPtr& document) {
  VORN_CHECK_SEQUENCE(mainSequence_, "cycle_");
  if (cycleSource_.lock() == document && !cycleSource_.expired()) {
    return cycle_;
  }
  cycleSource_ = document;
  const auto base = playlistAddressOf(document);
  cycle_ = programme::buildCycle(*document, base ? &*base : nullptr);
  return cycle_;
}

void VornViewController::loadVideosOnMainThread(bool hasLoopedFromLastVideo) {
  VORN_CHECK_SEQUENCE(mainSequence_, "the queue");
  debug("loadVideos");
  const JsonPtr list = playlist();
  if (!list) {
    return;
  }
  Cycle cycle = buildCycle(list);
  // Nothing playable (an empty array, only unusable entries, only play counts of 0): keep what is
  // on screen. A programme already playing goes on, and the player, its layer, views and
  // observers stay together as they were.
  if (cycle.items.empty()) {
    debug("loadVideos: playlist has no playable entries; keeping the current queue");
    return;
  }
  QueueStart start = placeOnClock(std::move(cycle));
  if (queuePlayer()) {
    tearDownPreviousLoad();
  }
  startTimeline(start.queue, start.durations, start.clockOffset);
  makePlayerAndCover(std::move(start.queue), hasLoopedFromLastVideo);
  seekAndObserve(start.seekSecond, start.lastItem);
  followTimeline(queuePlayer());
  debug("loadVideos " + log::renderBool(platform().mainQueue().isMainThread()) + ": playing");
  noteStatus();
  if (!hasLoopedFromLastVideo) {
    setInactivityTimer();
  }
  queuePlayer()->play();
}

VornViewController::Cycle VornViewController::buildCycle(const JsonPtr& list) {
  // One item per play of every usable entry, in playlist order. Each item carries its entry as an
  // aliasing pointer into the document, which keeps the document alive.
  const programme::Cycle& programme = programmeCycle(list);
  Cycle cycle;
  cycle.items.reserve(programme.items.size());
  cycle.durations = programme.durations;
  for (const programme::CycleEntry& entry : programme.entries) {
    const JsonPtr info(list, entry.element);
    const double duration = entry.entry.duration;
    // An item never plays past its slot: a stream longer than listed is cut where its slot ends.
    const auto end = duration > 0.0 ? platform::MediaTime::makeWithSeconds(duration, 1000)
                                    : platform::MediaTime::invalid();
    for (int64_t play = 0; play < entry.entry.plays; ++play) {
      auto item = VornAVPlayerItem::initWithURL(entry.entry.url, duration, info);
      item->setForwardPlaybackEndTime(end);
      cycle.items.push_back(std::move(item));
    }
  }
  return cycle;
}

VornViewController::QueueStart VornViewController::placeOnClock(Cycle cycle) {
  const programme::QueuePlan plan =
      programme::planQueue(cycle.durations, secondsFromBeginningOfVornDay());
  QueueStart result;
  result.queue.reserve(cycle.items.size());
  result.durations.reserve(cycle.items.size());
  for (const size_t index : plan.order) {
    result.queue.push_back(std::move(cycle.items[index]));
    result.durations.push_back(cycle.durations[index]);
  }
  result.clockOffset = plan.start.offset;
  result.lastItem = std::static_pointer_cast<VornAVPlayerItem>(result.queue.back());
  // The seek grain is a whole second: the one the log names, also near the item's end.
  result.seekSecond = plan.seek;
  return result;
}

void VornViewController::tearDownPreviousLoad() {
  debug("loadVideos: removing observers and re-creating queuePlayer and playerLayer");
  endSlate();
  if (lastSlotEnd_) {
    lastSlotEnd_->invalidate();
    lastSlotEnd_.reset();
  }
  waitingForLastSlot_ = false;
  if (const auto token = initialLoadTimeObserver()) {
    queuePlayer()->removeTimeObserver(token);
    setInitialLoadTimeObserver(nullptr);
  }
  if (lastPlayerItem()) {
    queueObservers_.clear();
    setLastPlayerItem(nullptr);
  }
  if (const auto band = infoLabelView()) {
    band->setHidden(true);
  }
  if (const auto layer = playerLayer()) {
    layer->removeFromSuperlayer();
    layer->setPlayer(nullptr);
  }
  if (const auto label = infoLabel()) {
    label->removeFromSuperview();
  }
  if (const auto band = infoLabelView()) {
    band->removeFromSuperview();
  }
  if (const auto indicator = activityIndicatorView()) {
    indicator->removeFromSuperview();
  }
  setInfoLabel(nullptr);
  setInfoLabelView(nullptr);
  setActivityIndicatorView(nullptr);
  setPlayerLayer(nullptr);
  setQueuePlayer(nullptr);
}

void VornViewController::makePlayerAndCover(
    std::vector<std::shared_ptr<platform::PlayerItem>> queue, bool hasLoopedFromLastVideo) {
  debug("loadVideos: creating initial queuePlayer");
  auto& views = platform().views();
  const auto root = view();
  const platform::Rect frame = root->frame();

  setQueuePlayer(platform().media().makeQueuePlayer(std::move(queue)));
  queuePlayer()->setAllowsExternalPlayback(true);
  queuePlayer()->setUsesExternalPlaybackWhileExternalScreenIsActive(true);
  queuePlayer()->setExternalPlaybackVideoGravity(platform::VideoGravity::resizeAspect);

  setPlayerLayer(platform().media().makePlayerLayer(queuePlayer()));
  playerLayer()->setFrame(root->frame());
  playerLayer()->setVideoGravity(platform::VideoGravity::resizeAspect);
  root->layer()->addSublayer(playerLayer());

  // Until the first video is ready the band covers the whole view in black.
  setInfoLabelView(views.makeView(frame));
  infoLabelView()->setBackgroundColor(platform::Color::black());

  setInfoLabel(views.makeLabel(frame));
  infoLabel()->setTextColor(platform::Color::gray());
  infoLabel()->setBackgroundColor(platform::Color::black());
  infoLabel()->setFont(views.preferredFont(platform::FontTextStyle::body));
  infoLabel()->setLineBreakMode(platform::LineBreakMode::byWordWrapping);
  infoLabel()->setNumberOfLines(0);
  infoLabel()->setContentMode(platform::ContentMode::bottom);

  root->addSubview(infoLabelView());
  infoLabelView()->addSubview(infoLabel());

  setActivityIndicatorView(views.makeActivityIndicator(frame));
  activityIndicatorView()->setHidesWhenStopped(true);
  if (!hasLoopedFromLastVideo) {
    activityIndicatorView()->startAnimating();
  }
  root->addSubview(activityIndicatorView());
}

void VornViewController::seekAndObserve(double seekSecond,
                                        const std::shared_ptr<VornAVPlayerItem>& lastItem) {
  const auto seekTime = platform::MediaTime::makeWithSeconds(seekSecond, 1);
  debug("loadVideos: Seeking to " + seekTime.description());
  queuePlayer()->seekToTime(seekTime);

  const auto boundaryTime = firstFrameMark(seekTime);
  setInitialLoadTimeObserver(queuePlayer()->addBoundaryTimeObserver(
      {boundaryTime}, [self = self()] { self->boundaryTimeObserverFired(); }));
  firstFramePending_ = true;

  setLastPlayerItem(lastItem);
  // The centre does not keep its observers alive.
  auto& center = platform().notificationCenter();
  for (const char* name : {platform::kPlayerItemDidPlayToEndTimeNotification,
                           platform::kPlayerItemFailedToPlayToEndTimeNotification,
                           platform::kPlayerItemPlaybackStalledNotification}) {
    queueObservers_.push_back(
        center.addObserver(platform::NotificationAction::weak(
                               self(), "queueItemEvent:", &VornViewController::queueItemEvent),
                           name, nullptr));
  }
  queueObservers_.push_back(center.addObserver(
      platform::NotificationAction::weak(
          self(), "lastVideoPlayedToEnd:", &VornViewController::lastVideoPlayedToEnd),
      platform::kPlayerItemDidPlayToEndTimeNotification, lastPlayerItem()));
  debug("loadVideos: Adding AVPlayerItemDidPlayToEndTimeNotification notifier for playerItem: " +
        log::renderOptional(lastPlayerItem()));
}

}  // namespace vorn
