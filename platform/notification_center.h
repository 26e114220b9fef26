#pragma once

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

// The default notification centre. Observers are identified by an opaque key (the observing
// object's address); the centre does not keep the observer alive beyond its action. Posting
// delivers synchronously, on the posting thread, to every matching registration in registration
// order. Thread-safe.
class NotificationCenter {
 public:
  // Registers `observer` for notifications called `name` whose object is `object` (any object
  // when null).
  void addObserver(const void* observer, NotificationAction action, std::string name,
                   std::shared_ptr<Object> object);
  // Removes every registration of `observer`.
  void removeObserver(const void* observer);
  void post(const Notification& notification);
  // For observation in tests: registrations of `observer`, as selector names.
  std::vector<std::string> registrationsOf(const void* observer) const;
  size_t registrationCount() const;

 private:
  struct Registration {
    const void* observer;
    NotificationAction action;
    std::string name;
    std::weak_ptr<Object> object;
    bool anyObject;
  };
  mutable std::mutex mutex_;
  std::vector<Registration> registrations_;
};

}  // namespace vorn::platform
