#include "channel/vorn_view_controller.h"

namespace vorn {
platform::RemoteCommandHandlerStatus VornViewController::mpRemoteCommandCenterEvent(
    const platform::RemoteCommandEvent& event) {
  debug("mpRemoteCommandCenterEvent: " + event.description());
  handleAllGestureRecognizers();
  return platform::kRemoteCommandHandlerStatusSuccess;
}

void VornViewController::addGestureRecognizers() {
  // The command centre outlives the screen; it must not keep the controller alive.
  auto& center = platform().remoteCommandCenter();
  for (auto* command : {&center.playCommand(), &center.pauseCommand(), &center.stopCommand(),
                        &center.togglePlayPauseCommand()}) {
    command->addTarget(platform::RemoteCommandAction::weak(
        self(), "mpRemoteCommandCenterEvent:", &VornViewController::mpRemoteCommandCenterEvent));
  }

  // Recognisers do not keep their target alive.
  const auto onSwipe = [this] {
    return platform::GestureAction::weak(
        self(), "handleSwipeGestureRecognizer:", &VornViewController::handleSwipeGestureRecognizer);
  };
  const auto onTap = [this] {
    return platform::GestureAction::weak(
        self(), "handleTapGestureRecognizer:", &VornViewController::handleTapGestureRecognizer);
  };
  const auto root = view();
  for (const unsigned direction :
       {platform::kSwipeUp, platform::kSwipeDown, platform::kSwipeLeft, platform::kSwipeRight}) {
    auto swipe = std::make_shared<platform::SwipeGestureRecognizer>(onSwipe());
    swipe->setDirection(direction);
    root->addGestureRecognizer(swipe);
  }
  root->addGestureRecognizer(std::make_shared<platform::TapGestureRecognizer>(onTap()));
  auto press = std::make_shared<platform::TapGestureRecognizer>(onTap());
  press->setAllowedPressTypes({platform::kPressTypePlayPause});
  root->addGestureRecognizer(press);
}

void VornViewController::handleTapGestureRecognizer(platform::GestureRecognizer& recognizer) {
  debug("handleTapGestureRecognizer: " + recognizer.description());
  handleAllGestureRecognizers();
}

void VornViewController::handleSwipeGestureRecognizer(platform::GestureRecognizer& recognizer) {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
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
  if (player->items().size() == 1 ||
      (slate_ && timeline_ && slate_->slot + 1 == timeline_->size())) {
    loadVideos(true);
    return;
  }
  platform().mainQueue().post([self = self()] { self->skipToNextSlot(); });
}

}  // namespace vorn
