#include "platform/linux/mpris.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace vorn::linuxbackend {
namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kNoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

}  // namespace

const char* Mpris::statusName(Status status) {
  switch (status) {
    case Status::playing:
      return "Playing";
    case Status::paused:
      return "Paused";
    case Status::stopped:
      break;
  }
  return "Stopped";
}

std::unique_ptr<Mpris> Mpris::start(platform::MainQueue& mainQueue, platform::SystemLog& log,
                                    std::function<void(platform::RemoteCommandKind)> onCommand,
                                    std::function<void(double)> onVolume, double volume) {
  std::unique_ptr<Mpris> mpris(
      new Mpris(mainQueue, std::move(onCommand), std::move(onVolume), volume));
  try {
    mpris->connection_ = sdbus::createSessionBusConnection(kBusName);
    mpris->registerInterfaces();
    mpris->connection_->enterEventLoopAsync();
  } catch (const sdbus::Error& error) {
    log.write(std::string("MPRIS: no media control on the session bus: ") + error.what());
    return nullptr;
  }
  return mpris;
}

Mpris::Mpris(platform::MainQueue& mainQueue,
             std::function<void(platform::RemoteCommandKind)> onCommand,
             std::function<void(double)> onVolume, double volume)
    : mainQueue_(mainQueue),
      onCommand_(std::move(onCommand)),
      onVolume_(std::move(onVolume)),
      volume_(volume) {}

Mpris::~Mpris() {
  guard_.release();
  if (connection_) {
    connection_->leaveEventLoop();
  }
  object_.reset();
  connection_.reset();
}

void Mpris::command(platform::RemoteCommandKind kind) {
  // Bus thread: the command itself runs on the main thread, where the application lives.
  mainQueue_.post([self = self_, kind] {
    if (Mpris* mpris = self.get(); mpris && mpris->onCommand_) {
      mpris->onCommand_(kind);
    }
  });
}

void Mpris::registerInterfaces() {
  object_ = sdbus::createObject(*connection_, kObjectPath);
  auto& object = *object_;

  // The root interface: a player that cannot be raised or quit from the desktop.
  object.registerMethod("Raise").onInterface(kRootInterface).implementedAs([] {});
  object.registerMethod("Quit").onInterface(kRootInterface).implementedAs([] {});
  object.registerProperty("Identity").onInterface(kRootInterface).withGetter([] {
    return std::string("Vorn Channel");
  });
  object.registerProperty("CanQuit").onInterface(kRootInterface).withGetter([] { return false; });
  object.registerProperty("CanRaise").onInterface(kRootInterface).withGetter([] { return false; });
  object.registerProperty("HasTrackList").onInterface(kRootInterface).withGetter([] {
    return false;
  });
  object.registerProperty("SupportedUriSchemes").onInterface(kRootInterface).withGetter([] {
    return std::vector<std::string>{};
  });
  object.registerProperty("SupportedMimeTypes").onInterface(kRootInterface).withGetter([] {
    return std::vector<std::string>{};
  });
  object.registerProperty("DesktopEntry").onInterface(kRootInterface).withGetter([] {
    return std::string(kDesktopEntry);
  });

  using platform::RemoteCommandKind;
  object.registerMethod("Play").onInterface(kPlayerInterface).implementedAs([this] {
    command(RemoteCommandKind::play);
  });
  object.registerMethod("Pause").onInterface(kPlayerInterface).implementedAs([this] {
    command(RemoteCommandKind::pause);
  });
  object.registerMethod("Stop").onInterface(kPlayerInterface).implementedAs([this] {
    command(RemoteCommandKind::stop);
  });
  object.registerMethod("PlayPause").onInterface(kPlayerInterface).implementedAs([this] {
    command(RemoteCommandKind::togglePlayPause);
  });
  // The channel follows the clock: skipping and seeking are not the viewer's to choose.
  object.registerMethod("Next").onInterface(kPlayerInterface).implementedAs([] {});
  object.registerMethod("Previous").onInterface(kPlayerInterface).implementedAs([] {});
  object.registerMethod("Seek").onInterface(kPlayerInterface).implementedAs([](int64_t) {});
  object.registerMethod("SetPosition")
      .onInterface(kPlayerInterface)
      .implementedAs([](sdbus::ObjectPath, int64_t) {});
  object.registerMethod("OpenUri").onInterface(kPlayerInterface).implementedAs([](std::string) {});
  object.registerSignal("Seeked").onInterface(kPlayerInterface).withParameters<int64_t>();

  object.registerProperty("PlaybackStatus").onInterface(kPlayerInterface).withGetter([this] {
    std::lock_guard lock(mutex_);
    return std::string(statusName(track_.status));
  });
  object.registerProperty("Metadata").onInterface(kPlayerInterface).withGetter([this] {
    std::lock_guard lock(mutex_);
    std::map<std::string, sdbus::Variant> metadata;
    if (track_.status == Status::stopped) {
      metadata["mpris:trackid"] = sdbus::Variant(sdbus::ObjectPath(kNoTrack));
      return metadata;
    }
    metadata["mpris:trackid"] = sdbus::Variant(
        sdbus::ObjectPath("/org/mpris/MediaPlayer2/vorn/track/" + std::to_string(trackNumber_)));
    metadata["xesam:title"] = sdbus::Variant(track_.title);
    if (!track_.url.empty()) {
      metadata["xesam:url"] = sdbus::Variant(track_.url);
    }
    if (track_.length > 0) {
      metadata["mpris:length"] = sdbus::Variant(static_cast<int64_t>(track_.length * 1e6));
    }
    return metadata;
  });
  object.registerProperty("Rate").onInterface(kPlayerInterface).withGetter([] { return 1.0; });
  object.registerProperty("MinimumRate").onInterface(kPlayerInterface).withGetter([] {
    return 1.0;
  });
  object.registerProperty("MaximumRate").onInterface(kPlayerInterface).withGetter([] {
    return 1.0;
  });
  object.registerProperty("Volume")
      .onInterface(kPlayerInterface)
      .withGetter([this] {
        std::lock_guard lock(mutex_);
        return volume_;
      })
      .withSetter([this](const double& volume) {
        // Bus thread: the player's volume is set on the main thread, where the player lives.
        const double level = std::isfinite(volume) ? std::clamp(volume, 0.0, 1.0) : 1.0;
        mainQueue_.post([self = self_, level] {
          if (Mpris* mpris = self.get(); mpris && mpris->onVolume_) {
            mpris->onVolume_(level);
          }
        });
      });
  object.registerProperty("Position").onInterface(kPlayerInterface).withGetter([this] {
    std::lock_guard lock(mutex_);
    // Reported at each turn of the main loop, and moving on by itself while it plays.
    double position = track_.position;
    if (track_.status == Status::playing) {
      position +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - positionAt_).count();
    }
    return static_cast<int64_t>(std::max(0.0, position) * 1e6);
  });
  object.registerProperty("CanGoNext").onInterface(kPlayerInterface).withGetter([] {
    return false;
  });
  object.registerProperty("CanGoPrevious").onInterface(kPlayerInterface).withGetter([] {
    return false;
  });
  object.registerProperty("CanPlay").onInterface(kPlayerInterface).withGetter([] { return true; });
  object.registerProperty("CanPause").onInterface(kPlayerInterface).withGetter([] { return true; });
  object.registerProperty("CanSeek").onInterface(kPlayerInterface).withGetter([] { return false; });
  object.registerProperty("CanControl").onInterface(kPlayerInterface).withGetter([] {
    return true;
  });
  object.finishRegistration();
}

void Mpris::setVolume(double volume) {
  {
    std::lock_guard lock(mutex_);
    if (volume == volume_) {
      return;
    }
    volume_ = volume;
  }
  try {
    object_->emitPropertiesChangedSignal(kPlayerInterface, {"Volume"});
  } catch (const sdbus::Error&) {
  }
}

void Mpris::update(const Track& track) {
  {
    std::lock_guard lock(mutex_);
    const bool sameItem = track.title == track_.title && track.url == track_.url;
    const bool changed =
        track.status != track_.status || !sameItem || track.length != track_.length;
    if (!sameItem) {
      ++trackNumber_;
    }
    track_ = track;
    positionAt_ = std::chrono::steady_clock::now();
    if (!changed) {
      return;
    }
  }
  try {
    object_->emitPropertiesChangedSignal(kPlayerInterface, {"PlaybackStatus", "Metadata"});
  } catch (const sdbus::Error&) {
    // A bus that went away only costs the desktop its notification; getters still answer.
  }
}

}  // namespace vorn::linuxbackend
