#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/object.h"
#include "platform/target_action.h"

namespace vorn::platform {

struct Notification {
  std::string name;
  std::shared_ptr<Object> object;  // the sender, or nothing
};

using NotificationAction = TargetAction<void, const Notification&>;

// Posted by the media service when an item has played to its end; `object` is the item.
inline constexpr const char* kPlayerItemDidPlayToEndTimeNotification =
    "PlayerItemDidPlayToEndTimeNotification";
// Posted by the media service when an item could not be played (or stopped playing) and was
// skipped; `object` is the item.
inline constexpr const char* kPlayerItemFailedToPlayToEndTimeNotification =
    "PlayerItemFailedToPlayToEndTimeNotification";
// Posted by the media service when the current item, while playing, has shown no new frame for
// kPlaybackStallTimeoutSeconds (its stream stopped delivering, or the network went away);
// `object` is the item. The item stays current, and picks up by itself if the stream does.
inline constexpr const char* kPlayerItemPlaybackStalledNotification =
    "PlayerItemPlaybackStalledNotification";

class NotificationCenter;

// One registration with a notification centre, removed when the token is destroyed or reset: the
// observer's lifetime, not its address, decides how long it listens. Move-only; a token may
// outlive its centre (then it removes nothing). Thread-safe as the centre is.
class [[nodiscard]] ObserverRegistration {
 public:
  ObserverRegistration() = default;
  ObserverRegistration(ObserverRegistration&& other) noexcept;
  ObserverRegistration& operator=(ObserverRegistration&& other) noexcept;
  ObserverRegistration(const ObserverRegistration&) = delete;
  ObserverRegistration& operator=(const ObserverRegistration&) = delete;
  ~ObserverRegistration() { reset(); }

  // Removes exactly this registration (its action is released outside the centre's lock).
  void reset();
  bool active() const { return id_ != 0; }

 private:
  friend class NotificationCenter;
  struct State;
  ObserverRegistration(std::weak_ptr<State> state, uint64_t id)
      : state_(std::move(state)), id_(id) {}

  std::weak_ptr<State> state_;
  uint64_t id_ = 0;
};

// The default notification centre. The centre does not keep an observer alive beyond its action.
// Posting delivers synchronously, on the posting thread, to every matching registration in
// registration order. Thread-safe.
class NotificationCenter {
 public:
  NotificationCenter();

  // Registers `action` for notifications called `name` whose object is `object` (any object when
  // null), until the returned token goes.
  ObserverRegistration addObserver(NotificationAction action, std::string name,
                                   std::shared_ptr<Object> object);
  void post(const Notification& notification);
  // For observation in tests: the selector names of the registrations, in registration order.
  std::vector<std::string> registeredSelectors() const;
  size_t registrationCount() const;

 private:
  std::shared_ptr<ObserverRegistration::State> state_;
};

}  // namespace vorn::platform
