#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_text_metrics.h"

namespace vorn::sim {

class World;

namespace detail {

class SimMainQueue : public platform::MainQueue {
 public:
  explicit SimMainQueue(World& world) : world_(world) {}
  void post(std::function<void()> block) override;
  bool isMainThread() const override;

 private:
  World& world_;
};

class SimTimer : public platform::Timer {
 public:
  SimTimer(World& world, double interval, platform::TimerAction action, double fireTime,
           uint64_t sequence);
  void invalidate() override;
  bool isValid() const override { return valid_; }
  double timeInterval() const override { return interval_; }
  const std::string& selector() const override { return selector_; }
  double fireTime() const { return fireTime_; }
  uint64_t sequence() const { return sequence_; }
  bool holdsAction() const { return static_cast<bool>(action_.call); }
  // Marks the timer spent and calls its action once; the action is released before this returns.
  void fire();

 private:
  World& world_;
  double interval_;
  std::string selector_;
  platform::TimerAction action_;
  double fireTime_;
  uint64_t sequence_;
  bool valid_ = true;
};

class SimTimerService : public platform::TimerService {
 public:
  explicit SimTimerService(World& world) : world_(world) {}
  std::shared_ptr<platform::Timer> scheduledTimer(double interval,
                                                  platform::TimerAction action) override;

 private:
  World& world_;
};

class SimClock : public platform::Clock {
 public:
  explicit SimClock(World& world) : world_(world) {}
  double timeIntervalSince1970() const override;

 private:
  World& world_;
};

class SimUrlSession : public platform::UrlSession {
 public:
  explicit SimUrlSession(World& world) : world_(world) {}
  void startDataTask(const platform::Url& url, platform::DataTaskCompletion completion) override;

 private:
  World& world_;
};

class SimMediaService : public platform::MediaService {
 public:
  explicit SimMediaService(World& world) : world_(world) {}
  std::shared_ptr<platform::QueuePlayer> makeQueuePlayer(
      std::vector<std::shared_ptr<platform::PlayerItem>> items) override;
  std::shared_ptr<platform::PlayerLayer> makePlayerLayer(
      std::shared_ptr<platform::QueuePlayer> player) override;

 private:
  World& world_;
};

class SimAudioSession : public platform::AudioSession {
 public:
  std::shared_ptr<platform::Error> setCategoryPlayback() override;
  std::shared_ptr<platform::Error> setActive(bool active) override;

  std::shared_ptr<platform::Error> categoryFailure;
  std::shared_ptr<platform::Error> activationFailure;
  bool categoryIsPlayback = false;
  bool active = false;
  size_t categoryCalls = 0;
  size_t activationCalls = 0;
};

class SimBundle : public platform::Bundle {
 public:
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const override;
  void set(const std::string& name, const std::string& type, std::optional<std::string> path);

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> resources_;
};

class SimSystemLog : public platform::SystemLog {
 public:
  explicit SimSystemLog(World& world) : world_(world) {}
  void write(std::string_view record) override;

 private:
  World& world_;
};

}  // namespace detail

// Seconds with three decimals, as trace lines print times and positions.
std::string formatSeconds(double seconds);

struct WorldOptions {
  double startTime = 0.0;  // wall clock at construction, seconds since 1970 UTC
  platform::Size screenSize{1920.0, 1080.0};
  double defaultMediaLength = 60.0;  // length of a stream with no setMediaLength
};

// A platform in virtual time, for tests and `vorn simulate`. One World owns a virtual wall clock,
// the main queue, the one-shot timers, the URL session's completion "thread" and the simulated
// media. Nothing runs until the test says so (runUntilIdle, advance). Everything runs on the
// test's thread; post() and startDataTask() may still be called from another thread.
//
// Order of work at one instant: main-queue blocks first, in posting order; when the queue is
// empty, the earliest due event: media events (boundary crossings, ends, failures) before timers
// and URL completions at the same time, which run in the order they were scheduled. Time moves
// only when nothing is due now.
//
// Threads: isMainThread() is true on the thread that made the World (the test's thread), except
// while a URL-session completion runs (that is "the background thread").
class World : public platform::Platform {
 public:
  explicit World(WorldOptions options = {});
  // Tears down the application (delegate, window, controller) first, then releases the boundary
  // observers, the timers, the queued blocks and completions, and the actions registered with the
  // notification and command centres, while every service is still usable.
  ~World() override;
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Platform
  platform::MainQueue& mainQueue() override { return mainQueue_; }
  platform::TimerService& timers() override { return timerService_; }
  platform::Clock& clock() override { return clock_; }
  platform::UrlSession& urlSession() override { return urlSession_; }
  platform::NotificationCenter& notificationCenter() override { return *notificationCenter_; }
  platform::MediaService& media() override { return mediaService_; }
  platform::ViewFactory& views() override { return viewFactory_; }
  platform::RemoteCommandCenter& remoteCommandCenter() override { return *remoteCommandCenter_; }
  platform::AudioSession& audioSession() override { return audioSession_; }
  platform::Bundle& bundle() override { return bundle_; }
  platform::SystemLog& systemLog() override { return systemLog_; }
  platform::Application& application() override { return *application_; }

  const WorldOptions& options() const { return options_; }
  // The screen's bounds: the options' size until resize().
  platform::Rect screenBounds() const { return application_->screenBounds(); }
  // Starts the program on this platform with the screen's bounds (see Application::launch).
  bool launch(const platform::ClassRegistry& registry, const std::string& delegateClassName,
              const platform::MainInterface& mainInterface,
              const std::function<void(platform::ViewController&)>& configureRootController = {});

  // Time
  double now() const { return now_.load(); }
  // Runs main-queue blocks, due timers, due completions and media events due now, until nothing
  // is due now.
  void runUntilIdle();
  // Moves time forward, running everything that falls inside in time order (each followed by
  // runUntilIdle at that instant); ends with now() == old now + seconds.
  void advance(double seconds);
  // As advance(), to an absolute wall time; an earlier or a non-finite time only runs what is due
  // now.
  void advanceTo(double wallTime);
  // The time of the next scheduled work (timer, completion, media event), if any.
  std::optional<double> nextEventTime() const;

  // Observation of pending work
  struct PendingTimer {
    std::string selector;
    double fireTime;
  };
  // Valid timers not yet fired, in fire order.
  std::vector<PendingTimer> pendingTimers() const;
  size_t pendingMainBlocks() const;

  // Network. A request takes the next one-shot response queued for its URL, else the persistent
  // rule, else the default: http(s) fails with "host not found"; a file URL reads the simulated
  // file system (a missing file fails with "file does not exist"; a present file answers its
  // contents with status 0). The completion runs `delay` seconds after the request.
  struct Response {
    std::optional<std::string> data = std::nullopt;
    long status = 200;
    std::shared_ptr<platform::Error> error = nullptr;
    double delay = 0.0;
  };
  void serve(const std::string& url, Response response);
  void serveOnce(const std::string& url, Response response);
  std::vector<std::string> requests() const;
  size_t pendingDownloads() const;

  // Simulated file system and bundle
  void writeFile(const std::string& path, std::string contents);
  void removeFile(const std::string& path);
  void setBundleResource(const std::string& name, const std::string& type,
                         std::optional<std::string> path);

  // Media
  void setMediaLength(const std::string& url, double seconds);
  double mediaLength(const std::string& url) const;
  void setBroken(const std::string& url);
  bool isBroken(const std::string& url) const;
  void setStartupLatency(double seconds) { startupLatency_ = seconds; }
  double startupLatency() const { return startupLatency_; }
  // The most recently made player, while something still holds it.
  std::shared_ptr<SimQueuePlayer> latestPlayer() const { return latestPlayer_.lock(); }
  // Players still referenced by someone, oldest first.
  std::vector<std::shared_ptr<SimQueuePlayer>> livePlayers() const;
  size_t boundaryObserverCount() const { return observers_.size(); }

  // Audio session scripting (a null error clears the failure) and observation.
  void failAudioCategory(std::shared_ptr<platform::Error> error);
  void failAudioActivation(std::shared_ptr<platform::Error> error);
  const detail::SimAudioSession& audioSessionState() const { return audioSession_; }

  // Log
  const std::vector<std::string>& logRecords() const { return logRecords_; }
  struct TimedRecord {
    double time;
    std::string text;
  };
  const std::vector<TimedRecord>& timedLogRecords() const { return timedLogRecords_; }
  // While set, every record goes to `sink` with its time as it is written, and is not kept: a long
  // run then holds no history of its log.
  void setLogRecordSink(std::function<void(double, std::string_view)> sink) {
    logRecordSink_ = std::move(sink);
  }

  // Trace: what a viewer would see and what the platform does, one line per event: current item
  // changes, rate changes, seeks, timers scheduled, fired and invalidated, downloads started and
  // finished, and (when traceLogRecords is on) every log record.
  void setTrace(std::function<void(double, const std::string&)> trace) {
    trace_ = std::move(trace);
  }
  void setTraceLogRecords(bool on) { traceLogRecords_ = on; }
  // Called after every main-thread turn (block, timer, media event) and every input, so that a
  // tracer can diff the view tree.
  void setViewTreeHook(std::function<void()> hook) { viewTreeHook_ = std::move(hook); }
  void notifyViewTreeMaybeChanged();

  // Life cycle and input, forwarded to application(). Nothing runs afterwards until the test
  // calls runUntilIdle() or advance().
  bool tap();
  bool swipe(platform::SwipeDirection direction);
  bool pressPlayPause();
  void remoteCommand(platform::RemoteCommandKind kind);
  void resignActive();
  void enterBackground();
  void enterForeground();
  void becomeActive();
  void terminate();
  void screenConnected();
  void screenDisconnected();
  void resize(const platform::Size& size);
  void memoryWarning();

 private:
  friend class detail::SimMainQueue;
  friend class detail::SimTimer;
  friend class detail::SimTimerService;
  friend class detail::SimUrlSession;
  friend class detail::SimMediaService;
  friend class detail::SimSystemLog;
  friend class SimQueuePlayer;

  struct Completion {
    double due;
    uint64_t sequence;
    std::string url;
    std::function<void()> run;
  };
  struct Observer {
    uint64_t key;
    uint64_t playerId;
    std::vector<double> times;
    std::shared_ptr<std::function<void()>> block;
  };

  void trace(const std::string& line);
  bool onMainThreadNow() const;
  uint64_t nextSequence() { return sequence_.fetch_add(1); }
  void post(std::function<void()> block);
  bool runOneDueStep();
  void runCompletion(Completion completion);
  void requestStarted(const platform::Url& url, platform::DataTaskCompletion completion);
  void addTimer(const std::shared_ptr<detail::SimTimer>& timer);
  void timerEnded(const detail::SimTimer& timer, const char* how);
  std::shared_ptr<platform::QueuePlayer> makePlayer(
      std::vector<std::shared_ptr<platform::PlayerItem>> items);
  // Boundary observers live here, not in the player, so that a block holding the player's owner
  // makes no ownership cycle.
  std::shared_ptr<platform::TimeObserverToken> addObserver(uint64_t playerId,
                                                           std::vector<double> times,
                                                           std::function<void()> block);
  void removeObserver(uint64_t playerId, const std::shared_ptr<platform::TimeObserverToken>& token);
  size_t observerCountOf(uint64_t playerId) const;
  // Boundary times of every observer of a player, with the observer's key, in registration order.
  std::vector<std::pair<uint64_t, double>> boundariesOf(uint64_t playerId) const;
  void postCrossing(uint64_t observerKey);
  bool isPlayerAlive(uint64_t playerId) const;
  void logRecord(std::string_view record);

  WorldOptions options_;
  std::atomic<double> now_;
  std::atomic<uint64_t> sequence_{0};
  std::thread::id mainThread_;
  std::atomic<bool> inBackground_{false};

  // Guards the main queue, the completions, the network scripting, the files and the log.
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> mainBlocks_;
  std::vector<Completion> completions_;
  std::map<std::string, Response> rules_;
  std::map<std::string, std::deque<Response>> oneShots_;
  std::vector<std::string> requests_;
  std::map<std::string, std::string> files_;
  std::vector<std::string> logRecords_;
  std::vector<TimedRecord> timedLogRecords_;

  std::vector<std::shared_ptr<detail::SimTimer>> timers_;
  std::map<std::string, double> mediaLengths_;
  std::map<std::string, bool> broken_;
  double startupLatency_ = 0.0;
  uint64_t nextPlayerId_ = 1;
  uint64_t nextObserverKey_ = 1;
  std::vector<std::weak_ptr<SimQueuePlayer>> players_;
  std::weak_ptr<SimQueuePlayer> latestPlayer_;
  std::vector<std::pair<std::shared_ptr<platform::TimeObserverToken>, Observer>> observers_;

  std::function<void(double, const std::string&)> trace_;
  bool traceLogRecords_ = false;
  std::function<void(double, std::string_view)> logRecordSink_;
  std::function<void()> viewTreeHook_;

  // Services. The two centres are replaced by empty ones at teardown, so that an object released
  // with an action they hold (a controller whose destructor unregisters itself) still finds a
  // working centre.
  detail::SimMainQueue mainQueue_{*this};
  detail::SimTimerService timerService_{*this};
  detail::SimClock clock_{*this};
  detail::SimUrlSession urlSession_{*this};
  detail::SimMediaService mediaService_{*this};
  platform::ViewFactory viewFactory_{std::make_shared<SimTextMetrics>()};
  detail::SimAudioSession audioSession_;
  detail::SimBundle bundle_;
  detail::SimSystemLog systemLog_{*this};
  std::unique_ptr<platform::Application> application_;
  std::unique_ptr<platform::NotificationCenter> notificationCenter_ =
      std::make_unique<platform::NotificationCenter>();
  std::unique_ptr<platform::RemoteCommandCenter> remoteCommandCenter_ =
      std::make_unique<platform::RemoteCommandCenter>();
};

}  // namespace vorn::sim
