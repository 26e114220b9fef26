#include "channel/vorn_view_controller.h"

namespace vorn {

void VornViewController::setInactivityTimer() {
  debug("setInactivityTimer");
  platform().mainQueue().post([self = self()] {
    if (const auto previous = self->inactivityTimer()) {
      previous->invalidate();
    }
    self->setInactivityTimer(self->platform().timers().scheduledTimer(
        self->INACTIVITY_TIMER_SECONDS(),
        platform::TimerAction::strong(self,
                                      "inactivityTimer:", &VornViewController::inactivityTimer)));
  });
}

void VornViewController::inactivityTimer(platform::Timer& timer) {
  (void)timer;
  debug("inactivityTimer:");
  noteInactivityPause(true);
  playerPause();
}

}  // namespace vorn
