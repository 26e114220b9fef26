#include "platform/input.h"

#include "platform/common/input_delivery.h"

#include <algorithm>

#include "platform/views.h"

namespace vorn::platform {
namespace {

std::string directionName(unsigned direction) {
  switch (direction) {
    case kSwipeRight:
      return "right";
    case kSwipeLeft:
      return "left";
    case kSwipeUp:
      return "up";
    case kSwipeDown:
      return "down";
    default:
      return std::to_string(direction);
  }
}

// Recognisers can add or remove others from their actions: fire a copy.
template <typename Recognizer, typename Accepts>
bool deliver(View& view, Accepts accepts) {
  const auto recognizers = view.gestureRecognizers();
  for (const auto& recognizer : recognizers) {
    if (auto* typed = dynamic_cast<Recognizer*>(recognizer.get()); typed && accepts(*typed)) {
      const auto keepAlive = recognizer;
      keepAlive->fire();
      return true;
    }
  }
  return false;
}

}  // namespace

std::string SwipeGestureRecognizer::description() const {
  return "<SwipeGestureRecognizer: direction " + directionName(direction_) + "; action " +
         action().selector + ">";
}

std::string TapGestureRecognizer::description() const {
  std::string presses;
  for (int type : allowedPressTypes_) {
    presses += (presses.empty() ? "" : ",") + std::to_string(type);
  }
  return "<TapGestureRecognizer: " +
         (presses.empty() ? std::string("touch") : "press types [" + presses + "]") + "; action " +
         action().selector + ">";
}

bool deliverTap(View& view) {
  return deliver<TapGestureRecognizer>(
      view, [](const TapGestureRecognizer& r) { return r.allowedPressTypes().empty(); });
}

bool deliverSwipe(View& view, SwipeDirection direction) {
  return deliver<SwipeGestureRecognizer>(view, [direction](const SwipeGestureRecognizer& r) {
    return (r.direction() & direction) != 0;
  });
}

bool deliverPress(View& view, int pressType) {
  return deliver<TapGestureRecognizer>(view, [pressType](const TapGestureRecognizer& r) {
    const auto& types = r.allowedPressTypes();
    return std::find(types.begin(), types.end(), pressType) != types.end();
  });
}

const char* remoteCommandName(RemoteCommandKind kind) {
  switch (kind) {
    case RemoteCommandKind::play:
      return "play";
    case RemoteCommandKind::pause:
      return "pause";
    case RemoteCommandKind::stop:
      return "stop";
    case RemoteCommandKind::togglePlayPause:
      return "togglePlayPause";
  }
  return "unknown";
}

std::string RemoteCommandEvent::description() const {
  return std::string("<RemoteCommandEvent: ") + remoteCommandName(kind_) + ">";
}

void RemoteCommand::addTarget(RemoteCommandAction action) {
  std::lock_guard lock(mutex_);
  targets_.push_back(std::move(action));
}

std::vector<RemoteCommandHandlerStatus> RemoteCommand::invoke() {
  std::vector<RemoteCommandAction> targets;
  {
    std::lock_guard lock(mutex_);
    targets = targets_;
  }
  const RemoteCommandEvent event(kind_);
  std::vector<RemoteCommandHandlerStatus> statuses;
  for (const auto& target : targets) {
    statuses.push_back(target.call(event));
  }
  return statuses;
}

std::vector<std::string> RemoteCommand::targetSelectors() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> selectors;
  for (const auto& target : targets_) {
    selectors.push_back(target.selector);
  }
  return selectors;
}

RemoteCommand& RemoteCommandCenter::command(RemoteCommandKind kind) {
  switch (kind) {
    case RemoteCommandKind::play:
      return play_;
    case RemoteCommandKind::pause:
      return pause_;
    case RemoteCommandKind::stop:
      return stop_;
    case RemoteCommandKind::togglePlayPause:
      break;
  }
  return toggle_;
}

}  // namespace vorn::platform
