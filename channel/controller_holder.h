#pragma once

#include <memory>

namespace vorn {

class VornViewController;

// What the channel asks of whoever holds it once its view has loaded: to keep it as the
// controller that life-cycle events act on. The application's delegate implements it, so the
// channel reaches the delegate without knowing the application.
class ControllerHolder {
 public:
  virtual ~ControllerHolder() = default;
  // Main thread.
  virtual void setVornViewController(std::shared_ptr<VornViewController> value) = 0;
};

}  // namespace vorn
