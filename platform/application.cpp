#include "platform/application.h"

#include "platform/platform.h"

namespace vorn::platform {

void TransitionCoordinator::animateAlongsideTransition(std::function<void()> animation,
                                                       std::function<void()> completion) {
  // There is no animation machinery: the size changes in one step, so an animation block runs at
  // once and completions run when the new size is in place.
  if (animation) {
    animation();
  }
  if (completion) {
    completions_.push_back(std::move(completion));
  }
}

std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    view_ = platform_.views().makeView(platform_.application().screenBounds());
    viewDidLoad();
  }
  return view_;
}

bool Application::launch(const ClassRegistry& registry, const std::string& delegateClassName,
                         const MainInterface& mainInterface, const Rect& screenBounds,
                         const std::function<void(ViewController&)>& configureRootController) {
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
  auto window = std::make_shared<Window>(screenBounds);
  delegate_->setWindow(window);
  auto controller = controllerClass->second(platform_, Coder{});
  if (!controller) {
    return false;
  }
  window->setRootViewController(controller);
  if (configureRootController) {
    configureRootController(*controller);
  }
  state_ = ApplicationState::inactive;
  delegate_->applicationDidFinishLaunchingWithOptions(*this);
  controller->loadViewIfNeeded();
  becomeActive();
  controller->viewDidAppear(false);
  return true;
}

std::shared_ptr<ViewController> Application::rootViewController() const {
  if (!delegate_) {
    return nullptr;
  }
  const auto window = delegate_->window();
  return window ? window->rootViewController() : nullptr;
}

void Application::resignActive() {
  if (state_ == ApplicationState::active) {
    state_ = ApplicationState::inactive;
    delegate_->applicationWillResignActive(*this);
  }
}

void Application::enterBackground() {
  resignActive();
  if (state_ == ApplicationState::inactive) {
    state_ = ApplicationState::background;
    delegate_->applicationDidEnterBackground(*this);
  }
}

void Application::enterForeground() {
  if (state_ == ApplicationState::background) {
    state_ = ApplicationState::inactive;
    delegate_->applicationWillEnterForeground(*this);
  }
}

void Application::becomeActive() {
  enterForeground();
  if (state_ == ApplicationState::inactive) {
    state_ = ApplicationState::active;
    delegate_->applicationDidBecomeActive(*this);
  }
}

void Application::terminate() {
  if (delegate_ && state_ != ApplicationState::terminated &&
      state_ != ApplicationState::notRunning) {
    state_ = ApplicationState::terminated;
    delegate_->applicationWillTerminate(*this);
  }
}

void Application::screenConnected() {
  if (delegate_) {
    delegate_->screenDidConnect(*this);
  }
}

void Application::screenDisconnected() {
  if (delegate_) {
    delegate_->screenDidDisconnect(*this);
  }
}

void Application::resize(const Size& size) {
  const Rect bounds{0.0, 0.0, size.width, size.height};
  screenBounds_ = bounds;
  const auto controller = rootViewController();
  if (!controller) {
    return;
  }
  TransitionCoordinator coordinator;
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

void Application::memoryWarning() {
  if (const auto controller = rootViewController()) {
    controller->didReceiveMemoryWarning();
  }
}

bool Application::tap() {
  const auto controller = rootViewController();
  return controller && controller->isViewLoaded() && deliverTap(*controller->view());
}

bool Application::swipe(SwipeDirection direction) {
  const auto controller = rootViewController();
  return controller && controller->isViewLoaded() && deliverSwipe(*controller->view(), direction);
}

bool Application::pressPlayPause() {
  const auto controller = rootViewController();
  return controller && controller->isViewLoaded() &&
         deliverPress(*controller->view(), kPressTypePlayPause);
}

void Application::remoteCommand(RemoteCommandKind kind) {
  platform_.remoteCommandCenter().command(kind).invoke();
}

}  // namespace vorn::platform
