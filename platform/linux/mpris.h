#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch.h"
#include "platform/input.h"
#include "platform/linux/guard.h"
#include "platform/system_log.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace vorn::linuxbackend {

// Desktop media control over MPRIS on the session bus, as org.mpris.MediaPlayer2.vorn. Play,
// Pause, Stop and PlayPause become the four remote commands, each posted to the main queue; the
// other player methods are accepted and do nothing. PlaybackStatus and the current item's title
// are what update() last reported; a change is announced with PropertiesChanged.
class Mpris {
 public:
  enum class Status { stopped, paused, playing };

  static constexpr const char* kBusName = "org.mpris.MediaPlayer2.vorn";

  // Connects to the session bus and starts serving on the bus's own thread. Without a session bus
  // (or if the name is taken) it logs one line and returns nothing: the channel runs without.
  static std::unique_ptr<Mpris> start(platform::MainQueue& mainQueue, platform::SystemLog& log,
                                      std::function<void(platform::RemoteCommandKind)> onCommand);
  ~Mpris();

  // Reports the playback state; announces it on the bus only when it changed. Main thread.
  void update(Status status, const std::string& title);

  static const char* statusName(Status status);

 private:
  Mpris(platform::MainQueue& mainQueue, std::function<void(platform::RemoteCommandKind)> onCommand);
  void registerInterfaces();
  void command(platform::RemoteCommandKind kind);

  platform::MainQueue& mainQueue_;
  std::function<void(platform::RemoteCommandKind)> onCommand_;
  // Posted commands reach this object through it; the bus thread only copies `self_`.
  Guard<Mpris> guard_{*this};
  const Guard<Mpris>::Weak self_ = guard_.weak();
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> object_;

  // Read by property getters on the bus thread.
  mutable std::mutex mutex_;
  Status status_ = Status::stopped;
  std::string title_;
  unsigned trackNumber_ = 0;
};

}  // namespace vorn::linuxbackend
