#include "platform/notification_center.h"

#include <algorithm>

namespace vorn::platform {

void NotificationCenter::addObserver(const void* observer, NotificationAction action,
                                     std::string name, std::shared_ptr<Object> object) {
  std::lock_guard lock(mutex_);
  const bool anyObject = object == nullptr;
  registrations_.push_back(
      {observer, std::move(action), std::move(name), std::move(object), anyObject});
}

void NotificationCenter::removeObserver(const void* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_,
                [observer](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::post(const Notification& notification) {
  // Collect first and call without the lock: an action may add or remove registrations.
  std::vector<NotificationAction> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& registration : registrations_) {
      if (registration.name != notification.name) {
        continue;
      }
      if (!registration.anyObject) {
        const auto object = registration.object.lock();
        if (!object || object != notification.object) {
          continue;
        }
      }
      matching.push_back(registration.action);
    }
  }
  for (const auto& action : matching) {
    action.call(notification);
  }
}

std::vector<std::string> NotificationCenter::registrationsOf(const void* observer) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> selectors;
  for (const auto& registration : registrations_) {
    if (registration.observer == observer) {
      selectors.push_back(registration.action.selector);
    }
  }
  return selectors;
}

size_t NotificationCenter::registrationCount() const {
  std::lock_guard lock(mutex_);
  return registrations_.size();
}

}  // namespace vorn::platform
