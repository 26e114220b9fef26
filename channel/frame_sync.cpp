#include "channel/vorn_view_controller.h"

namespace vorn {

void VornViewController::followTimeline(const std::shared_ptr<platform::QueuePlayer>& player) {
  if (!player || !timeline_ || !platform().bundle().frameSync()) {
    return;
  }
  std::vector<platform::QueuePlayer::ClockDue> due;
  due.reserve(timeline_->items.size());
  for (size_t slot = 0; slot < timeline_->items.size(); ++slot) {
    due.push_back({timeline_->items[slot].get(), clockAtPosition(slotStart(slot))});
    // An item without a listed length plays as it is: where the items after it fall is unknown.
    if (!(timeline_->durations[slot] > 0.0)) {
      break;
    }
  }
  player->followClock(std::move(due));
}

}  // namespace vorn
