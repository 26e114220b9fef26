#pragma once

#include <functional>

namespace vorn::platform {

// The main queue: blocks run later on the main thread, one at a time, in the order they were
// posted. post() never waits and never runs the block inline, even when called on the main thread.
// post() and isMainThread() may be called from any thread.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(std::function<void()> block) = 0;
  virtual bool isMainThread() const = 0;
};

}  // namespace vorn::platform
