#include "platform/notification_center.h"

#include <algorithm>
#include <utility>

namespace vorn::platform {

struct ObserverRegistration::State {
  struct Registration {
    uint64_t id;
    NotificationAction action;
    std::string name;
    std::weak_ptr<Object> object;
    bool anyObject;
  };
  std::mutex mutex;
  std::vector<Registration> registrations;
  uint64_t nextId = 1;
};

ObserverRegistration::ObserverRegistration(ObserverRegistration&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

ObserverRegistration& ObserverRegistration::operator=(ObserverRegistration&& other) noexcept {
  if (this != &other) {
    reset();
    state_ = std::move(other.state_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void ObserverRegistration::reset() {
  const uint64_t id = std::exchange(id_, 0);
  const auto state = std::exchange(state_, {}).lock();
  if (id == 0 || !state) {
    return;
  }
  // Released after the lock: the action may hold the last reference to its target.
  NotificationAction released;
  std::lock_guard lock(state->mutex);
  auto& registrations = state->registrations;
  const auto found = std::find_if(registrations.begin(), registrations.end(),
                                  [id](const State::Registration& r) { return r.id == id; });
  if (found != registrations.end()) {
    released = std::move(found->action);
    registrations.erase(found);
  }
}

NotificationCenter::NotificationCenter()
    : state_(std::make_shared<ObserverRegistration::State>()) {}

ObserverRegistration NotificationCenter::addObserver(NotificationAction action, std::string name,
                                                     std::shared_ptr<Object> object) {
  std::lock_guard lock(state_->mutex);
  const uint64_t id = state_->nextId++;
  const bool anyObject = object == nullptr;
  state_->registrations.push_back(
      {id, std::move(action), std::move(name), std::move(object), anyObject});
  return ObserverRegistration(state_, id);
}

void NotificationCenter::post(const Notification& notification) {
  // Collect first and call without the lock: an action may add or remove registrations.
  std::vector<NotificationAction> matching;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& registration : state_->registrations) {
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

std::vector<std::string> NotificationCenter::registeredSelectors() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> selectors;
  for (const auto& registration : state_->registrations) {
    selectors.push_back(registration.action.selector);
  }
  return selectors;
}

size_t NotificationCenter::registrationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->registrations.size();
}

}  // namespace vorn::platform
