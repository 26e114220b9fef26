#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn {

void VornViewController::boundaryTimeObserverFired() {
  // The platform already calls this on the main queue; the work still takes one more turn, so it
  // reads whatever player and token the controller holds by then.
  platform().mainQueue().post([self = self()] {
    self->debug("boundaryTimeObserver callback for first video");
    self->firstVideoLoaded();
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
  const auto item = std::dynamic_pointer_cast<platform::PlayerItem>(notification.object);
  debug("lastVideoPlayedToEnd: object: " + log::renderOptional(item));
  loadVideos(true);
}

void VornViewController::lastVideoFailedToPlay(const platform::Notification& notification) {
  const auto item = std::dynamic_pointer_cast<platform::PlayerItem>(notification.object);
  debug("lastVideoFailedToPlay: object: " + log::renderOptional(item) + "; reloading in " +
        log::renderDouble(kFailedLastVideoReloadSeconds) + " seconds");
  // Not at once: when every stream of the programme fails, reloading at once would spin.
  platform().mainQueue().post([self = self()] {
    self->platform().timers().scheduledTimer(
        kFailedLastVideoReloadSeconds,
        platform::TimerAction::strong(
            self, "reloadAfterFailedLastVideo:", &VornViewController::reloadAfterFailedLastVideo));
  });
}

void VornViewController::reloadAfterFailedLastVideo(platform::Timer& timer) {
  (void)timer;
  // A load since the failure has already replaced the queue.
  const auto player = queuePlayer();
  if (player && player->currentItem()) {
    return;
  }
  loadVideos(true);
}

void VornViewController::observeItemEnds() {
  // Registered under the refresh state's address, not the controller's: every queue load removes
  // the controller's own registrations.
  platform().notificationCenter().addObserver(
      &refresh_,
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
