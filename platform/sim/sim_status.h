#pragma once

#include <string>
#include <vector>

#include "platform/channel_status.h"
#include "platform/sim/trace.h"

namespace vorn::sim {

// The status outlets of a simulated device: the last status published and every operator event,
// kept for tests; each event is also a trace line ("event: ..."). The clock's synchronisation is
// whatever the test sets.
class SimStatusOutlet : public platform::StatusOutlet {
 public:
  explicit SimStatusOutlet(const SimTrace& trace) : trace_(trace) {}
  static constexpr size_t kKeptEvents = 10000;

  struct Event {
    platform::EventPriority priority;
    std::string text;
  };

  void publish(const platform::ChannelStatus& status) override {
    if (states_.empty() || states_.back() != status.state) {
      states_.push_back(status.state);
    }
    last_ = status;
    ++publishCount_;
  }
  void event(platform::EventPriority priority, std::string_view text) override {
    // A simulated week of short items would keep hundreds of thousands: the latest are enough.
    if (events_.size() >= kKeptEvents) {
      events_.erase(events_.begin(), events_.begin() + kKeptEvents / 2);
    }
    events_.push_back({priority, std::string(text)});
    trace_.line("event: " + std::string(text));
  }
  platform::ClockSync clockSynchronized() override { return clockSync_; }

  void setClockSync(platform::ClockSync sync) { clockSync_ = sync; }
  const platform::ChannelStatus& last() const { return last_; }
  size_t publishCount() const { return publishCount_; }
  const std::vector<Event>& events() const { return events_; }
  // The states published, each change once.
  const std::vector<platform::ChannelState>& states() const { return states_; }

 private:
  const SimTrace& trace_;
  platform::ChannelStatus last_;
  size_t publishCount_ = 0;
  std::vector<Event> events_;
  std::vector<platform::ChannelState> states_;
  platform::ClockSync clockSync_ = platform::ClockSync::yes;
};

}  // namespace vorn::sim
