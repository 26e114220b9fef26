#include "app/app.h"

#include "app/app_delegate.h"
#include "channel/vorn_view_controller.h"
#include "interaction/overlay.h"

namespace vorn::app {

platform::MainInterface mainInterface() {
  return {kRootControllerClassName};
}

platform::ClassRegistry classRegistry() {
  platform::ClassRegistry registry;
  registry.delegates[kDelegateClassName] = [](platform::Platform& platform) {
    return std::make_shared<AppDelegate>(platform);
  };
  registry.controllers[kRootControllerClassName] = [](platform::Platform& platform,
                                                      const platform::Coder& coder) {
    return std::static_pointer_cast<platform::ViewController>(
        VorniOSViewController::initWithCoder(platform, coder));
  };
  registry.controllers["VornViewController"] = [](platform::Platform& platform,
                                                  const platform::Coder& coder) {
    return std::static_pointer_cast<platform::ViewController>(
        VornViewController::initWithCoder(platform, coder));
  };
  return registry;
}

void enableDeveloperMode(platform::ViewController& controller) {
  if (auto* channel = dynamic_cast<VornViewController*>(&controller)) {
    channel->setDEVELOPER_MODE(true);
  }
}

void setInactivityPause(platform::ViewController& controller, double seconds) {
  if (auto* channel = dynamic_cast<VornViewController*>(&controller)) {
    channel->setINACTIVITY_TIMER_SECONDS(seconds);
  }
}

void changePlaylistSettings(platform::ViewController& controller, const std::string& playlistUrl,
                            double refreshInterval) {
  if (auto* channel = dynamic_cast<VornViewController*>(&controller)) {
    channel->changePlaylistSettings(platform::Url::parse(playlistUrl), refreshInterval);
  }
}

std::string itemTitle(const platform::PlayerItem& item) {
  const auto* channelItem = dynamic_cast<const VornAVPlayerItem*>(&item);
  const std::string description =
      channelItem ? overlay::descriptionOf(channelItem->playlist_info().get()) : std::string();
  return description.empty() ? item.asset()->url().text() : description;
}

}  // namespace vorn::app
