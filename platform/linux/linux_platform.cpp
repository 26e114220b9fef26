#include "platform/linux/linux_platform.h"

#include <malloc.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>

#include "platform/linux/mpris.h"
#include "platform/linux/mpv_backend.h"

namespace vorn::linuxbackend {

double LinuxPlatform::SystemClock::timeIntervalSince1970() const {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count();
}

namespace {

// glibc gives threads allocator arenas of their own, up to eight per core, and serves blocks
// above an adaptive threshold (up to 32 MB) from them too. libmpv starts and ends demuxer, decoder
// and network threads for every item, and what they free stays spread over all those arenas: the
// process's memory climbed by about 150 MB over its first twenty queue reloads, twice what the mpv
// command line grows by. Two arenas hold it near the command line; large blocks (packets, frames,
// stream buffers) mapped on their own go back to the system when freed, which keeps the arenas
// from fragmenting (with both, level at about 80 MB over 200 reloads; without the fixed threshold
// it crept by steps). glibc settles its arena limit when the process first outgrows eight arenas,
// so this comes before any thread.
void configureAllocator() {
#ifdef __GLIBC__
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

}  // namespace

// The media service as the logic sees it, remembering the most recent queue player: that is the
// one playing (a new load drops the previous one), and the desktop's media controls report it.
class LinuxPlatform::TrackingMediaService : public platform::MediaService {
 public:
  explicit TrackingMediaService(platform::MediaService& inner) : inner_(inner) {}
  std::shared_ptr<platform::QueuePlayer> makeQueuePlayer(
      std::vector<std::shared_ptr<platform::PlayerItem>> items) override {
    auto player = inner_.makeQueuePlayer(std::move(items));
    latest_ = player;
    return player;
  }
  std::shared_ptr<platform::PlayerLayer> makePlayerLayer(
      std::shared_ptr<platform::QueuePlayer> player) override {
    return inner_.makePlayerLayer(std::move(player));
  }
  std::shared_ptr<platform::QueuePlayer> latest() const { return latest_.lock(); }

 private:
  platform::MediaService& inner_;
  std::weak_ptr<platform::QueuePlayer> latest_;
};

LinuxPlatform::LinuxPlatform(LinuxPlatformOptions options)
    : options_(std::move(options)),
      bundle_(InstalledBundle::forThisProcess()),
      stateStore_(options_.stateDir) {
  configureAllocator();
  if (systemLog_.writesToJournal()) {
    stderrCapture_ = StderrCapture::start(systemLog_);
  }
  timers_ = std::make_unique<AsioTimerService>(mainLoop_.context());
  redrawTimer_ = std::make_unique<asio::steady_timer>(mainLoop_.context());
  urlSession_ = std::make_unique<CurlUrlSession>(options_.urlSession);
  MpvOptions mpvOptions;
  mpvOptions.headless = options_.headless;
  mpvOptions.windowed = options_.windowed;
  mpvOptions.playback = options_.playback;
  mpvOptions.caFile = options_.urlSession.extraCaFile;
  mpvOptions.verbose = options_.verbose;
  mpvOptions.log = [this](int priority, const std::string& record) {
    systemLog_.write(record, priority);
  };
  // libmpv calls the wake-up from its own thread; one pending drain on the main queue is enough.
  mpv_ = std::make_unique<MpvBackend>(mainLoop_, mainLoop_.context(), notificationCenter(),
                                      mpvOptions, [this] {
                                        if (!drainPending_.exchange(true)) {
                                          mainLoop_.post([this] {
                                            drainPending_ = false;
                                            if (mpv_) {
                                              mpv_->drainEvents();
                                            }
                                          });
                                        }
                                      });
  media_ = std::make_unique<TrackingMediaService>(mpv_->media());
  views_ = std::make_unique<platform::ViewFactory>(mpv_->textMetrics());
  audioSession_ = std::make_unique<LinuxAudioSession>(!options_.headless);
  statusOutlet_ = std::make_unique<LinuxStatusOutlet>(
      mainLoop_.context(), systemLog_,
      LinuxStatusOutlet::Options{options_.statusFile, options_.metricsFile});
}

LinuxPlatform::~LinuxPlatform() {
  shutdown();
}

void LinuxPlatform::awaitSignal() {
  signals_->async_wait([this](const std::error_code& error, int number) {
    if (error) {
      return;
    }
    if (number != SIGHUP) {
      quit();
      return;
    }
    if (hangup_) {
      try {
        hangup_();
      } catch (const std::exception& failure) {
        systemLog_.write(std::string("vorn: cannot reload the settings: ") + failure.what());
      }
    }
    if (signals_) {
      awaitSignal();
    }
  });
}

bool LinuxPlatform::setPlayerProperty(const char* name, const std::string& value) {
  return mpv_ && mpv_->setProperty(name, value);
}

void LinuxPlatform::changeDownloads(std::optional<std::string> extraCaFile,
                                    double totalTimeoutSeconds, double connectTimeoutSeconds) {
  if (urlSession_) {
    urlSession_->changeOptions(std::move(extraCaFile), totalTimeoutSeconds, connectTimeoutSeconds);
  }
}

void LinuxPlatform::stopInput() {
  statusOutlet_->setStatusLineSink({});
  mpris_.reset();
  signals_.reset();
  // A hang-up while the channel shuts down must not end it with another status.
  std::signal(SIGHUP, SIG_IGN);
  serviceNotifier_.reset();
  if (mpv_) {
    mpv_->setInputEvents({});
  }
}

bool LinuxPlatform::releasePendingWork() {
  // Once: timers, blocks not yet run and download completions in flight go, and with them what
  // they hold. Joining the download worker before libmpv goes means no object of the logic can
  // outlive the media service it plays on.
  if (!timers_) {
    return false;
  }
  timers_.reset();
  redrawTimer_.reset();
  if (statusOutlet_) {
    statusOutlet_->stop();
  }
  if (mpv_) {
    mpv_->releaseTimers();
  }
  mainLoop_.shutdown();
  urlSession_.reset();
  return true;
}

void LinuxPlatform::closeServices() {
  statusOutlet_.reset();
  views_.reset();
  media_.reset();
  mpv_.reset();
}

platform::MediaService& LinuxPlatform::media() {
  return *media_;
}

void LinuxPlatform::wireInput() {
  MpvInputEvents events;
  events.tap = [this] { application().tap(); };
  events.swipe = [this](platform::SwipeDirection direction) { application().swipe(direction); };
  events.playPausePress = [this] { application().pressPlayPause(); };
  events.minimizedChanged = [this](bool minimized) {
    // Minimised is the phone's home screen: first inactive, then in the background; restoring
    // comes back the same way.
    if (minimized) {
      application().resignActive();
      application().enterBackground();
    } else {
      application().enterForeground();
      application().becomeActive();
    }
  };
  events.resized = [this](platform::Size size) { application().resize(size); };
  events.closeRequested = [this] { quit(); };
  mpv_->setInputEvents(std::move(events));
}

void LinuxPlatform::quit() {
  if (serviceNotifier_) {
    serviceNotifier_->stopping();
  }
  application().terminate();
  mainLoop_.stop();
}

Mpris::Track LinuxPlatform::mprisTrack() const {
  Mpris::Track track;
  const auto& status = statusOutlet_->last();
  if (!status) {
    return track;
  }
  using platform::ChannelState;
  switch (status->state) {
    case ChannelState::playing:
    case ChannelState::slate:
      track.status = Mpris::Status::playing;
      break;
    case ChannelState::paused:
    case ChannelState::inactivePaused:
    case ChannelState::background:
      track.status = Mpris::Status::paused;
      break;
    case ChannelState::starting:
    case ChannelState::noProgramme:
      return track;
  }
  const auto player = media_->latest();
  const auto item = player ? player->currentItem() : nullptr;
  if (status->item) {
    track.url = status->item->url;
    track.length = status->item->length;
    track.title = status->item->description;
    track.position = status->item->position;
  }
  if (status->state == ChannelState::slate) {
    track.title = "Slate: " + status->slateReason;
    // The clock's position in the slot, moved on to now.
    if (track.status == Mpris::Status::playing) {
      track.position += clock_.timeIntervalSince1970() - status->updatedAt;
    }
  } else if (const auto position = player ? player->currentPosition() : std::nullopt) {
    track.position = *position;
  }
  if (track.title.empty() && item) {
    track.title = options_.itemTitle ? options_.itemTitle(*item) : item->description();
  }
  return track;
}

void LinuxPlatform::afterTurn() {
  auto controller = application().rootViewController();
  if (controller && controller->isViewLoaded()) {
    mpv_->render(*controller->view());
  }
  if (mpv_->wantsRedraw() && !redrawArmed_ && redrawTimer_) {
    redrawArmed_ = true;
    redrawTimer_->expires_after(MpvBackend::kRedrawInterval);
    redrawTimer_->async_wait([this](const std::error_code&) { redrawArmed_ = false; });
  }
  if (mpris_) {
    mpris_->update(mprisTrack());
  }
}

int LinuxPlatform::run(
    const platform::ClassRegistry& registry, const std::string& delegateClass,
    const platform::MainInterface& mainInterface,
    const std::function<void(platform::ViewController&)>& configureRootController) {
  // A peer that closes a connection must not kill an always-on process.
  std::signal(SIGPIPE, SIG_IGN);
  signals_ = std::make_unique<asio::signal_set>(mainLoop_.context(), SIGINT, SIGTERM, SIGHUP);
  awaitSignal();
  wireInput();
  mainLoop_.addTurnObserver([this] { afterTurn(); });

  if (options_.mpris) {
    mpris_ = Mpris::start(
        mainLoop_, systemLog_,
        [this](platform::RemoteCommandKind kind) { application().remoteCommand(kind); },
        [this](double volume) {
          // mpv's own scale: 100 is full. What the desktop reads back is what the player took.
          if (!mpv_ || !mpris_) {
            return;
          }
          (void)mpv_->setProperty("volume", std::to_string(volume * 100.0));
          if (const auto taken = mpv_->property("volume")) {
            mpris_->setVolume(std::strtod(taken->c_str(), nullptr) / 100.0);
          }
        },
        options_.playback.volume / 100.0);
  }
  platform::Size size = mpv_->screenSize();
  if (!application().launch(registry, delegateClass, mainInterface,
                            {0.0, 0.0, size.width, size.height}, configureRootController)) {
    systemLog_.write("vorn: cannot start: the application class \"" + delegateClass +
                     "\" or the root controller class \"" + mainInterface.rootControllerClass +
                     "\" is not available");
    return 1;
  }
  afterTurn();
  // The channel is up: a service manager may now count on it, and on the main loop's pings.
  serviceNotifier_ = std::make_unique<ServiceNotifier>(mainLoop_.context());
  serviceNotifier_->ready();
  statusOutlet_->setStatusLineSink([this](const std::string& line) {
    if (serviceNotifier_) {
      serviceNotifier_->status(line);
    }
  });
  mainLoop_.run();
  return exitStatus_;
}

}  // namespace vorn::linuxbackend
