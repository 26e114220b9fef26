#include "channel/timeline.h"

#include <algorithm>
#include <cmath>

namespace vorn {

Timeline::Timeline(std::vector<double> durations, double loadedAt, double clockOffset)
    : durations_(std::move(durations)), loadedAt_(loadedAt) {
  ends_.reserve(durations_.size());
  double end = 0.0;
  for (const double duration : durations_) {
    end += duration;
    ends_.push_back(end);
  }
  failed_.assign(durations_.size(), false);
  origin_ = loadedAt_ - (std::isfinite(clockOffset) ? clockOffset : 0.0);
}

double Timeline::position(double now) const {
  return heldSince_.value_or(now) - origin_;
}

double Timeline::clockAt(double position, double now) const {
  const double held = heldSince_ ? now - *heldSince_ : 0.0;
  return origin_ + held + position;
}

std::optional<size_t> Timeline::slotAt(double position) const {
  for (size_t slot = 0; slot < ends_.size(); ++slot) {
    if (position < ends_[slot]) {
      return slot;
    }
  }
  return std::nullopt;
}

bool Timeline::hold(double now) {
  if (heldSince_) {
    return false;
  }
  heldSince_ = now;
  return true;
}

bool Timeline::release(double now) {
  if (!heldSince_) {
    return false;
  }
  origin_ += now - *heldSince_;
  heldSince_.reset();
  return true;
}

void Timeline::skipTo(size_t slot, double now) {
  origin_ = heldSince_.value_or(now) - slotStart(slot);
}

double Timeline::untilEnd(size_t slot, double now) const {
  return hasRules(slot) ? std::max(0.0, leftOf(slot, now)) : 0.0;
}

bool Timeline::endedEarly(size_t slot, double now) const {
  return hasRules(slot) && leftOf(slot, now) > kToleranceSeconds;
}

bool Timeline::endedLate(size_t slot, double now) const {
  return hasRules(slot) && position(now) - ends_[slot] > kToleranceSeconds;
}

std::optional<size_t> Timeline::earlierSlotOnTheClock(size_t slot, double now) const {
  const double at = position(now);
  if (slotStart(slot) - at <= kToleranceSeconds) {
    return std::nullopt;
  }
  const auto covering = slotAt(at);
  if (!covering || *covering >= slot || !hasRules(*covering)) {
    return std::nullopt;
  }
  return covering;
}

double Timeline::slateUntil(size_t slot, double now) const {
  double at = clockAt(ends_[slot], now);
  if (slot + 1 == size()) {
    at = std::max(at, loadedAt_ + kMinReloadSpacingSeconds);
  }
  return std::isfinite(at) ? std::max(at, now) : at;
}

std::optional<double> Timeline::retryDelay(int retries, double left, bool& lastChanceDone) {
  double delay = retries == 0   ? kFirstRetrySeconds
                 : retries == 1 ? kSecondRetrySeconds
                                : kRetrySeconds;
  const double lastChance = left - kLastChanceSeconds;
  if (left - delay <= kLastChanceSeconds && lastChance > 0.0 && !lastChanceDone) {
    delay = std::min(delay, lastChance);
    lastChanceDone = true;
  }
  if (left - delay <= kToleranceSeconds) {
    return std::nullopt;
  }
  return delay;
}

}  // namespace vorn
