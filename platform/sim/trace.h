#pragma once

#include <functional>
#include <string>
#include <utility>

#include "platform/sim/scheduler.h"

namespace vorn::sim {

// What a viewer would see and what the platform does, one line per event at the virtual time it
// happens: current item changes, rate changes, seeks, timers scheduled, fired and invalidated,
// downloads started and finished, and (with log records on) every log record. Also the hook a
// tracer uses to diff the view tree after every main-thread turn and every input.
class SimTrace {
 public:
  explicit SimTrace(const Scheduler& scheduler) : scheduler_(scheduler) {}

  void setSink(std::function<void(double, const std::string&)> sink) { sink_ = std::move(sink); }
  void setLogRecords(bool on) { logRecords_ = on; }
  bool logRecords() const { return logRecords_; }
  void setViewTreeHook(std::function<void()> hook) { viewTreeHook_ = std::move(hook); }
  // Drops the sink and the hook: they may refer to objects that are going.
  void clear() {
    sink_ = nullptr;
    viewTreeHook_ = nullptr;
  }

  void line(const std::string& text) const {
    if (sink_) {
      sink_(scheduler_.now(), text);
    }
  }
  void viewTreeMaybeChanged() const {
    if (viewTreeHook_) {
      viewTreeHook_();
    }
  }

 private:
  const Scheduler& scheduler_;
  std::function<void(double, const std::string&)> sink_;
  bool logRecords_ = false;
  std::function<void()> viewTreeHook_;
};

}  // namespace vorn::sim
