#include "platform/common/application_host.h"

#include "platform/common/input_delivery.h"
#include "platform/platform.h"

namespace vorn::common {

bool ApplicationHost::launch(
    const platform::ClassRegistry& registry, const std::string& delegateClassName,
    const platform::MainInterface& mainInterface, const platform::Rect& screenBounds,
    const std::function<void(platform::ViewController&)>& configureRootController) {
  const auto delegateClass = registry.delegates.find(delegateClassName);
  const auto controllerClass = registry.controllers.find(mainInterface.rootControllerClass);
  if (delegateClass == registry.delegates.end() || controllerClass == registry.controllers.end()) {
    return false;
  }
  screenBounds_ = screenBounds;
  delegate_ = delegateClass->second(platform_);
  if (!delegate_) {
    return false;
  }
  // The start-up description: a window held by the delegate, and the root controller decoded
  // into it.
  auto window = std::make_shared<platform::Window>(screenBounds);
  delegate_->setWindow(window);
  auto controller = controllerClass->second(platform_, platform::Coder{});
  if (!controller) {
    return false;
  }
  window->setRootViewController(controller);
  if (configureRootController) {
    configureRootController(*controller);
  }
  state_ = platform::ApplicationState::inactive;
  delegate_->applicationDidFinishLaunchingWithOptions(*this);
  controller->loadViewIfNeeded();
  becomeActive();
  controller->viewDidAppear(false);
  return true;
}

std::shared_ptr<platform::ViewController> ApplicationHost::rootViewController() const {
  if (!delegate_) {
    return nullptr;
  }
  const auto window = delegate_->window();
  return window ? window->rootViewController() : nullptr;
}

void ApplicationHost::resignActive() {
  if (state_ == platform::ApplicationState::active) {
    state_ = platform::ApplicationState::inactive;
    delegate_->applicationWillResignActive(*this);
  }
}

void ApplicationHost::enterBackground() {
  resignActive();
  if (state_ == platform::ApplicationState::inactive) {
    state_ = platform::ApplicationState::background;
    delegate_->applicationDidEnterBackground(*this);
  }
}

void ApplicationHost::enterForeground() {
  if (state_ == platform::ApplicationState::background) {
    state_ = platform::ApplicationState::inactive;
    delegate_->applicationWillEnterForeground(*this);
  }
}

void ApplicationHost::becomeActive() {
  enterForeground();
  if (state_ == platform::ApplicationState::inactive) {
    state_ = platform::ApplicationState::active;
    delegate_->applicationDidBecomeActive(*this);
  }
}

void ApplicationHost::terminate() {
  if (delegate_ && state_ != platform::ApplicationState::terminated &&
      state_ != platform::ApplicationState::notRunning) {
    state_ = platform::ApplicationState::terminated;
    delegate_->applicationWillTerminate(*this);
  }
}

void ApplicationHost::screenConnected() {
  if (delegate_) {
    delegate_->screenDidConnect(*this);
  }
}

void ApplicationHost::screenDisconnected() {
  if (delegate_) {
    delegate_->screenDidDisconnect(*this);
  }
}

void ApplicationHost::resize(const platform::Size& size) {
  const platform::Rect bounds{0.0, 0.0, size.width, size.height};
  screenBounds_ = bounds;
  const auto controller = rootViewController();
  if (!controller) {
    return;
  }
  platform::TransitionCoordinator coordinator;
  controller->viewWillTransitionToSize(size, coordinator);
  if (const auto window = delegate_->window()) {
    window->setFrame(bounds);
  }
  if (controller->isViewLoaded()) {
    controller->view()->setFrame(bounds);
  }
  for (auto& completion : coordinator.takeCompletions()) {
    completion();
  }
}

void ApplicationHost::memoryWarning() {
  if (const auto controller = rootViewController()) {
    controller->didReceiveMemoryWarning();
  }
}

bool ApplicationHost::tap() {
  const auto controller = rootViewController();
  return controller && controller->isViewLoaded() && deliverTap(*controller->view());
}

bool ApplicationHost::swipe(platform::SwipeDirection direction) {
  const auto controller = rootViewController();
  return controller && controller->isViewLoaded() && deliverSwipe(*controller->view(), direction);
}

bool ApplicationHost::pressPlayPause() {
  const auto controller = rootViewController();
  return controller && controller->isViewLoaded() &&
         deliverPress(*controller->view(), platform::kPressTypePlayPause);
}

void ApplicationHost::remoteCommand(platform::RemoteCommandKind kind) {
  platform_.remoteCommandCenter().command(kind).invoke();
}

}  // namespace vorn::common
