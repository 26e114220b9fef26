#include "platform/common/platform_base.h"

#include <utility>

namespace vorn::common {

PlatformBase::PlatformBase()
    : application_(std::make_unique<ApplicationHost>(*this)),
      notificationCenter_(std::make_unique<platform::NotificationCenter>()),
      remoteCommandCenter_(std::make_unique<platform::RemoteCommandCenter>()) {}

PlatformBase::~PlatformBase() = default;

void PlatformBase::shutdown() {
  if (std::exchange(shutDown_, true)) {
    return;
  }
  stopInput();
  auto application = std::exchange(application_, std::make_unique<ApplicationHost>(*this));
  application_->setScreenBounds(application->screenBounds());
  application.reset();
  // A bound, not a guess: each round settles what the previous one set off, and work that keeps
  // re-creating itself from destructors is a fault to find, not to wait out.
  constexpr int kMaxRounds = 16;
  for (int round = 0; round < kMaxRounds; ++round) {
    std::unique_ptr<platform::NotificationCenter> notifications;
    if (notificationCenter_->registrationCount() != 0) {
      notifications =
          std::exchange(notificationCenter_, std::make_unique<platform::NotificationCenter>());
    }
    std::unique_ptr<platform::RemoteCommandCenter> commands;
    if (round == 0) {
      commands =
          std::exchange(remoteCommandCenter_, std::make_unique<platform::RemoteCommandCenter>());
    }
    const bool released = releasePendingWork();
    const bool empty = !notifications && !commands && !released;
    notifications.reset();
    commands.reset();
    if (empty) {
      break;
    }
  }
  closeServices();
}

}  // namespace vorn::common
