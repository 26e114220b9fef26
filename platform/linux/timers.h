#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "platform/linux/guard.h"
#include "platform/timers.h"

namespace vorn::linuxbackend {

// One-shot timers on the main loop. All due timers are kept in one ordered table (fire time, then
// scheduling order) behind a single asio timer armed for the earliest entry. Invalidating removes
// the entry, so a timer whose asio wait had already completed cannot fire afterwards, and equal
// fire times run in scheduling order. Main thread only.
class AsioTimerService : public platform::TimerService {
 public:
  explicit AsioTimerService(asio::io_context& context);
  ~AsioTimerService() override;

  std::shared_ptr<platform::Timer> scheduledTimer(double interval,
                                                  platform::TimerAction action) override;

  // Invalidates every timer (their actions are released). Main thread.
  void shutdown();
  size_t pendingCount() const { return pending_.size(); }

 private:
  class AsioTimer;
  using Clock = std::chrono::steady_clock;
  using Key = std::pair<Clock::time_point, uint64_t>;

  void cancel(const Key& key);
  void rearm();
  void fireDue();

  asio::steady_timer wakeUp_;
  std::map<Key, std::shared_ptr<AsioTimer>> pending_;
  uint64_t nextSequence_ = 0;
  // Lets the timer objects, which the logic may keep past the service, know it is gone.
  Guard<AsioTimerService> guard_{*this};
};

}  // namespace vorn::linuxbackend
