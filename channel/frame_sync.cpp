#include <algorithm>

#include "channel/vorn_view_controller.h"

namespace vorn {

void VornViewController::followTimeline(const std::shared_ptr<platform::QueuePlayer>& player) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  if (!player || !timeline_ || !platform().bundle().frameSync()) {
    return;
  }
  std::vector<platform::QueuePlayer::ClockDue> due;
  const double now = clockNow();
  due.reserve(slotItems_.size());
  for (size_t slot = 0; slot < slotItems_.size(); ++slot) {
    due.push_back({slotItems_[slot].get(), timeline_->clockAt(timeline_->slotStart(slot), now)});
    // An item without a listed length plays as it is: where the items after it fall is unknown.
    if (!timeline_->hasRules(slot)) {
      break;
    }
  }
  player->followClock(std::move(due));
}

platform::MediaTime VornViewController::firstFrameMark(const platform::MediaTime& seekTime) {
  VORN_CHECK_SEQUENCE(mainSequence_, "timeline_");
  const auto third = platform::MediaTime::make(1, 3) + seekTime;
  if (!timeline_ || !platform().bundle().frameSync() || !seekTime.isNumeric()) {
    return third;
  }
  // The player shows its first frame where the clock stands, however long it took, and counts
  // what lies between the second sought and that frame as crossed: a mark just after the earlier
  // of the two lifts the cover with the first frame that moves, not up to a third of a second
  // (or, when the second was rounded up, more) later. A queue taken over at its end without a
  // reload shows no cover for longer than that frame.
  const double clockOffset = timeline_->loadedAt() - timeline_->origin();
  // A clock exactly on the second sought: the first frame is that second's, and the mark stays
  // where it always was.
  if (clockOffset == seekTime.seconds()) {
    return third;
  }
  const double from = std::min(seekTime.seconds(), clockOffset);
  return platform::MediaTime::makeWithSeconds(std::max(0.0, from) + 0.001, 1000);
}

}  // namespace vorn
