#include "app/app_delegate.h"

#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn {

AppDelegate::AppDelegate(platform::Platform& platform) : platform_(platform) {}

AppDelegate::~AppDelegate() = default;

std::shared_ptr<platform::Window> AppDelegate::window() {
  std::lock_guard lock(mutex_);
  return window_;
}
void AppDelegate::setWindow(std::shared_ptr<platform::Window> value) {
  std::lock_guard lock(mutex_);
  window_ = std::move(value);
}
std::shared_ptr<VornViewController> AppDelegate::vornViewController() const {
  std::lock_guard lock(mutex_);
  return vornViewController_;
}
void AppDelegate::setVornViewController(std::shared_ptr<VornViewController> value) {
  std::lock_guard lock(mutex_);
  vornViewController_ = std::move(value);
}
bool AppDelegate::airPlayScreenConnected() const {
  std::lock_guard lock(mutex_);
  return airPlayScreenConnected_;
}
void AppDelegate::setAirPlayScreenConnected(bool value) {
  std::lock_guard lock(mutex_);
  airPlayScreenConnected_ = value;
}

bool AppDelegate::applicationDidFinishLaunchingWithOptions(platform::Application& application) {
  (void)application;
  return true;
}

void AppDelegate::applicationWillResignActive(platform::Application& application) {
  (void)application;
  if (const auto controller = vornViewController()) {
    controller->playerPause();
  }
}

void AppDelegate::applicationDidEnterBackground(platform::Application& application) {
  (void)application;
  if (const auto controller = vornViewController()) {
    controller->playerPause();
  }
  // Detached at once, before the posted pause runs.
  if (const auto controller = vornViewController()) {
    if (const auto layer = controller->playerLayer()) {
      layer->setPlayer(nullptr);
    }
  }
}

void AppDelegate::applicationWillEnterForeground(platform::Application& application) {
  (void)application;
  debug("applicationWillEnterForeground:");
  const auto controller = vornViewController();
  const auto player = controller ? controller->queuePlayer() : nullptr;
  debug("queuePlayer rate is " +
        log::renderOptional(player ? std::optional<float>(player->rate()) : std::nullopt) +
        ", airPlayScreenConnected is " + log::renderBool(airPlayScreenConnected()));
  if (airPlayScreenConnected()) {
    return;
  }
  if (const auto current = vornViewController()) {
    current->updatePlaylistThenLoadVideos();
  }
}

void AppDelegate::handleScreenDidConnectNotification(const platform::Notification& notification) {
  (void)notification;
  debug("handleScreenDidConnectNotification");
  setAirPlayScreenConnected(true);
}

void AppDelegate::handleScreenDidDisconnectNotification(
    const platform::Notification& notification) {
  (void)notification;
  debug("handleScreenDidDisconnectNotification");
  setAirPlayScreenConnected(false);
}

void AppDelegate::applicationDidBecomeActive(platform::Application& application) {
  (void)application;
  debug("applicationDidBecomeActive: ");
  if (vornViewController() && vornViewController()->queuePlayer()) {
    // A queue player always comes with its layer; check anyway rather than crash.
    if (const auto layer = vornViewController()->playerLayer()) {
      layer->setPlayer(vornViewController()->queuePlayer());
    }
  }
}

void AppDelegate::applicationWillTerminate(platform::Application& application) {
  (void)application;
}

void AppDelegate::screenDidConnect(platform::Application& application) {
  (void)application;
  handleScreenDidConnectNotification({"ScreenDidConnectNotification", nullptr});
}

void AppDelegate::screenDidDisconnect(platform::Application& application) {
  (void)application;
  handleScreenDidDisconnectNotification({"ScreenDidDisconnectNotification", nullptr});
}

std::vector<std::string> AppDelegate::debugmsgs() const {
  return debugmsgs_.entries();
}
void AppDelegate::setDebugmsgs(const std::vector<std::string>& value) {
  debugmsgs_.replace(value);
}
std::vector<std::string> AppDelegate::errors() const {
  return errors_.entries();
}
void AppDelegate::setErrors(const std::vector<std::string>& value) {
  errors_.replace(value);
}

void AppDelegate::appendDebugmsg(const std::string& message) {
  debugmsgs_.append(message);
}
void AppDelegate::appendError(const std::string& message) {
  errors_.append(message);
}

void AppDelegate::debug(const std::string& message) {
  appendDebugmsg(message);
  platform_.systemLog().write("DEBUG: AppDelegate: " + message);
}

void AppDelegate::error(const std::string& message) {
  appendError(message);
  platform_.systemLog().write("ERROR: AppDelegate: Alert: " + message);
}

}  // namespace vorn
