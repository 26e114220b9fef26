#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/object.h"
#include "platform/target_action.h"

namespace vorn::platform {

class GestureRecognizer;
using GestureAction = TargetAction<void, GestureRecognizer&>;

// A recogniser added to a view. Its action should hold the target weakly, as a view's recognisers
// do not keep their target alive. Main thread.
class GestureRecognizer : public Object {
 public:
  explicit GestureRecognizer(GestureAction action) : action_(std::move(action)) {}
  const GestureAction& action() const { return action_; }
  // Calls the action with this recogniser.
  void fire() { action_.call(*this); }

 private:
  GestureAction action_;
};

// Bits of a swipe's direction.
enum SwipeDirection : unsigned { kSwipeRight = 1, kSwipeLeft = 2, kSwipeUp = 4, kSwipeDown = 8 };

class SwipeGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  void setDirection(unsigned direction) { direction_ = direction; }
  unsigned direction() const { return direction_; }
  std::string description() const override;

 private:
  unsigned direction_ = kSwipeRight;
};

// Press type of a hardware remote's play/pause button.
inline constexpr int kPressTypePlayPause = 6;

// A single tap; with allowed press types set, it answers those button presses instead of touches.
class TapGestureRecognizer : public GestureRecognizer {
 public:
  using GestureRecognizer::GestureRecognizer;
  void setAllowedPressTypes(std::vector<int> types) { allowedPressTypes_ = std::move(types); }
  const std::vector<int>& allowedPressTypes() const { return allowedPressTypes_; }
  std::string description() const override;

 private:
  std::vector<int> allowedPressTypes_;
};

enum class RemoteCommandKind { play, pause, stop, togglePlayPause };
const char* remoteCommandName(RemoteCommandKind kind);

class RemoteCommandEvent : public Object {
 public:
  explicit RemoteCommandEvent(RemoteCommandKind kind) : kind_(kind) {}
  RemoteCommandKind kind() const { return kind_; }
  std::string description() const override;

 private:
  RemoteCommandKind kind_;
};

// Status a remote-command handler returns; 0 is success.
using RemoteCommandHandlerStatus = int;
inline constexpr RemoteCommandHandlerStatus kRemoteCommandHandlerStatusSuccess = 0;
using RemoteCommandAction = TargetAction<RemoteCommandHandlerStatus, const RemoteCommandEvent&>;

// One command of the shared command centre. Targets are held for the life of the centre.
class RemoteCommand {
 public:
  explicit RemoteCommand(RemoteCommandKind kind) : kind_(kind) {}
  void addTarget(RemoteCommandAction action);
  // Calls every target in registration order; returns their statuses. Main thread.
  std::vector<RemoteCommandHandlerStatus> invoke();
  std::vector<std::string> targetSelectors() const;

 private:
  RemoteCommandKind kind_;
  mutable std::mutex mutex_;
  std::vector<RemoteCommandAction> targets_;
};

// The process-wide remote command centre (media keys, desktop media commands).
class RemoteCommandCenter {
 public:
  RemoteCommand& playCommand() { return play_; }
  RemoteCommand& pauseCommand() { return pause_; }
  RemoteCommand& stopCommand() { return stop_; }
  RemoteCommand& togglePlayPauseCommand() { return toggle_; }
  RemoteCommand& command(RemoteCommandKind kind);

 private:
  RemoteCommand play_{RemoteCommandKind::play};
  RemoteCommand pause_{RemoteCommandKind::pause};
  RemoteCommand stop_{RemoteCommandKind::stop};
  RemoteCommand toggle_{RemoteCommandKind::togglePlayPause};
};

}  // namespace vorn::platform
