#include "platform/linux/mpv_backend.h"
#include "platform/linux/mpv_log.h"

#include <mpv/client.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>

#include "platform/linux/mpv_core.h"
#include "platform/linux/mpv_media.h"
#include "platform/linux/mpv_views.h"
#include "platform/linux/system_log.h"

namespace vorn::linuxbackend {

using platform::Size;

namespace {

enum PropertyId : uint64_t {
  kPlaybackTime = 1,
  kWindowMinimized,
  kOsdWidth,
  kOsdHeight,
};

constexpr Size kDefaultSurface{1280.0, 720.0};

// Keys delivered to us as client messages rather than acted on by mpv itself.
constexpr const char* kTapKeys[] = {"MBTN_LEFT", "SPACE", "ENTER", "KP_ENTER"};
constexpr const char* kPlayPauseKeys[] = {"PLAY",     "PAUSE",     "PLAYPAUSE",
                                          "PLAYONLY", "PAUSEONLY", "Shift+PAUSE"};
constexpr const char* kSwipeKeys[] = {"LEFT", "RIGHT", "UP", "DOWN"};

}  // namespace

struct MpvBackend::Impl {
  Impl(platform::MainQueue& queue, asio::io_context& loop,
       platform::NotificationCenter& notificationCenter, MpvOptions opts,
       std::function<void()> wake)
      : mainQueue(queue),
        context(loop),
        center(notificationCenter),
        options(std::move(opts)),
        wakeup(std::move(wake)) {}

  static void onWakeup(void* context) {
    auto* self = static_cast<Impl*>(context);
    if (self->wakeup) {
      self->wakeup();
    }
  }

  void setOption(const char* name, const std::string& value, bool required) {
    const int error = mpv_set_option_string(handle, name, value.c_str());
    if (error < 0 && required) {
      throw std::runtime_error(std::string("mpv option ") + name + "=" + value + ": " +
                               mpv_error_string(error));
    }
  }

  void configure() {
    // Never touch the network for an unplayable address (no helper downloader), always read
    // streams with FFmpeg's demuxers, and verify certificates.
    setOption("idle", "yes", true);
    setOption("ytdl", "no", false);
    setOption("load-scripts", "no", false);
    setOption("osc", "no", false);
    setOption("demuxer", "lavf", true);
    setOption("prefetch-playlist", "yes", true);
    setOption("keep-open", "no", true);
    setOption("input-default-bindings", "no", true);
    setOption("input-builtin-bindings", "no", false);
    setOption("osd-level", "0", true);
    setOption("terminal", "no", false);
    setOption("tls-verify", "yes", true);
    if (options.caFile) {
      setOption("tls-ca-file", *options.caFile, true);
    }
    // A stalled stream must not freeze the channel for a minute.
    setOption("network-timeout", "10", false);
    // mpv's cache would otherwise read a network stream up to 150 MiB ahead and keep 50 MiB
    // behind, per item: one second ahead rides over a slow segment request, nothing is kept
    // behind (the channel never seeks back), and a server that stops answering shows within a
    // second as a picture that stops, which the stall report turns into a slate.
    setOption("cache-secs", "1", false);
    setOption("demuxer-readahead-secs", "1", false);
    setOption("demuxer-max-bytes", "32MiB", false);
    setOption("demuxer-max-back-bytes", "0", false);
    setOption("audio-client-name", "vorn", false);
    // No sound device (a kiosk without speakers): play on, timed by the system clock.
    setOption("audio-fallback-to-null", "yes", false);
    setOption("title", "Vorn Channel", false);
    applyPlayback(options.playback);
    if (options.headless) {
      setOption("vo", "null", true);
      setOption("ao", "null", true);
      setOption("force-window", "no", true);
    } else {
      // Software OpenGL (virtual displays, machines without a GPU driver) is allowed too.
      setOption("gpu-sw", "yes", false);
      setOption("force-window", "yes", true);
      setOption("input-vo-keyboard", "yes", false);
      setOption("input-cursor", "yes", false);
      setOption("cursor-autohide", "1000", false);
      setOption("keepaspect-window", "no", false);
      setOption("fullscreen", options.windowed ? "no" : "yes", true);
      if (options.windowed) {
        setOption("geometry", "960x540", false);
      }
    }
  }

  // The operator's choices. A value out of range or one mpv refuses is an error, not a silent
  // default; mpv itself accepts louder than full volume and takes any decoder name.
  void applyPlayback(const PlaybackSettings& playback) {
    if (playback.volume < 0 || playback.volume > 100) {
      throw std::invalid_argument("volume " + std::to_string(playback.volume) +
                                  " is not between 0 and 100");
    }
    if (playback.maxBitrate && *playback.maxBitrate <= 0) {
      throw std::invalid_argument("maximum bitrate " + std::to_string(*playback.maxBitrate) +
                                  " is not a positive number of bits per second");
    }
    if (playback.screen && *playback.screen < 0) {
      throw std::invalid_argument("screen " + std::to_string(*playback.screen) +
                                  " is not a monitor's index");
    }
    // With auto-safe, mpv picks a known-good hardware decoder and decodes in software when there
    // is none or it fails on a stream.
    setOption("hwdec", playback.hwdec, true);
    if (playback.maxBitrate) {
      setOption("hls-bitrate", std::to_string(*playback.maxBitrate), true);
    }
    if (playback.audioDevice) {
      setOption("audio-device", *playback.audioDevice, true);
    }
    setOption("volume", std::to_string(playback.volume), true);
    setOption("mute", playback.mute ? "yes" : "no", true);
    if (playback.screen) {
      setOption("screen", std::to_string(*playback.screen), true);
      setOption("fs-screen", std::to_string(*playback.screen), true);
    }
  }

  void bindKeys() {
    const std::string client = mpv_client_name(handle);
    auto bind = [&](const std::string& key, const std::string& command) {
      core->commandStrings({"keybind", key, command});
    };
    auto bindInput = [&](const char* key) {
      bind(key, "script-message-to " + client + " input " + key);
    };
    for (const char* key : kTapKeys) {
      bindInput(key);
    }
    for (const char* key : kSwipeKeys) {
      bindInput(key);
    }
    for (const char* key : kPlayPauseKeys) {
      bindInput(key);
    }
    // A double click also sends each single click; the double itself is not another tap.
    bind("MBTN_LEFT_DBL", "ignore");
    // Bound, closing the window is reported instead of shutting mpv down.
    bindInput("CLOSE_WIN");
  }

  void start() {
    handle = mpv_create();
    if (handle == nullptr) {
      throw std::runtime_error("mpv_create failed");
    }
    try {
      configure();
      const int error = mpv_initialize(handle);
      if (error < 0) {
        throw std::runtime_error(std::string("mpv_initialize: ") + mpv_error_string(error));
      }
    } catch (...) {
      mpv_terminate_destroy(handle);
      handle = nullptr;
      throw;
    }
    core = std::make_unique<MpvCore>(handle);
    media = std::make_unique<MpvMediaService>(*core, mainQueue, context, center, !options.headless);
    coreGuard.emplace(*core);
    metrics = std::make_shared<MpvTextMetrics>(coreGuard->weak(), [this] { return size; });
    overlay = std::make_unique<MpvOverlay>(*core, *metrics, [](const std::string& problem) {
      StderrSystemLog().write("vorn: " + problem);
    });
    if (options.log) {
      // Filtered again as they come: only what mpvLogPriority lets through reaches the log.
      mpv_request_log_messages(handle, options.verbose ? "v" : "warn");
    }
    mpv_observe_property(handle, kPlaybackTime, "playback-time", MPV_FORMAT_DOUBLE);
    mpv_observe_property(handle, kWindowMinimized, "window-minimized", MPV_FORMAT_FLAG);
    mpv_observe_property(handle, kOsdWidth, "osd-width", MPV_FORMAT_INT64);
    mpv_observe_property(handle, kOsdHeight, "osd-height", MPV_FORMAT_INT64);
    bindKeys();
    if (!options.headless) {
      waitForWindow();
    }
    mpv_set_wakeup_callback(handle, &Impl::onWakeup, this);
    // Events queued before the callback was set would otherwise wait for the next one.
    if (wakeup) {
      wakeup();
    }
  }

  // The window appears shortly after initialisation; its size is the views' first frame. A full
  // screen window first shows at its own size until the window manager has made it full screen,
  // so it is waited for at the display's size where mpv knows that size.
  void waitForWindow() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto width = core->getInt("osd-width").value_or(0);
      const auto height = core->getInt("osd-height").value_or(0);
      if (width > 0 && height > 0) {
        size = {static_cast<double>(width), static_cast<double>(height)};
        const auto displayWidth = core->getInt("display-width");
        const auto displayHeight = core->getInt("display-height");
        if (options.windowed || !displayWidth || !displayHeight ||
            (width == *displayWidth && height == *displayHeight)) {
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void redraw() {
    if (const auto root = lastRoot.lock()) {
      render(*root);
    }
  }

  void render(const platform::View& root) {
    lastRoot = root.weak_from_this();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch).count();
    // A reload that takes over the picture mpv plays on into keeps what is drawn over it until
    // the new tree draws the same again: its cover would only flash over frames that go on.
    const bool handover = media->handsOverPicture();
    wantsRedraw = overlay->render(root, seconds, handover);
    if (handover && !overlay->holdsBack()) {
      media->pictureHandedOver();
    }
  }

  void handleClientMessage(const mpv_event_client_message& message) {
    if (message.num_args < 2 || std::string(message.args[0]) != "input") {
      return;
    }
    const std::string key = message.args[1];
    for (const char* tapKey : kTapKeys) {
      if (key == tapKey) {
        if (input.tap) {
          input.tap();
        }
        return;
      }
    }
    for (const char* playKey : kPlayPauseKeys) {
      if (key == playKey) {
        if (input.playPausePress) {
          input.playPausePress();
        }
        return;
      }
    }
    if (key == "CLOSE_WIN") {
      reportClose();
      return;
    }
    std::optional<platform::SwipeDirection> direction;
    if (key == "LEFT") {
      direction = platform::kSwipeLeft;
    } else if (key == "RIGHT") {
      direction = platform::kSwipeRight;
    } else if (key == "UP") {
      direction = platform::kSwipeUp;
    } else if (key == "DOWN") {
      direction = platform::kSwipeDown;
    }
    if (direction && input.swipe) {
      input.swipe(*direction);
    }
  }

  void reportClose() {
    if (!closeReported && input.closeRequested) {
      closeReported = true;
      input.closeRequested();
    }
  }

  void handleProperty(uint64_t id, const mpv_event_property& property) {
    switch (id) {
      case kPlaybackTime:
        if (property.format == MPV_FORMAT_DOUBLE) {
          media->handlePlaybackTime(*static_cast<double*>(property.data));
        }
        break;
      case kWindowMinimized:
        if (property.format == MPV_FORMAT_FLAG) {
          const bool now = *static_cast<int*>(property.data) != 0;
          if (now != minimized) {
            minimized = now;
            if (input.minimizedChanged) {
              input.minimizedChanged(now);
            }
          }
        }
        break;
      case kOsdWidth:
      case kOsdHeight:
        if (property.format == MPV_FORMAT_INT64) {
          (id == kOsdWidth ? osdWidth : osdHeight) = *static_cast<int64_t*>(property.data);
          if (osdWidth > 0 && osdHeight > 0) {
            const Size now{static_cast<double>(osdWidth), static_cast<double>(osdHeight)};
            if (!(now == size)) {
              size = now;
              if (input.resized) {
                input.resized(now);
              }
            }
          }
        }
        break;
      default:
        break;
    }
  }

  void drain() {
    while (handle != nullptr) {
      mpv_event* event = mpv_wait_event(handle, 0);
      if (event == nullptr || event->event_id == MPV_EVENT_NONE) {
        return;
      }
      switch (event->event_id) {
        case MPV_EVENT_SHUTDOWN:
          // mpv is going away by itself (its window was destroyed): like a close.
          reportClose();
          return;
        case MPV_EVENT_CLIENT_MESSAGE:
          handleClientMessage(*static_cast<mpv_event_client_message*>(event->data));
          break;
        case MPV_EVENT_PROPERTY_CHANGE:
          handleProperty(event->reply_userdata, *static_cast<mpv_event_property*>(event->data));
          break;
        case MPV_EVENT_START_FILE:
        case MPV_EVENT_END_FILE:
        case MPV_EVENT_PLAYBACK_RESTART:
          media->handleEvent(*event);
          break;
        case MPV_EVENT_LOG_MESSAGE:
          logMessage(*static_cast<mpv_event_log_message*>(event->data));
          break;
        default:
          break;
      }
    }
  }

  void logMessage(const mpv_event_log_message& message) {
    if (!options.log || message.level == nullptr || message.prefix == nullptr ||
        message.text == nullptr) {
      return;
    }
    if (const auto priority =
            mpvLogPriority(message.level, message.prefix, message.text, options.verbose)) {
      options.log(*priority, mpvLogRecord(message.prefix, message.text));
    }
  }

  void shutdown() {
    if (handle != nullptr) {
      mpv_set_wakeup_callback(handle, nullptr, nullptr);
    }
    overlay.reset();
    // The metrics may outlive the core: from now on they estimate.
    coreGuard.reset();
    media.reset();
    if (handle != nullptr) {
      mpv_terminate_destroy(handle);
      handle = nullptr;
    }
  }

  platform::MainQueue& mainQueue;
  asio::io_context& context;
  platform::NotificationCenter& center;
  MpvOptions options;
  std::function<void()> wakeup;
  mpv_handle* handle = nullptr;
  std::unique_ptr<MpvCore> core;
  std::optional<Guard<MpvCore>> coreGuard;
  std::unique_ptr<MpvMediaService> media;
  std::shared_ptr<MpvTextMetrics> metrics;
  std::unique_ptr<MpvOverlay> overlay;
  MpvInputEvents input;
  Size size = kDefaultSurface;
  int64_t osdWidth = 0;
  int64_t osdHeight = 0;
  bool minimized = false;
  bool closeReported = false;
  std::weak_ptr<const platform::View> lastRoot;
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
  bool wantsRedraw = false;
};

MpvBackend::MpvBackend(platform::MainQueue& mainQueue, asio::io_context& context,
                       platform::NotificationCenter& center, MpvOptions options,
                       std::function<void()> wakeup)
    : impl_(std::make_unique<Impl>(mainQueue, context, center, std::move(options),
                                   std::move(wakeup))) {
  impl_->start();
}

MpvBackend::~MpvBackend() {
  impl_->shutdown();
}

void MpvBackend::setInputEvents(MpvInputEvents events) {
  impl_->input = std::move(events);
}

void MpvBackend::drainEvents() {
  impl_->drain();
}

void MpvBackend::releaseTimers() {
  impl_->media->stopTimers();
}

platform::MediaService& MpvBackend::media() {
  return *impl_->media;
}

std::shared_ptr<platform::TextMetrics> MpvBackend::textMetrics() {
  return impl_->metrics;
}

Size MpvBackend::screenSize() const {
  return impl_->size;
}

void MpvBackend::render(const platform::View& root) {
  impl_->render(root);
}

bool MpvBackend::wantsRedraw() const {
  return impl_->wantsRedraw;
}

const std::string& MpvBackend::drawnOverlay() const {
  return impl_->overlay->drawn();
}

void MpvBackend::redraw() {
  impl_->redraw();
}

bool MpvBackend::setProperty(const char* name, const std::string& value) {
  return impl_->handle != nullptr &&
         mpv_set_property_string(impl_->handle, name, value.c_str()) >= 0;
}

std::optional<std::string> MpvBackend::property(const char* name) const {
  char* value = mpv_get_property_string(impl_->handle, name);
  if (value == nullptr) {
    return std::nullopt;
  }
  std::string text(value);
  mpv_free(value);
  return text;
}

}  // namespace vorn::linuxbackend
