#pragma once

#include <chrono>
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
// other player methods are accepted and do nothing. PlaybackStatus, Metadata and Position are
// what update() last reported (Position moving on by itself while playing); a change of status or
// item is announced with PropertiesChanged. Volume is writable: a new value goes to `onVolume` on
// the main queue.
class Mpris {
 public:
  enum class Status { stopped, paused, playing };

  static constexpr const char* kBusName = "org.mpris.MediaPlayer2.vorn";
  // The desktop entry's name, without ".desktop".
  static constexpr const char* kDesktopEntry = "vorn";

  struct Track {
    Status status = Status::stopped;
    std::string title;
    std::string url;
    double length = 0.0;    // seconds; none when 0
    double position = 0.0;  // seconds into the item, now
  };

  // Connects to the session bus and starts serving on the bus's own thread. Without a session bus
  // (or if the name is taken) it logs one line and returns nothing: the channel runs without.
  static std::unique_ptr<Mpris> start(platform::MainQueue& mainQueue, platform::SystemLog& log,
                                      std::function<void(platform::RemoteCommandKind)> onCommand,
                                      std::function<void(double)> onVolume = {},
                                      double volume = 1.0);
  ~Mpris();

  // Reports the playback state; announces it on the bus only when the status or the item
  // changed. Main thread.
  void update(const Track& track);
  void update(Status status, const std::string& title) { update(Track{status, title, {}, 0, 0}); }
  // The player's volume now (1.0 is full); announced when it changed. Main thread.
  void setVolume(double volume);

  static const char* statusName(Status status);

 private:
  Mpris(platform::MainQueue& mainQueue, std::function<void(platform::RemoteCommandKind)> onCommand,
        std::function<void(double)> onVolume, double volume);
  void registerInterfaces();
  void command(platform::RemoteCommandKind kind);

  platform::MainQueue& mainQueue_;
  std::function<void(platform::RemoteCommandKind)> onCommand_;
  std::function<void(double)> onVolume_;
  // Posted commands reach this object through it; the bus thread only copies `self_`.
  Guard<Mpris> guard_{*this};
  const Guard<Mpris>::Weak self_ = guard_.weak();
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> object_;

  // Read by property getters on the bus thread.
  mutable std::mutex mutex_;
  Track track_;
  std::chrono::steady_clock::time_point positionAt_{};
  unsigned trackNumber_ = 0;
  double volume_ = 1.0;
};

}  // namespace vorn::linuxbackend
