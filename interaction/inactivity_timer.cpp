#include "channel/vorn_view_controller.h"

namespace vorn {

void VornViewController::setInactivityTimer() {
  debug("setInactivityTimer");
  platform().mainQueue().post([self = self()] {
    if (const auto previous = self->inactivityTimer()) {
      previous->invalidate();
    }
    if (!(self->INACTIVITY_TIMER_SECONDS() > 0.0)) {
      self->setInactivityTimer(std::shared_ptr<platform::Timer>());
      return;
    }
    self->setInactivityTimer(self->platform().timers().scheduledTimer(
        self->INACTIVITY_TIMER_SECONDS(),
        platform::TimerAction::strong(self,
                                      "inactivityTimer:", &VornViewController::inactivityTimer)));
  });
}

void VornViewController::setINACTIVITY_TIMER_SECONDS(double seconds) {
  const bool wasOff = !(inactivitySeconds_ > 0.0);
  if (seconds == inactivitySeconds_) {
    return;
  }
  inactivitySeconds_ = seconds;
  // A live countdown moves to the new interval; a playing channel that had none because the pause
  // was off gets one. A paused channel stays without one until it resumes.
  const auto pending = inactivityTimer();
  const bool live = pending && pending->isValid();
  const auto player = queuePlayer();
  const bool playing = player && player->rate() != 0.0f;
  if (!live && !(wasOff && playing)) {
    return;
  }
  if (live) {
    pending->invalidate();
  }
  setInactivityTimer(std::shared_ptr<platform::Timer>());
  if (seconds > 0.0) {
    setInactivityTimer(platform().timers().scheduledTimer(
        seconds, platform::TimerAction::strong(
                     self(), "inactivityTimer:", &VornViewController::inactivityTimer)));
  }
}

void VornViewController::inactivityTimer(platform::Timer& timer) {
  (void)timer;
  debug("inactivityTimer:");
  noteInactivityPause(true);
  playerPause();
}

}  // namespace vorn
