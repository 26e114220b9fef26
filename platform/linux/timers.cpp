#include "platform/linux/timers.h"

#include <cmath>
#include <limits>

namespace vorn::linuxbackend {

class AsioTimerService::AsioTimer : public platform::Timer {
 public:
  AsioTimer(Guard<AsioTimerService>::Weak service, Key key, double interval,
            platform::TimerAction action)
      : service_(std::move(service)),
        key_(key),
        interval_(interval),
        selector_(action.selector),
        action_(std::move(action)) {}

  void invalidate() override {
    if (!valid_) {
      return;
    }
    valid_ = false;
    action_ = {};
    if (AsioTimerService* service = service_.get()) {
      service->cancel(key_);
    }
  }
  bool isValid() const override { return valid_; }
  double timeInterval() const override { return interval_; }
  const std::string& selector() const override { return selector_; }

  // Called by the service for a due timer that is still in its table.
  void fire() {
    if (!valid_) {
      return;
    }
    valid_ = false;
    // The timer lets go of its action (and so its target) once it has fired, even if the action
    // keeps the timer itself.
    auto action = std::move(action_);
    action_ = {};
    if (action.call) {
      action.call(*this);
    }
  }
  void release() {
    valid_ = false;
    action_ = {};
  }

 private:
  Guard<AsioTimerService>::Weak service_;
  Key key_;
  double interval_;
  std::string selector_;
  platform::TimerAction action_;
  bool valid_ = true;
};

AsioTimerService::AsioTimerService(asio::io_context& context) : wakeUp_(context) {}

AsioTimerService::~AsioTimerService() {
  shutdown();
}

std::shared_ptr<platform::Timer> AsioTimerService::scheduledTimer(double interval,
                                                                  platform::TimerAction action) {
  // Negative, NaN and absurdly large intervals are clamped rather than overflowing the clock.
  double seconds = std::isfinite(interval) ? std::max(interval, 0.0) : 0.0;
  seconds = std::min(seconds, 100.0 * 365 * 24 * 3600);
  auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Key key{Clock::now() + delay, nextSequence_++};
  auto timer = std::make_shared<AsioTimer>(guard_.weak(), key, interval, std::move(action));
  bool earliest = pending_.empty() || key < pending_.begin()->first;
  pending_.emplace(key, timer);
  if (earliest) {
    rearm();
  }
  return timer;
}

void AsioTimerService::shutdown() {
  wakeUp_.cancel();
  auto doomed = std::move(pending_);
  pending_.clear();
  for (auto& [key, timer] : doomed) {
    timer->release();
  }
}

void AsioTimerService::cancel(const Key& key) {
  // The asio timer stays armed; when it wakes up for nothing, fireDue() simply re-arms.
  pending_.erase(key);
}

void AsioTimerService::rearm() {
  if (pending_.empty()) {
    wakeUp_.cancel();
    return;
  }
  wakeUp_.expires_at(pending_.begin()->first.first);
  wakeUp_.async_wait([service = guard_.weak()](const std::error_code& error) {
    if (error) {
      return;  // re-armed or cancelled: a newer wait owns the table
    }
    if (AsioTimerService* self = service.get()) {
      self->fireDue();
    }
  });
}

void AsioTimerService::fireDue() {
  // Only timers due at the start of this pass run now; anything they schedule, even with a zero
  // interval, waits for the next pass, behind blocks already posted to the main queue.
  auto now = Clock::now();
  Key limit{now, std::numeric_limits<uint64_t>::max()};
  while (!pending_.empty() && pending_.begin()->first < limit) {
    auto timer = pending_.begin()->second;
    pending_.erase(pending_.begin());
    timer->fire();
  }
  rearm();
}

}  // namespace vorn::linuxbackend
