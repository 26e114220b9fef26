#pragma once

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/common/file_state_store.h"
#include "platform/common/platform_base.h"
#include "platform/linux/audio_session.h"
#include "platform/linux/bundle.h"
#include "platform/linux/main_loop.h"
#include "platform/linux/mpris.h"
#include "platform/linux/mpv_backend.h"
#include "platform/linux/service_notifier.h"
#include "platform/linux/status_outlet.h"
#include "platform/linux/stderr_capture.h"
#include "platform/linux/system_log.h"
#include "platform/linux/timers.h"
#include "platform/linux/url_session.h"
#include "platform/platform.h"

namespace vorn::linuxbackend {

class MpvBackend;
class Mpris;

struct LinuxPlatformOptions {
  bool headless = false;  // no window, no audio
  bool windowed = false;  // otherwise full screen
  UrlSessionOptions urlSession = UrlSessionOptions::fromEnvironment();
  // The title the desktop's media controls show for the current item; the item's description
  // when not set.
  std::function<std::string(const platform::PlayerItem&)> itemTitle;
  // Whether to offer media control on the session bus.
  bool mpris = true;
  PlaybackSettings playback;
  // The folder of what the channel keeps between runs; nothing is kept when empty.
  std::string stateDir;
  // Where the channel's status and metrics go; neither is written when empty.
  std::string statusFile;
  std::string metricsFile;
  // The player's own messages at every level, not only its errors and warnings.
  bool verbose = false;
};

// The real platform of one process: asio main loop and timers, libcurl downloads, libmpv for
// media, window, drawing and input, MPRIS, the system log on stderr and the installed bundle.
// Made and run on the main thread.
class LinuxPlatform : public common::PlatformBase {
 public:
  explicit LinuxPlatform(LinuxPlatformOptions options);
  // Tears down in the shared order (see PlatformBase::shutdown): the application's objects first
  // (and every block, timer and download completion that could still hold them), then libmpv.
  ~LinuxPlatform() override;

  // Starts the application (delegate, window, root controller with `configureRootController`
  // applied before its view loads) and runs the main loop until SIGINT/SIGTERM or the window is
  // closed, which terminate the application. Returns the process's exit status.
  int run(const platform::ClassRegistry& registry, const std::string& delegateClass,
          const platform::MainInterface& mainInterface,
          const std::function<void(platform::ViewController&)>& configureRootController = {});
  // Terminates the application and makes run() return. Main thread.
  void quit();

  // Called on the main thread at each SIGHUP while run() runs; SIGHUP never ends the process
  // (without a handler it is ignored). Set before run().
  void setHangupHandler(std::function<void()> handler) { hangup_ = std::move(handler); }
  // Changes the operator makes while the channel runs. Main thread.
  // An mpv property as text ("volume", "mute", "tls-ca-file"); false when mpv refuses it.
  bool setPlayerProperty(const char* name, const std::string& value);
  // The trusted authority and timeouts of playlist downloads started from now on.
  void changeDownloads(std::optional<std::string> extraCaFile, double totalTimeoutSeconds,
                       double connectTimeoutSeconds);

  platform::MainQueue& mainQueue() override { return mainLoop_; }
  platform::TimerService& timers() override { return *timers_; }
  platform::Clock& clock() override { return clock_; }
  platform::UrlSession& urlSession() override { return *urlSession_; }
  platform::MediaService& media() override;
  platform::ViewFactory& views() override { return *views_; }
  platform::AudioSession& audioSession() override { return *audioSession_; }
  platform::Bundle& bundle() override { return bundle_; }
  platform::SystemLog& systemLog() override { return systemLog_; }
  platform::StateStore& stateStore() override { return stateStore_; }
  LinuxStatusOutlet& statusOutlet() override { return *statusOutlet_; }

  MainLoop& mainLoop() { return mainLoop_; }

 private:
  class SystemClock : public platform::Clock {
   public:
    double timeIntervalSince1970() const override;
  };
  class TrackingMediaService;

  void stopInput() override;
  bool releasePendingWork() override;
  void closeServices() override;
  void afterTurn();
  // What the desktop's media controls show now.
  Mpris::Track mprisTrack() const;
  void wireInput();
  void awaitSignal();

  LinuxPlatformOptions options_;
  StderrSystemLog systemLog_;
  // Under the journal: what libraries write to standard error themselves, at debug.
  std::unique_ptr<StderrCapture> stderrCapture_;
  MainLoop mainLoop_;
  SystemClock clock_;
  InstalledBundle bundle_;
  common::FileStateStore stateStore_;
  std::unique_ptr<AsioTimerService> timers_;
  std::unique_ptr<CurlUrlSession> urlSession_;
  std::unique_ptr<MpvBackend> mpv_;
  std::unique_ptr<TrackingMediaService> media_;
  std::unique_ptr<platform::ViewFactory> views_;
  std::unique_ptr<LinuxAudioSession> audioSession_;
  std::unique_ptr<Mpris> mpris_;
  std::unique_ptr<asio::signal_set> signals_;
  std::function<void()> hangup_;
  // Paces redraws while the picture moves by itself (a spinner turning); each wake-up is a turn of
  // the main loop, after which afterTurn() draws.
  std::unique_ptr<asio::steady_timer> redrawTimer_;
  bool redrawArmed_ = false;
  std::unique_ptr<ServiceNotifier> serviceNotifier_;
  std::unique_ptr<LinuxStatusOutlet> statusOutlet_;
  std::atomic<bool> drainPending_{false};
  int exitStatus_ = 0;
};

}  // namespace vorn::linuxbackend
