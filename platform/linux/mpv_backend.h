#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/geometry.h"
#include "platform/input.h"
#include "platform/media.h"
#include "platform/notification_center.h"
#include "platform/views.h"

namespace vorn::linuxbackend {

// How the player decodes and sounds, as the operator's settings choose.
struct PlaybackSettings {
  std::string hwdec = "auto-safe";    // mpv's hwdec: hardware decoding, software fallback
  std::optional<int64_t> maxBitrate;  // bits per second: the HLS variant to choose
  int volume = 100;                   // 0 to 100
  bool mute = false;
  std::optional<int> screen;               // the monitor's index for full screen
  std::optional<std::string> audioDevice;  // mpv's audio-device; the system's default if not set
};

struct MpvOptions {
  bool headless = false;              // vo=null, ao=null, no window
  bool windowed = false;              // otherwise full screen
  std::optional<std::string> caFile;  // extra CA for tls-ca-file (tests); tls-verify=yes always
  PlaybackSettings playback;
  // libmpv's own messages: all levels, or only errors and warnings.
  bool verbose = false;
  // Where they go, with their journal priority; nowhere when not set.
  std::function<void(int priority, const std::string& record)> log;
};

// What the viewer does to the window. All called on the main thread, from drainEvents().
struct MpvInputEvents {
  std::function<void()> tap;                            // left click, Enter, Space
  std::function<void(platform::SwipeDirection)> swipe;  // arrow keys
  std::function<void()> playPausePress;                 // media play/pause key(s)
  std::function<void(bool minimized)> minimizedChanged;
  std::function<void(platform::Size)> resized;  // window size changed
  std::function<void()> closeRequested;         // user closed the window
};

// The one libmpv instance of the process: playback of the queue, the window with its input and
// state, and the on-screen drawing of the view tree. Every call except the constructor's `wakeup`
// (which libmpv calls from its own thread) belongs on the main thread.
class MpvBackend {
 public:
  // `wakeup` is called from an mpv thread whenever events are waiting; the main loop answers by
  // running drainEvents() on the main thread (one pending drain is enough). `context` runs on the
  // main thread too: it times the stall report.
  MpvBackend(platform::MainQueue& mainQueue, asio::io_context& context,
             platform::NotificationCenter& center, MpvOptions options,
             std::function<void()> wakeup);
  // Clears the wake-up callback, then destroys the mpv core (waits for its threads).
  ~MpvBackend();
  MpvBackend(const MpvBackend&) = delete;
  MpvBackend& operator=(const MpvBackend&) = delete;

  void setInputEvents(MpvInputEvents events);
  // Handles every waiting mpv event: player state, input, window state.
  void drainEvents();
  platform::MediaService& media();
  // Lets go of the timers on the main loop's context; before the context goes.
  void releaseTimers();
  std::shared_ptr<platform::TextMetrics> textMetrics();
  // The size of the drawing surface: the window's, or 1280x720 without a window.
  platform::Size screenSize() const;
  // Draws the view tree over the video; sends nothing when the picture has not changed.
  void render(const platform::View& root);
  // While a spinner turns, or the overlay wants sending again, the owner calls redraw() (which
  // draws the last tree rendered again) every kRedrawInterval from the main loop.
  bool wantsRedraw() const;
  // What the last render left drawn over the video: its events, one a line.
  const std::string& drawnOverlay() const;
  void redraw();
  static constexpr std::chrono::milliseconds kRedrawInterval{80};
  // An mpv property as mpv writes it, such as "hwdec" or "volume"; nothing when mpv has none.
  std::optional<std::string> property(const char* name) const;
  // Sets an mpv property as text ("volume", "mute", "tls-ca-file"); false when mpv refuses.
  bool setProperty(const char* name, const std::string& value);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::linuxbackend
