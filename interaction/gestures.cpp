#include "channel/vorn_view_controller.h"

namespace vorn {
namespace {

// Recognisers do not keep their target alive.
template <typename Handler>
platform::GestureAction weakAction(const std::shared_ptr<VornViewController>& target,
                                   const char* selector, Handler handler) {
  std::weak_ptr<VornViewController> weak = target;
  return {selector, [weak, handler](platform::GestureRecognizer& recognizer) {
            if (const auto strong = weak.lock()) {
              handler(*strong, recognizer);
            }
          }};
}

}  // namespace

platform::RemoteCommandHandlerStatus VornViewController::mpRemoteCommandCenterEvent(
    const platform::RemoteCommandEvent& event) {
  debug("mpRemoteCommandCenterEvent: " + event.description());
  handleAllGestureRecognizers();
  return platform::kRemoteCommandHandlerStatusSuccess;
}

void VornViewController::addGestureRecognizers() {
  // The command centre outlives the screen; it must not keep the controller alive.
  auto& center = platform().remoteCommandCenter();
  std::weak_ptr<VornViewController> weak = self();
  for (auto* command : {&center.playCommand(), &center.pauseCommand(), &center.stopCommand(),
                        &center.togglePlayPauseCommand()}) {
    command->addTarget(
        {"mpRemoteCommandCenterEvent:", [weak](const platform::RemoteCommandEvent& event) {
           const auto strong = weak.lock();
           return strong ? strong->mpRemoteCommandCenterEvent(event)
                         : platform::kRemoteCommandHandlerStatusSuccess;
         }});
  }

  const auto onSwipe = [](VornViewController& target, platform::GestureRecognizer& recognizer) {
    target.handleSwipeGestureRecognizer(recognizer);
  };
  const auto onTap = [](VornViewController& target, platform::GestureRecognizer& recognizer) {
    target.handleTapGestureRecognizer(recognizer);
  };
  const auto root = view();
  for (const unsigned direction :
       {platform::kSwipeUp, platform::kSwipeDown, platform::kSwipeLeft, platform::kSwipeRight}) {
    auto swipe = std::make_shared<platform::SwipeGestureRecognizer>(
        weakAction(self(), "handleSwipeGestureRecognizer:", onSwipe));
    swipe->setDirection(direction);
    root->addGestureRecognizer(swipe);
  }
  root->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>(
      weakAction(self(), "handleTapGestureRecognizer:", onTap)));
  auto press = std::make_shared<platform::TapGestureRecognizer>(
      weakAction(self(), "handleTapGestureRecognizer:", onTap));
  press->setAllowedPressTypes({platform::kPressTypePlayPause});
  root->addGestureRecognizer(press);
}

void VornViewController::handleTapGestureRecognizer(platform::GestureRecognizer& recognizer) {
  debug("handleTapGestureRecognizer: " + recognizer.description());
  handleAllGestureRecognizers();
}

void VornViewController::handleSwipeGestureRecognizer(platform::GestureRecognizer& recognizer) {
  debug("handleSwipeGestureRecognizer: " + recognizer.description());
  if (!DEVELOPER_MODE()) {
    handleAllGestureRecognizers();
    return;
  }
  // Developer mode skips ahead. With no player yet there is nothing to skip.
  const auto player = queuePlayer();
  if (!player) {
    return;
  }
  if (player->items().size() == 1) {
    loadVideos(true);
    return;
  }
  platform().mainQueue().post([self = self()] {
    if (const auto current = self->queuePlayer()) {
      current->advanceToNextItem();
    }
  });
}

}  // namespace vorn
