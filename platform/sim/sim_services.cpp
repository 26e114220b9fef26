#include "platform/sim/sim_services.h"

#include <algorithm>

#include "platform/common/platform_base.h"

namespace vorn::sim {

// --- Timers -------------------------------------------------------------------------------------

SimTimer::SimTimer(Scheduler& scheduler, const SimTrace& trace, double interval,
                   platform::TimerAction action)
    : scheduler_(scheduler),
      trace_(trace),
      interval_(interval),
      selector_(action.selector),
      action_(std::move(action)),
      fireTime_(scheduler.now() + std::max(0.0, interval)) {}

void SimTimer::schedule() {
  Scheduler::Work work;
  work.kind = "timer";
  work.label = selector_;
  work.run = [self = shared_from_this()] { self->fire(); };
  work.discard = [self = shared_from_this()] { self->invalidate(); };
  entry_ = scheduler_.schedule(fireTime_, std::move(work));
  trace_.line("timer scheduled: " + selector_ + " fires at " + formatSeconds(fireTime_));
}

void SimTimer::invalidate() {
  if (!valid_) {
    return;
  }
  valid_ = false;
  // The scheduler's entry may hold the last reference to this timer.
  const auto self = shared_from_this();
  // Released only after the state is settled: the action may hold the last reference to its
  // target, whose destructor may run arbitrary code.
  platform::TimerAction released = std::move(action_);
  action_ = {};
  scheduler_.cancel(entry_);
  ended("invalidated");
}

void SimTimer::fire() {
  if (!valid_) {
    return;
  }
  valid_ = false;
  // Moved out first, so that an invalidate() from inside the action cannot destroy the callable
  // that is running.
  platform::TimerAction action = std::move(action_);
  action_ = {};
  ended("fired");
  if (action.call) {
    action.call(*this);
  }
}

void SimTimer::ended(const char* how) {
  trace_.line(std::string("timer ") + how + ": " + selector_);
}

std::shared_ptr<platform::Timer> SimTimerService::scheduledTimer(double interval,
                                                                 platform::TimerAction action) {
  auto timer = std::make_shared<SimTimer>(scheduler_, trace_, interval, std::move(action));
  timer->schedule();
  return timer;
}

std::vector<SimTimerService::Pending> SimTimerService::pending() const {
  std::vector<Pending> timers;
  for (auto& entry : scheduler_.pending("timer")) {
    timers.push_back({std::move(entry.label), entry.due});
  }
  return timers;
}

// --- Audio, bundle, log -------------------------------------------------------------------------

std::shared_ptr<platform::Error> SimAudioSession::setCategoryPlayback() {
  ++categoryCalls;
  if (categoryFailure) {
    return categoryFailure;
  }
  categoryIsPlayback = true;
  return nullptr;
}

std::shared_ptr<platform::Error> SimAudioSession::setActive(bool activate) {
  ++activationCalls;
  if (activationFailure) {
    return activationFailure;
  }
  active = activate;
  return nullptr;
}

std::optional<std::string> SimBundle::pathForResource(const std::string& name,
                                                      const std::string& type) const {
  std::lock_guard lock(mutex_);
  auto found = resources_.find({name, type});
  if (found == resources_.end()) {
    return std::nullopt;
  }
  return found->second;
}

void SimBundle::setResource(const std::string& name, const std::string& type,
                            std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  resources_[{name, type}] = std::move(path);
}

platform::StateStore::ReadResult SimStateStore::read(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (auto failing = readFailures_.find(name); failing != readFailures_.end()) {
    return {std::nullopt, failing->second};
  }
  auto found = blobs_.find(name);
  if (found == blobs_.end()) {
    return {};
  }
  return {found->second, nullptr};
}

std::shared_ptr<platform::Error> SimStateStore::write(const std::string& name,
                                                      std::string_view bytes) {
  std::lock_guard lock(mutex_);
  blobs_[name] = std::string(bytes);
  ++writes_;
  return nullptr;
}

void SimStateStore::put(const std::string& name, std::string bytes) {
  std::lock_guard lock(mutex_);
  blobs_[name] = std::move(bytes);
}

void SimStateStore::failReads(const std::string& name, std::shared_ptr<platform::Error> error) {
  std::lock_guard lock(mutex_);
  if (error) {
    readFailures_[name] = std::move(error);
  } else {
    readFailures_.erase(name);
  }
}

std::optional<std::string> SimStateStore::saved(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto found = blobs_.find(name);
  return found == blobs_.end() ? std::nullopt : std::optional<std::string>(found->second);
}

size_t SimStateStore::writeCount() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

void SimSystemLog::write(std::string_view whole) {
  const std::string capped = platform::capRecord(whole);
  const std::string_view record = capped;
  if (sink_) {
    sink_(scheduler_.now(), record);
  } else {
    std::lock_guard lock(mutex_);
    records_.emplace_back(record);
    timedRecords_.push_back({scheduler_.now(), std::string(record)});
  }
  if (trace_.logRecords()) {
    trace_.line("log: " + std::string(record));
  }
}

// --- Input and life cycle -----------------------------------------------------------------------

bool SimInput::tap() {
  const bool fired = platform_.application().tap();
  trace_.viewTreeMaybeChanged();
  return fired;
}

bool SimInput::swipe(platform::SwipeDirection direction) {
  const bool fired = platform_.application().swipe(direction);
  trace_.viewTreeMaybeChanged();
  return fired;
}

bool SimInput::pressPlayPause() {
  const bool fired = platform_.application().pressPlayPause();
  trace_.viewTreeMaybeChanged();
  return fired;
}

void SimInput::remoteCommand(platform::RemoteCommandKind kind) {
  platform_.application().remoteCommand(kind);
  trace_.viewTreeMaybeChanged();
}

template <typename Change>
void SimLifecycle::apply(Change change) {
  change(platform_.application());
  trace_.viewTreeMaybeChanged();
}

void SimLifecycle::resignActive() {
  apply([](common::ApplicationHost& application) { application.resignActive(); });
}

void SimLifecycle::enterBackground() {
  apply([](common::ApplicationHost& application) { application.enterBackground(); });
}

void SimLifecycle::enterForeground() {
  apply([](common::ApplicationHost& application) { application.enterForeground(); });
}

void SimLifecycle::becomeActive() {
  apply([](common::ApplicationHost& application) { application.becomeActive(); });
}

void SimLifecycle::terminate() {
  apply([](common::ApplicationHost& application) { application.terminate(); });
}

void SimLifecycle::screenConnected() {
  apply([](common::ApplicationHost& application) { application.screenConnected(); });
}

void SimLifecycle::screenDisconnected() {
  apply([](common::ApplicationHost& application) { application.screenDisconnected(); });
}

void SimLifecycle::resize(const platform::Size& size) {
  apply([&size](common::ApplicationHost& application) { application.resize(size); });
}

void SimLifecycle::memoryWarning() {
  apply([](common::ApplicationHost& application) { application.memoryWarning(); });
}

}  // namespace vorn::sim
