#include <algorithm>
#include <cmath>

#include "channel/slate.h"
#include "channel/vorn_view_controller.h"
#include "interaction/overlay.h"
#include "log/render.h"
#include "programme/programme_clock.h"

namespace vorn {

namespace {

std::shared_ptr<VornAVPlayerItem> asVornItem(const std::shared_ptr<platform::PlayerItem>& item) {
  return std::dynamic_pointer_cast<VornAVPlayerItem>(item);
}

}  // namespace

std::shared_ptr<platform::View> VornViewController::slateView() const {
  std::lock_guard lock(mutex_);
  return slateView_;
}

std::shared_ptr<platform::Label> VornViewController::slateLabel() const {
  std::lock_guard lock(mutex_);
  return slateLabel_;
}

double VornViewController::clockNow() {
  return platform().clock().timeIntervalSince1970();
}

void VornViewController::startTimeline(
    const std::vector<std::shared_ptr<platform::PlayerItem>>& queue,
    const std::vector<double>& durations, double clockOffset) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  slotItems_ = queue;
  timeline_.emplace(durations, clockNow(), clockOffset);
}

double VornViewController::timelinePosition() {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  return timeline_->position(clockNow());
}

std::optional<size_t> VornViewController::slotOf(const platform::PlayerItem* item) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  return timeline_->find([&](size_t slot) { return slotItems_[slot].get() == item; });
}

bool VornViewController::endedBeforeItsSlot(const platform::PlayerItem* item) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  if (!timeline_) {
    return false;
  }
  const auto slot = slotOf(item);
  return slot && timeline_->endedEarly(*slot, clockNow());
}

double VornViewController::untilSlotEnd(const platform::PlayerItem* item) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  if (!timeline_) {
    return 0.0;
  }
  const auto slot = slotOf(item);
  return slot ? timeline_->untilEnd(*slot, clockNow()) : 0.0;
}

std::shared_ptr<platform::PlayerItem> VornViewController::itemOnScreen() const {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (slate_ && timeline_) {
    return slotItems_[slate_->slot];
  }
  if (waitingForLastSlot_ && timeline_ && !slotItems_.empty()) {
    return slotItems_.back();
  }
  const auto player = queuePlayer();
  return player ? player->currentItem() : nullptr;
}

void VornViewController::queueItemEvent(const platform::Notification& notification) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  const auto item = std::dynamic_pointer_cast<platform::PlayerItem>(notification.object);
  const auto player = queuePlayer();
  if (!item || !player || !timeline_) {
    return;
  }
  const auto slot = slotOf(item.get());
  if (!slot) {
    return;
  }
  if (notification.name == platform::kPlayerItemFailedToPlayToEndTimeNotification) {
    timeline_->markFailed(*slot);
  }
  // The player moves on to the next item after telling of this one's end.
  platform().mainQueue().post([self = self()] { self->noteStatus(); });
  // Only the item on screen counts. A player may already have moved on to the next item when it
  // tells of the end of one.
  if (const auto current = player->currentItem(); current != item) {
    const auto currentSlot = current ? slotOf(current.get()) : slotItems_.size();
    if (currentSlot != *slot + 1) {
      return;
    }
  }
  if (notification.name == platform::kPlayerItemFailedToPlayToEndTimeNotification) {
    slateForFault(*slot, "itemFailedToPlay", item);
    return;
  }
  if (notification.name == platform::kPlayerItemPlaybackStalledNotification) {
    slateForFault(*slot, "itemStalled", item);
    return;
  }
  if (notification.name != platform::kPlayerItemDidPlayToEndTimeNotification) {
    return;
  }
  if (endedBeforeItsSlot(item.get())) {
    slateForFault(*slot, "itemEndedEarly", item);
    return;
  }
  if (firstFramePending_ && initialLoadTimeObserver()) {
    // The load joined the item so near its end that the first-frame mark lies beyond it: the
    // picture was shown, and the next item takes over from it.
    boundaryTimeObserverFired();
  }
  // Ended late (a stream that held up for a moment): the next item joins its slot where the
  // timeline stands, instead of running late until the queue ends.
  const size_t next = *slot + 1;
  if (next < slotItems_.size() && timeline_->hasRules(next) &&
      timeline_->endedLate(*slot, clockNow())) {
    platform().mainQueue().post([self = self(), player, nextItem = slotItems_[next], next] {
      if (self->queuePlayer() != player || player->currentItem() != nextItem || !self->timeline_) {
        return;
      }
      const double into = self->timelinePosition() - self->timeline_->slotStart(next);
      player->seekToTime(platform::MediaTime::makeWithSeconds(into, 1000));
    });
  }
}

void VornViewController::slateForFault(size_t slot, const std::string& reason,
                                       const std::shared_ptr<platform::PlayerItem>& item) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  // A stream that ends early may be followed at once by a next one that fails as fast (a server
  // gone takes both): by the time these events are read the player has moved past the first, and
  // only the second's fault is heard. The clock still stands in the first one's slot, which is the
  // one the slate fills; the next slot's video is tried when that slot ends.
  if (const auto earlier = timeline_->earlierSlotOnTheClock(slot, clockNow())) {
    // Named for what became of it: a stream that could not be opened is a failure every time.
    showSlate(*earlier, timeline_->failed(*earlier) ? "itemFailedToPlay" : "itemEndedEarly",
              slotItems_[*earlier]);
    return;
  }
  showSlate(slot, reason, item);
}

void VornViewController::showSlate(size_t slot, const std::string& reason,
                                   const std::shared_ptr<platform::PlayerItem>& item) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  const bool sameSlot = slate_ && slate_->slot == slot;
  if (sameSlot && reason == "itemStalled") {
    // An attempt waiting for its stream reads nothing: it stays, to show the picture as soon as
    // the stream delivers again, until the next attempt replaces it.
    return;
  }
  stopPlayer();
  if (sameSlot) {
    // Another attempt failed; the slate stays and the retries go on. One that a probe started
    // tells nothing new: the next probe-led attempt waits for the address to fail and come back.
    if (reason == "itemFailedToPlay" && !slate_->attemptFromProbe) {
      slate_->streamDown = true;
    }
    armProbe();
    return;
  }
  cancelSlateTimers();
  slate_ = Slate{};
  slate_->slot = slot;
  slate_->streamDown = reason == "itemFailedToPlay";
  debug(reason + ": object: " + log::renderOptional(asVornItem(item)) + " ; showing slate until " +
        overlay::localTimeOfDay(slateUntil()));
  presentSlate(slot);
  noteSlateReason(reason);
  noteStatus();
  if (firstFramePending_) {
    // The slate takes the black cover's place at once.
    if (const auto band = infoLabelView()) {
      band->setHidden(true);
    }
    if (const auto indicator = activityIndicatorView()) {
      indicator->stopAnimating();
    }
  }
  armSlotEnd();
  armRetry();
  armProbe();
}

void VornViewController::presentSlate(size_t slot) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  const auto root = view();
  const platform::Rect frame = root->frame();
  auto& views = platform().views();
  if (!slateView()) {
    auto card = views.makeView(frame);
    card->setBackgroundColor(platform::Color::black());
    auto label = views.makeLabel(frame);
    label->setTextColor(platform::Color::gray());
    label->setBackgroundColor(platform::Color::black());
    label->setFont(views.preferredFont(platform::FontTextStyle::body));
    label->setLineBreakMode(platform::LineBreakMode::byWordWrapping);
    label->setNumberOfLines(0);
    card->addSubview(label);
    std::lock_guard lock(mutex_);
    slateView_ = std::move(card);
    slateLabel_ = std::move(label);
  }
  const auto card = slateView();
  const auto label = slateLabel();
  // Under the band, so that a viewer's pause shows over the slate as over a video.
  root->insertSubviewBelow(card, infoLabelView());
  card->setFrame(frame);
  const auto item = asVornItem(slotItems_[slot]);
  const JsonPtr entry = item ? item->playlist_info() : nullptr;
  label->setText(slate::text(entry.get(), overlay::localTimeOfDay(slateUntil())));
  label->setFrame(overlay::labelFitFrame(frame.width, frame.height));
  label->sizeToFit();
  const double height = label->frame().height;
  label->setFrame({overlay::kSideInset, std::max(0.0, (frame.height - height) / 2.0),
                   std::max(0.0, frame.width - overlay::kHorizontalReduction), height});
  card->setHidden(false);
}

void VornViewController::endSlate() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  cancelSlateTimers();
  const bool wasUp = slate_.has_value();
  slate_.reset();
  if (const auto card = slateView()) {
    card->setHidden(true);
  }
  if (wasUp) {
    noteStatus();
  }
}

void VornViewController::cancelSlateTimers() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  ++probeRound_;
  if (!slate_) {
    return;
  }
  for (auto* timer : {&slate_->slotEnd, &slate_->retry, &slate_->probe}) {
    if (*timer) {
      (*timer)->invalidate();
      timer->reset();
    }
  }
}

double VornViewController::slateUntil() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  return timeline_->slateUntil(slate_->slot, clockNow());
}

void VornViewController::armSlotEnd() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (!slate_ || !timeline_ || timeline_->held()) {
    return;
  }
  const double now = clockNow();
  const double at = slateUntil();
  // A slot listed beyond any reach never ends.
  if (!std::isfinite(at)) {
    return;
  }
  slate_->slotEnd = platform().timers().scheduledTimer(
      std::max(0.0, at - now), platform::TimerAction::strong(
                                   self(), "slateSlotEnded:", &VornViewController::slateSlotEnded));
}

void VornViewController::armRetry() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (!slate_ || !timeline_ || timeline_->held()) {
    return;
  }
  // Soon at first (a stream that held up often delivers again to a new connection), then at a
  // pace that spares a server that is down; and always once more before the slot's last seconds,
  // so a stream back late in its slot does not wait for the next one. No attempt that the slot's
  // end would cut short at once.
  const double now = clockNow();
  const auto delay = Timeline::retryDelay(slate_->retries, timeline_->leftOf(slate_->slot, now),
                                          slate_->lastChanceDone);
  if (!delay) {
    return;
  }
  slate_->retryAt = now + *delay;
  slate_->retry = platform().timers().scheduledTimer(
      *delay, platform::TimerAction::strong(
                  self(), "retrySlateItem:", &VornViewController::retrySlateItem));
}

void VornViewController::armProbe() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (!slate_ || !timeline_ || timeline_->held() || slate_->attempt || slate_->probe) {
    return;
  }
  // None that the slot's end would overtake: the next slot's stream opens then anyway.
  const double left = timeline_->leftOf(slate_->slot, clockNow());
  if (left - kSlateProbeSeconds <= kSlotToleranceSeconds) {
    return;
  }
  // Nor one that an attempt on the schedule would overtake.
  if (slate_->retry && slate_->retryAt <= clockNow() + kSlateProbeSeconds) {
    return;
  }
  slate_->probe = platform().timers().scheduledTimer(
      kSlateProbeSeconds, platform::TimerAction::strong(
                              self(), "probeSlateItem:", &VornViewController::probeSlateItem));
}

void VornViewController::probeSlateItem(platform::Timer& timer) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (!slate_ || slate_->probe.get() != &timer || !timeline_) {
    return;
  }
  slate_->probe.reset();
  if (timeline_->held() || slate_->attempt) {
    return;
  }
  const auto item = slotItems_[slate_->slot];
  if (!item || !item->asset()) {
    return;
  }
  // A small request through the URL session, not the player: a player opening a stream that is
  // down costs far more.
  const uint64_t round = ++probeRound_;
  platform().urlSession().startProbe(item->asset()->url(), [self = self(), round](bool answers) {
    self->platform().mainQueue().post(
        [self, round, answers] { self->probeAnswered(round, answers); });
  });
}

void VornViewController::probeAnswered(uint64_t round, bool answers) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  // An answer for a slate that has gone, a slot that has passed, or one that a pause or an
  // attempt overtook, tells nothing about now.
  if (round != probeRound_ || !slate_ || !timeline_ || timeline_->held() || slate_->attempt) {
    return;
  }
  if (!answers) {
    slate_->streamDown = true;
    armProbe();
    return;
  }
  if (!slate_->streamDown) {
    // Up all along (a stream that stalls or ends early): the attempts on the schedule see to it.
    armProbe();
    return;
  }
  // Back: an attempt now rather than at the next one on the schedule, which stays as it is.
  joinSlot(slate_->slot, std::max(0.0, timelinePosition() - timeline_->slotStart(slate_->slot)));
  slate_->attemptFromProbe = true;
}

void VornViewController::slateSlotEnded(platform::Timer& timer) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (!slate_ || slate_->slotEnd.get() != &timer || !timeline_) {
    return;
  }
  slate_->slotEnd.reset();
  // A slot's end is an item boundary: a refreshed programme that waits starts here.
  if (applyWaitingPlaylist(false)) {
    return;
  }
  const size_t next = slate_->slot + 1;
  if (next >= timeline_->size()) {
    // The queue's last slot is over: the next queue, from the clock.
    loadVideos(true);
    return;
  }
  cancelSlateTimers();
  joinSlot(next, std::max(0.0, timelinePosition() - timeline_->slotStart(next)));
}

void VornViewController::retrySlateItem(platform::Timer& timer) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  if (!slate_ || slate_->retry.get() != &timer || !timeline_) {
    return;
  }
  slate_->retry.reset();
  ++slate_->retries;
  // A fresh attempt replaces one still trying: that one may have lost its stream, or have passed
  // its mark unseen.
  joinSlot(slate_->slot, std::max(0.0, timelinePosition() - timeline_->slotStart(slate_->slot)));
  armRetry();
}

void VornViewController::joinSlot(size_t slot, double position) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  stopPlayer();
  // An attempt waits from here on: no probe meanwhile, and none still on its way counts.
  ++probeRound_;
  if (slate_->probe) {
    slate_->probe->invalidate();
    slate_->probe.reset();
  }
  slate_->streamDown = false;
  slate_->attemptFromProbe = false;
  std::vector<std::shared_ptr<platform::PlayerItem>> queue(
      slotItems_.begin() + static_cast<std::ptrdiff_t>(slot), slotItems_.end());
  const double listed = std::max(0.0, timeline_->duration(slot));
  const auto player = platform().media().makeQueuePlayer(std::move(queue));
  player->setAllowsExternalPlayback(true);
  player->setUsesExternalPlaybackWhileExternalScreenIsActive(true);
  player->setExternalPlaybackVideoGravity(platform::VideoGravity::resizeAspect);
  setQueuePlayer(player);
  if (const auto layer = playerLayer()) {
    layer->setPlayer(player);
  }
  const double seek = programme::seekSecond(std::min(position, listed));
  const auto seekTime = platform::MediaTime::makeWithSeconds(seek, 1);
  player->seekToTime(seekTime);
  followTimeline(player);
  slate_->attemptSeek = seek;
  slate_->attemptSlot = slot;
  slate_->attempt = player->addBoundaryTimeObserver(
      {platform::MediaTime::make(1, 3) + seekTime},
      [self = self(), weak = std::weak_ptr<platform::QueuePlayer>(player)] {
        if (auto shown = weak.lock()) {
          self->attemptShowedFrame(shown);
        }
      });
  if (!timeline_->held()) {
    player->play();
  }
}

void VornViewController::attemptShowedFrame(const std::shared_ptr<platform::QueuePlayer>& player) {
  // One more turn, as for the load's first frame.
  platform().mainQueue().post([self = self(), player] {
    VORN_CHECK_SEQUENCE(self->mainSequence_, "slate_");
    if (!self->slate_ || !self->slate_->attempt || self->queuePlayer() != player) {
      return;
    }
    player->removeTimeObserver(self->slate_->attempt);
    self->slate_->attempt.reset();
    // An attempt that waited for its stream shows it where it stood when it was made: onto the
    // clock again.
    double joined = self->slate_->attemptSeek;
    const double clock =
        self->timelinePosition() - self->timeline_->slotStart(self->slate_->attemptSlot);
    if (clock - (joined + 1.0 / 3.0) > kSlotToleranceSeconds) {
      joined = std::round(clock * 1000.0) / 1000.0;
      player->seekToTime(platform::MediaTime::makeWithSeconds(joined, 1000));
    }
    self->debug(
        "itemBackToPlay: object: " + log::renderOptional(asVornItem(player->currentItem())) +
        " ; joined at " + log::renderDouble(joined) + " seconds");
    self->endSlate();
    if (self->firstFramePending_) {
      // The load's first video, shown at last: the cover's work is done as at any first frame.
      self->firstFramePending_ = false;
      self->debug("boundaryTimeObserver callback for first video");
      self->firstVideoLoaded();
    }
  });
}

void VornViewController::stopPlayer() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  const auto player = queuePlayer();
  if (!player) {
    return;
  }
  if (const auto token = initialLoadTimeObserver()) {
    player->removeTimeObserver(token);
    setInitialLoadTimeObserver(nullptr);
  }
  if (slate_ && slate_->attempt) {
    player->removeTimeObserver(slate_->attempt);
    slate_->attempt.reset();
  }
  player->removeAllItems();
}

void VornViewController::holdTimeline() {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  if (!timeline_ || !timeline_->hold(clockNow())) {
    return;
  }
  cancelSlateTimers();
  if (lastSlotEnd_) {
    // The wait for the last slot's end stands still with the rest of the timeline.
    lastSlotEnd_->invalidate();
    lastSlotEnd_.reset();
  }
}

bool VornViewController::releaseTimeline() {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  if (!timeline_ || !timeline_->release(clockNow())) {
    return false;
  }
  if (waitingForLastSlot_) {
    // Paused after the queue played out: the next queue, from the clock, as at a queue's end.
    waitingForLastSlot_ = false;
    loadVideos(true);
    return true;
  }
  if (const auto player = queuePlayer()) {
    followTimeline(player);
  }
  if (slate_) {
    // The next video starts later by the pause.
    presentSlate(slate_->slot);
    armSlotEnd();
    armRetry();
    armProbe();
  }
  return false;
}

void VornViewController::skipToNextSlot() {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  const auto player = queuePlayer();
  if (!player) {
    return;
  }
  std::optional<size_t> slot;
  if (timeline_) {
    slot = slate_ ? std::optional<size_t>(slate_->slot) : slotOf(player->currentItem().get());
  }
  if (!slot || *slot + 1 >= timeline_->size()) {
    player->advanceToNextItem();
    return;
  }
  const size_t next = *slot + 1;
  timeline_->skipTo(next, clockNow());
  if (slate_) {
    cancelSlateTimers();
    joinSlot(next, 0.0);
    return;
  }
  player->advanceToNextItem();
  followTimeline(player);
}

void VornViewController::lastSlotEnded(platform::Timer& timer) {
  VORN_CHECK_SEQUENCE(mainSequence_, "lastSlotEnd_");
  if (lastSlotEnd_.get() != &timer) {
    return;
  }
  lastSlotEnd_.reset();
  waitingForLastSlot_ = false;
  loadVideos(true);
}

}  // namespace vorn
