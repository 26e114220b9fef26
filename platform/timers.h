#pragma once

#include <memory>
#include <string>

#include "platform/object.h"
#include "platform/target_action.h"

namespace vorn::platform {

class Timer;
using TimerAction = TargetAction<void, Timer&>;

// A one-shot timer on the main thread's run loop. It holds its action (and so its target) until it
// has fired or been invalidated, then releases it.
class Timer : public Object {
 public:
  // Main thread. No effect on a timer that has fired or was invalidated.
  virtual void invalidate() = 0;
  // True until the timer has fired or been invalidated.
  virtual bool isValid() const = 0;
  virtual double timeInterval() const = 0;
  virtual const std::string& selector() const = 0;
  std::string description() const override;
};

class TimerService {
 public:
  virtual ~TimerService() = default;
  // Schedules a one-shot timer that calls the action once, on the main thread, `interval` seconds
  // from now. Equal fire times run in scheduling order. Main thread only.
  virtual std::shared_ptr<Timer> scheduledTimer(double interval, TimerAction action) = 0;
};

}  // namespace vorn::platform
