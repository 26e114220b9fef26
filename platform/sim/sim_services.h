#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_session.h"
#include "platform/bundle.h"
#include "platform/geometry.h"
#include "platform/input.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/trace.h"
#include "platform/state_store.h"
#include "platform/system_log.h"
#include "platform/timers.h"

namespace vorn::common {
class PlatformBase;
}

namespace vorn::sim {

// A one-shot timer: one entry of the scheduler until it fires or is invalidated.
class SimTimer : public platform::Timer, public std::enable_shared_from_this<SimTimer> {
 public:
  SimTimer(Scheduler& scheduler, const SimTrace& trace, double interval,
           platform::TimerAction action);
  void invalidate() override;
  bool isValid() const override { return valid_; }
  double timeInterval() const override { return interval_; }
  const std::string& selector() const override { return selector_; }
  double fireTime() const { return fireTime_; }
  bool holdsAction() const { return static_cast<bool>(action_.call); }
  // Puts the timer in the scheduler; it holds the timer until it runs or is dropped.
  void schedule();

 private:
  // Marks the timer spent and calls its action once; the action is released before this returns.
  void fire();
  void ended(const char* how);

  Scheduler& scheduler_;
  const SimTrace& trace_;
  double interval_;
  std::string selector_;
  platform::TimerAction action_;
  double fireTime_;
  Scheduler::Id entry_ = 0;
  bool valid_ = true;
};

class SimTimerService : public platform::TimerService {
 public:
  SimTimerService(Scheduler& scheduler, const SimTrace& trace)
      : scheduler_(scheduler), trace_(trace) {}
  std::shared_ptr<platform::Timer> scheduledTimer(double interval,
                                                  platform::TimerAction action) override;

  struct Pending {
    std::string selector;
    double fireTime;
  };
  // Valid timers not yet fired, in fire order.
  std::vector<Pending> pending() const;

 private:
  Scheduler& scheduler_;
  const SimTrace& trace_;
};

// The audio session: scripted failures (a null error clears one) and what was asked of it.
class SimAudioSession : public platform::AudioSession {
 public:
  std::shared_ptr<platform::Error> setCategoryPlayback() override;
  std::shared_ptr<platform::Error> setActive(bool active) override;

  void failCategory(std::shared_ptr<platform::Error> error) { categoryFailure = std::move(error); }
  void failActivation(std::shared_ptr<platform::Error> error) {
    activationFailure = std::move(error);
  }

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
  // A resource's path; nothing makes it absent.
  void setResource(const std::string& name, const std::string& type,
                   std::optional<std::string> path);

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> resources_;
};

// The state store in memory: what a run saves, only that run reads. A test can put a blob in
// place (damaged, say) or make reads fail.
class SimStateStore : public platform::StateStore {
 public:
  ReadResult read(const std::string& name) override;
  std::shared_ptr<platform::Error> write(const std::string& name, std::string_view bytes) override;
  // A path, as a folder's store gives: the log names it as a file address.
  std::string location(const std::string& name) const override { return "/state/" + name; }

  void put(const std::string& name, std::string bytes);
  // Reads of `name` fail with `error` from now on (nothing: they succeed again).
  void failReads(const std::string& name, std::shared_ptr<platform::Error> error);
  std::optional<std::string> saved(const std::string& name) const;
  size_t writeCount() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> blobs_;
  std::map<std::string, std::shared_ptr<platform::Error>> readFailures_;
  size_t writes_ = 0;
};

// The system log keeps every record, with the virtual time it was written at.
class SimSystemLog : public platform::SystemLog {
 public:
  SimSystemLog(const Scheduler& scheduler, const SimTrace& trace)
      : scheduler_(scheduler), trace_(trace) {}
  void write(std::string_view record) override;

  struct TimedRecord {
    double time;
    std::string text;
  };
  const std::vector<std::string>& records() const { return records_; }
  const std::vector<TimedRecord>& timedRecords() const { return timedRecords_; }
  // While set, every record goes to `sink` with its time as it is written, and is not kept: a long
  // run then holds no history of its log.
  void setSink(std::function<void(double, std::string_view)> sink) { sink_ = std::move(sink); }

 private:
  const Scheduler& scheduler_;
  const SimTrace& trace_;
  std::function<void(double, std::string_view)> sink_;
  std::mutex mutex_;
  std::vector<std::string> records_;
  std::vector<TimedRecord> timedRecords_;
};

// Viewer input, delivered by the application. Nothing runs afterwards until the test runs the
// scheduler.
class SimInput {
 public:
  SimInput(common::PlatformBase& platform, const SimTrace& trace)
      : platform_(platform), trace_(trace) {}
  // Whether a recogniser took the input.
  bool tap();
  bool swipe(platform::SwipeDirection direction);
  bool pressPlayPause();
  void remoteCommand(platform::RemoteCommandKind kind);

 private:
  common::PlatformBase& platform_;
  const SimTrace& trace_;
};

// Life-cycle changes, screens and sizes, delivered by the application. Nothing runs afterwards
// until the test runs the scheduler.
class SimLifecycle {
 public:
  SimLifecycle(common::PlatformBase& platform, const SimTrace& trace)
      : platform_(platform), trace_(trace) {}
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
  template <typename Change>
  void apply(Change change);

  common::PlatformBase& platform_;
  const SimTrace& trace_;
};

}  // namespace vorn::sim
