#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn {

void VornViewController::boundaryTimeObserverFired() {
  // The platform already calls this on the main queue; the work still takes one more turn, so it
  // reads whatever player and token the controller holds by then.
  platform().mainQueue().post([self = self()] {
    VORN_CHECK_SEQUENCE(self->mainSequence_, "firstFramePending_");
    self->firstFramePending_ = false;
    self->debug("boundaryTimeObserver callback for first video");
    self->firstVideoLoaded();
    self->noteStatus();
    if (const auto token = self->initialLoadTimeObserver()) {
      if (const auto player = self->queuePlayer()) {
        player->removeTimeObserver(token);
      }
      self->setInitialLoadTimeObserver(nullptr);
    }
  });
}

void VornViewController::firstVideoLoaded() {
  const auto player = queuePlayer();
  const auto layer = playerLayer();
  const float rate = player ? player->rate() : 0.0f;
  const bool ready = layer && layer->isReadyForDisplay();
  debug("firstVideoLoaded: rate is " + log::renderFloat(rate) + ", readyForDisplay is " +
        log::renderBool(ready));
  playerResume();
}

void VornViewController::lastVideoPlayedToEnd(const platform::Notification& notification) {
  VORN_CHECK_SEQUENCE(mainSequence_, "lastSlotEnd_");
  const auto item = std::dynamic_pointer_cast<platform::PlayerItem>(notification.object);
  // A last item that ends well before its slot is short: the slate fills the rest of the slot and
  // the next queue loads when the slot ends.
  if (endedBeforeItsSlot(item.get())) {
    return;
  }
  debug("lastVideoPlayedToEnd: object: " + log::renderOptional(item));
  // A queue that ran a little ahead (a seek rounded up, or a player that cuts at the frame before
  // the slot's end) waits for its last slot's end, so the next load finds the clock in the next
  // cycle and not in the slot just played. Only the clock's rounding is let pass.
  // A load this very moment that already ended its queue waits even for that: a reload now would
  // find the clock in the same slot again.
  const double wait = untilSlotEnd(item.get());
  if (wait > 0.001 || (wait > 0.0 && clockNow() == timeline_->loadedAt())) {
    waitingForLastSlot_ = true;
    lastSlotEnd_ = platform().timers().scheduledTimer(
        wait, platform::TimerAction::strong(self(),
                                            "lastSlotEnded:", &VornViewController::lastSlotEnded));
    return;
  }
  loadVideos(true);
}

void VornViewController::observeItemEnds() {
  // A registration of its own: every queue load removes the queue's observers, not this one.
  itemEndsObserver_ = platform().notificationCenter().addObserver(
      platform::NotificationAction::weak(self(),
                                         "itemPlayedToEnd:", &VornViewController::itemPlayedToEnd),
      platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
}

void VornViewController::itemPlayedToEnd(const platform::Notification& notification) {
  // Only the items of the playing queue mark a boundary: they carry entries of the document that
  // plays.
  const auto item = std::dynamic_pointer_cast<VornAVPlayerItem>(notification.object);
  const JsonPtr document = playlist();
  if (!item || !queuePlayer() || !document || !item->playlist_info() ||
      item->playlist_info().owner_before(document) ||
      document.owner_before(item->playlist_info())) {
    return;
  }
  applyWaitingPlaylist(item == lastPlayerItem());
}

}  // namespace vorn
