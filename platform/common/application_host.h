#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/application.h"
#include "platform/geometry.h"
#include "platform/input.h"

namespace vorn::platform {
class Platform;
}

namespace vorn::common {

// The shared application: starts the program in the platform's order and turns what the backend
// observes (life-cycle changes, input, size changes) into the delegate's and the root
// controller's callbacks. Main thread.
class ApplicationHost : public platform::Application {
 public:
  explicit ApplicationHost(platform::Platform& platform) : platform_(platform) {}

  // Start-up: make the delegate, the window and the root controller, finish launching, load the
  // view, become active, show the view. False when a class is not registered or the controller
  // could not be made.
  // `configureRootController` runs on the new root controller before its view loads.
  bool launch(const platform::ClassRegistry& registry, const std::string& delegateClassName,
              const platform::MainInterface& mainInterface, const platform::Rect& screenBounds,
              const std::function<void(platform::ViewController&)>& configureRootController = {});

  const std::shared_ptr<platform::ApplicationDelegate>& delegate() const override {
    return delegate_;
  }
  // The screen's bounds: the frame a root view is made with.
  const platform::Rect& screenBounds() const override { return screenBounds_; }
  void setScreenBounds(const platform::Rect& bounds) { screenBounds_ = bounds; }
  std::shared_ptr<platform::ViewController> rootViewController() const override;
  platform::ApplicationState state() const override { return state_; }

  // Life-cycle changes. Each runs the callbacks of every state passed on the way (for example
  // enterBackground from active resigns first); a change to the current state does nothing.
  void resignActive();
  void enterBackground();
  void enterForeground();
  void becomeActive();
  void terminate();

  void screenConnected();
  void screenDisconnected();
  // The screen's size changes: the root controller hears of it, the window and root view take the
  // new frame, then the coordinator's completions run.
  void resize(const platform::Size& size);
  void memoryWarning();

  // Viewer input, delivered to the root view's recognisers and to the remote command centre.
  bool tap();
  bool swipe(platform::SwipeDirection direction);
  bool pressPlayPause();
  void remoteCommand(platform::RemoteCommandKind kind);

 private:
  platform::Platform& platform_;
  std::shared_ptr<platform::ApplicationDelegate> delegate_;
  platform::Rect screenBounds_{0.0, 0.0, 1920.0, 1080.0};
  platform::ApplicationState state_ = platform::ApplicationState::notRunning;
};

}  // namespace vorn::common
