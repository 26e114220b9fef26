#include "channel/vorn_view_controller.h"
#include "interaction/overlay.h"
#include "log/render.h"

namespace vorn {

void VornViewController::playerPause() {
  platform().mainQueue().post([self = self()] {
    self->holdTimeline();
    self->showInfoLabel(overlay::kPausedHeading, std::nullopt);
    if (const auto timer = self->inactivityTimer()) {
      timer->invalidate();
    }
    // Leaving the foreground can come before the first queue exists: nothing to pause then.
    if (const auto player = self->queuePlayer()) {
      player->pause();
    }
    self->noteStatus();
  });
}

void VornViewController::playerResume() {
  debug("playerResume");
  platform().mainQueue().post([self = self()] {
    if (const auto band = self->infoLabelView()) {
      band->setHidden(true);
    }
    if (const auto player = self->queuePlayer(); !self->releaseTimeline() && player) {
      player->play();
    }
    if (const auto indicator = self->activityIndicatorView()) {
      indicator->stopAnimating();
    }
    self->noteInactivityPause(false);
    self->noteStatus();
  });
}

void VornViewController::handleAllGestureRecognizers() {
  const auto player = queuePlayer();
  debug("handleAllGestureRecognizers: rate is " +
        log::renderOptional(player ? std::optional<float>(player->rate()) : std::nullopt));
  if (!player) {
    return;
  }
  platform().mainQueue().post([self = self()] {
    VORN_CHECK_SEQUENCE(self->mainSequence_, "slate_");
    const auto current = self->queuePlayer();
    // Over the slate the player stands empty, paused or playing as the channel is.
    // After the queue played out, the wait for the last slot's end is still that slot's.
    if (current && (current->currentItem() || self->slate_ || self->waitingForLastSlot_)) {
      if (current->rate() == 0.0f) {
        self->debug("handleAllGestureRecognizers: paused, resuming");
        self->playerResume();
        self->setInactivityTimer();
      } else {
        self->debug("handleAllGestureRecognizers: pausing");
        self->playerPause();
      }
      return;
    }
    // Nothing current (the queue ran out): rebuild from the clock.
    if (const auto band = self->infoLabelView()) {
      band->setHidden(true);
    }
    self->loadVideos(false);
  });
}

void VornViewController::showInfoLabel(const std::string& prefix,
                                       std::optional<double> hideAfterSeconds) {
  const auto label = infoLabel();
  const auto band = infoLabelView();
  if (!label || !band) {
    return;
  }
  const auto current = itemOnScreen();
  if (!current) {
    return;
  }
  const auto item = std::dynamic_pointer_cast<VornAVPlayerItem>(current);
  const JsonPtr entry = item ? item->playlist_info() : nullptr;
  label->setText(overlay::compose(prefix, entry.get()));

  if (hideAfterSeconds) {
    platform().mainQueue().post([self = self(), delay = *hideAfterSeconds] {
      self->platform().timers().scheduledTimer(
          delay, platform::TimerAction::strong(
                     self, "hideInfoLabelFromTimer:", &VornViewController::hideInfoLabelFromTimer));
    });
  }

  const auto root = view();
  debug("Frame is " + root->frame().description());
  label->setFrame(overlay::labelFitFrame(root->frame().width, root->frame().height));
  label->sizeToFit();
  const double h = label->frame().height;
  band->setFrame(overlay::bandFrame(root->frame().width, root->frame().height, h));
  label->setFrame(overlay::labelFrame(root->frame().width, h));
  band->setHidden(false);
}

void VornViewController::hideInfoLabelFromTimer(platform::Timer& timer) {
  (void)timer;
  platform().mainQueue().post([self = self()] {
    if (const auto band = self->infoLabelView()) {
      band->setHidden(true);
    }
  });
}

}  // namespace vorn
