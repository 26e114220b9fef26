#include "platform/sim/world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace vorn::sim {

namespace {

// Restores the thread flag after a completion, also if the completion throws.
class BackgroundScope {
 public:
  explicit BackgroundScope(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
  ~BackgroundScope() { flag_.store(false); }
  BackgroundScope(const BackgroundScope&) = delete;
  BackgroundScope& operator=(const BackgroundScope&) = delete;

 private:
  std::atomic<bool>& flag_;
};

class SimTimeObserverToken : public platform::TimeObserverToken {
 public:
  explicit SimTimeObserverToken(uint64_t key) : key(key) {}
  const uint64_t key;
};

}  // namespace

namespace detail {

void SimMainQueue::post(std::function<void()> block) {
  world_.post(std::move(block));
}

bool SimMainQueue::isMainThread() const {
  return world_.onMainThreadNow();
}

SimTimer::SimTimer(World& world, double interval, platform::TimerAction action, double fireTime,
                   uint64_t sequence)
    : world_(world),
      interval_(interval),
      selector_(action.selector),
      action_(std::move(action)),
      fireTime_(fireTime),
      sequence_(sequence) {}

void SimTimer::invalidate() {
  if (!valid_) {
    return;
  }
  valid_ = false;
  // Released only after the state is settled: the action may hold the last reference to its
  // target, whose destructor may run arbitrary code.
  platform::TimerAction released = std::move(action_);
  action_ = {};
  world_.timerEnded(*this, "invalidated");
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
  world_.timerEnded(*this, "fired");
  if (action.call) {
    action.call(*this);
  }
}

std::shared_ptr<platform::Timer> SimTimerService::scheduledTimer(double interval,
                                                                 platform::TimerAction action) {
  const double fireTime = world_.now() + std::max(0.0, interval);
  auto timer = std::make_shared<SimTimer>(world_, interval, std::move(action), fireTime,
                                          world_.nextSequence());
  world_.addTimer(timer);
  return timer;
}

double SimClock::timeIntervalSince1970() const {
  return world_.now();
}

void SimUrlSession::startDataTask(const platform::Url& url,
                                  platform::DataTaskCompletion completion) {
  world_.requestStarted(url, std::move(completion));
}

std::shared_ptr<platform::QueuePlayer> SimMediaService::makeQueuePlayer(
    std::vector<std::shared_ptr<platform::PlayerItem>> items) {
  return world_.makePlayer(std::move(items));
}

std::shared_ptr<platform::PlayerLayer> SimMediaService::makePlayerLayer(
    std::shared_ptr<platform::QueuePlayer> player) {
  return std::make_shared<SimPlayerLayer>(std::move(player));
}

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

void SimBundle::set(const std::string& name, const std::string& type,
                    std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  resources_[{name, type}] = std::move(path);
}

void SimSystemLog::write(std::string_view record) {
  world_.logRecord(record);
}

}  // namespace detail

World::World(WorldOptions options)
    : options_(options),
      now_(options.startTime),
      mainThread_(std::this_thread::get_id()),
      application_(std::make_unique<platform::Application>(*this)) {
  application_->setScreenBounds({0.0, 0.0, options.screenSize.width, options.screenSize.height});
}

bool World::launch(const platform::ClassRegistry& registry, const std::string& delegateClassName,
                   const platform::MainInterface& mainInterface,
                   const std::function<void(platform::ViewController&)>& configureRootController) {
  const bool launched = application_->launch(registry, delegateClassName, mainInterface,
                                             screenBounds(), configureRootController);
  notifyViewTreeMaybeChanged();
  return launched;
}

World::~World() {
  // A tracer or hook may refer to objects that are already gone.
  trace_ = nullptr;
  viewTreeHook_ = nullptr;
  // The application first: delegate, window and controller. An empty one takes its place
  // beforehand, so that a destructor that reaches application() still finds one.
  auto application = std::exchange(application_, std::make_unique<platform::Application>(*this));
  application_->setScreenBounds(application->screenBounds());
  application.reset();
  // Then everything that may still hold the logic's objects, released while every service is
  // still in place (a destructor may post, schedule or register more; a few rounds settle that).
  // The centres are swapped for empty ones before their actions are released, so that an object
  // that unregisters itself in its destructor finds a working centre.
  for (int round = 0; round < 16; ++round) {
    std::unique_ptr<platform::NotificationCenter> notifications;
    if (notificationCenter_->registrationCount() != 0) {
      notifications =
          std::exchange(notificationCenter_, std::make_unique<platform::NotificationCenter>());
    }
    std::unique_ptr<platform::RemoteCommandCenter> commands;
    if (round == 0) {
      commands =
          std::exchange(remoteCommandCenter_, std::make_unique<platform::RemoteCommandCenter>());
    }
    auto observers = std::move(observers_);
    observers_.clear();
    auto timers = std::move(timers_);
    timers_.clear();
    std::deque<std::function<void()>> blocks;
    std::vector<Completion> completions;
    {
      std::lock_guard lock(mutex_);
      blocks.swap(mainBlocks_);
      completions.swap(completions_);
    }
    const bool empty = !notifications && !commands && observers.empty() && timers.empty() &&
                       blocks.empty() && completions.empty();
    for (auto& timer : timers) {
      timer->invalidate();
    }
    observers.clear();
    timers.clear();
    blocks.clear();
    completions.clear();
    notifications.reset();
    commands.reset();
    if (empty) {
      break;
    }
  }
}

void World::trace(const std::string& line) {
  if (trace_) {
    trace_(now(), line);
  }
}

void World::notifyViewTreeMaybeChanged() {
  if (viewTreeHook_) {
    viewTreeHook_();
  }
}

bool World::onMainThreadNow() const {
  return std::this_thread::get_id() == mainThread_ && !inBackground_.load();
}

void World::post(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  mainBlocks_.push_back(std::move(block));
}

size_t World::pendingMainBlocks() const {
  std::lock_guard lock(mutex_);
  return mainBlocks_.size();
}

// --- Running work -------------------------------------------------------------------------------

void World::runUntilIdle() {
  // Work that keeps re-posting itself at one instant would never let time move; stop loudly
  // rather than hang a test run.
  constexpr size_t kMaxStepsAtOneInstant = 10'000'000;
  size_t steps = 0;
  while (runOneDueStep()) {
    if (++steps == kMaxStepsAtOneInstant) {
      std::fprintf(stderr, "vorn::sim::World: work at %.3f does not settle; aborting\n", now());
      std::abort();
    }
  }
}

bool World::runOneDueStep() {
  std::function<void()> block;
  {
    std::lock_guard lock(mutex_);
    if (!mainBlocks_.empty()) {
      block = std::move(mainBlocks_.front());
      mainBlocks_.pop_front();
    }
  }
  if (block) {
    block();
    block = nullptr;
    notifyViewTreeMaybeChanged();
    return true;
  }

  const double t = now();
  constexpr double kNever = std::numeric_limits<double>::infinity();

  // Media events.
  std::shared_ptr<SimQueuePlayer> mediaPlayer;
  double mediaTime = kNever;
  std::erase_if(players_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : players_) {
    auto player = weak.lock();
    if (!player) {
      continue;
    }
    auto time = player->nextEventTime();
    if (time && *time <= t && *time < mediaTime) {
      mediaTime = *time;
      mediaPlayer = std::move(player);
    }
  }

  // Timers.
  std::erase_if(timers_, [](const auto& timer) { return !timer->isValid(); });
  std::shared_ptr<detail::SimTimer> timer;
  for (const auto& candidate : timers_) {
    if (candidate->fireTime() > t) {
      continue;
    }
    if (!timer || candidate->fireTime() < timer->fireTime() ||
        (candidate->fireTime() == timer->fireTime() && candidate->sequence() < timer->sequence())) {
      timer = candidate;
    }
  }

  // URL completions.
  std::optional<Completion> completion;
  {
    std::lock_guard lock(mutex_);
    auto best = completions_.end();
    for (auto it = completions_.begin(); it != completions_.end(); ++it) {
      if (it->due > t) {
        continue;
      }
      if (best == completions_.end() || it->due < best->due ||
          (it->due == best->due && it->sequence < best->sequence)) {
        best = it;
      }
    }
    if (best != completions_.end()) {
      completion = std::move(*best);
      completions_.erase(best);
    }
  }

  const double timerTime = timer ? timer->fireTime() : kNever;
  const double completionTime = completion ? completion->due : kNever;
  if (mediaPlayer && mediaTime <= timerTime && mediaTime <= completionTime) {
    if (completion) {
      // Not its turn yet: put it back, it keeps its place in the order.
      std::lock_guard lock(mutex_);
      completions_.push_back(std::move(*completion));
    }
    mediaPlayer->runDueEvent();
    mediaPlayer.reset();
    notifyViewTreeMaybeChanged();
    return true;
  }
  const bool timerFirst =
      timer && (!completion || timerTime < completionTime ||
                (timerTime == completionTime && timer->sequence() < completion->sequence));
  if (timerFirst) {
    if (completion) {
      std::lock_guard lock(mutex_);
      completions_.push_back(std::move(*completion));
    }
    timer->fire();
    timer.reset();
    notifyViewTreeMaybeChanged();
    return true;
  }
  if (completion) {
    runCompletion(std::move(*completion));
    return true;
  }
  return false;
}

void World::runCompletion(Completion completion) {
  {
    BackgroundScope background(inBackground_);
    completion.run();
    completion.run = nullptr;
  }
  trace("download finished: " + completion.url);
}

std::optional<double> World::nextEventTime() const {
  std::optional<double> next;
  auto consider = [&next](double time) {
    if (!next || time < *next) {
      next = time;
    }
  };
  for (const auto& weak : players_) {
    if (auto player = weak.lock()) {
      if (auto time = player->nextEventTime()) {
        consider(*time);
      }
    }
  }
  for (const auto& timer : timers_) {
    if (timer->isValid()) {
      consider(timer->fireTime());
    }
  }
  std::lock_guard lock(mutex_);
  for (const auto& completion : completions_) {
    consider(completion.due);
  }
  return next;
}

void World::advance(double seconds) {
  advanceTo(now() + seconds);
}

void World::advanceTo(double wallTime) {
  runUntilIdle();
  if (!std::isfinite(wallTime)) {
    return;
  }
  while (true) {
    auto next = nextEventTime();
    if (!next || *next > wallTime) {
      break;
    }
    if (*next > now()) {
      now_.store(*next);
    }
    runUntilIdle();
  }
  if (wallTime > now()) {
    now_.store(wallTime);
  }
  runUntilIdle();
}

// --- Timers -------------------------------------------------------------------------------------

void World::addTimer(const std::shared_ptr<detail::SimTimer>& timer) {
  timers_.push_back(timer);
  trace("timer scheduled: " + timer->selector() + " fires at " + formatSeconds(timer->fireTime()));
}

void World::timerEnded(const detail::SimTimer& timer, const char* how) {
  trace(std::string("timer ") + how + ": " + timer.selector());
}

std::vector<World::PendingTimer> World::pendingTimers() const {
  std::vector<std::shared_ptr<detail::SimTimer>> valid;
  for (const auto& timer : timers_) {
    if (timer->isValid()) {
      valid.push_back(timer);
    }
  }
  std::stable_sort(valid.begin(), valid.end(), [](const auto& a, const auto& b) {
    return a->fireTime() < b->fireTime() ||
           (a->fireTime() == b->fireTime() && a->sequence() < b->sequence());
  });
  std::vector<PendingTimer> pending;
  for (const auto& timer : valid) {
    pending.push_back({timer->selector(), timer->fireTime()});
  }
  return pending;
}

// --- Network ------------------------------------------------------------------------------------

void World::serve(const std::string& url, Response response) {
  std::lock_guard lock(mutex_);
  rules_[url] = std::move(response);
}

void World::serveOnce(const std::string& url, Response response) {
  std::lock_guard lock(mutex_);
  oneShots_[url].push_back(std::move(response));
}

std::vector<std::string> World::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t World::pendingDownloads() const {
  std::lock_guard lock(mutex_);
  return completions_.size();
}

void World::writeFile(const std::string& path, std::string contents) {
  std::lock_guard lock(mutex_);
  files_[path] = std::move(contents);
}

void World::removeFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  files_.erase(path);
}

void World::requestStarted(const platform::Url& url, platform::DataTaskCompletion completion) {
  const std::string& text = url.text();
  std::optional<std::string> data;
  std::shared_ptr<platform::UrlResponse> response;
  std::shared_ptr<platform::Error> error;
  double delay = 0.0;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(text);
    std::optional<Response> scripted;
    auto once = oneShots_.find(text);
    if (once != oneShots_.end() && !once->second.empty()) {
      scripted = std::move(once->second.front());
      once->second.pop_front();
    } else if (auto rule = rules_.find(text); rule != rules_.end()) {
      scripted = rule->second;
    }
    if (scripted) {
      data = std::move(scripted->data);
      error = std::move(scripted->error);
      delay = std::max(0.0, scripted->delay);
      if (!error) {
        response = std::make_shared<platform::UrlResponse>(url, scripted->status);
      }
    } else if (url.isFileUrl()) {
      auto file = files_.find(url.filePath());
      if (file == files_.end()) {
        error = platform::Error::make(platform::kUrlErrorDomain, -1100,
                                      "The requested file does not exist.");
      } else {
        data = file->second;
        response = std::make_shared<platform::UrlResponse>(url, 0);
      }
    } else {
      error = platform::Error::make(platform::kUrlErrorDomain, -1003,
                                    "A server with the specified hostname could not be found.");
    }
    // The completion carries the answer decided now, and runs exactly once.
    completions_.push_back({now() + delay, nextSequence(), text,
                            [completion = std::move(completion), data = std::move(data),
                             response = std::move(response), error = std::move(error)]() mutable {
                              completion(std::move(data), std::move(response), std::move(error));
                            }});
  }
  trace("download started: " + text);
}

// --- Bundle, audio, log -------------------------------------------------------------------------

void World::setBundleResource(const std::string& name, const std::string& type,
                              std::optional<std::string> path) {
  bundle_.set(name, type, std::move(path));
}

void World::failAudioCategory(std::shared_ptr<platform::Error> error) {
  audioSession_.categoryFailure = std::move(error);
}

void World::failAudioActivation(std::shared_ptr<platform::Error> error) {
  audioSession_.activationFailure = std::move(error);
}

void World::logRecord(std::string_view record) {
  if (logRecordSink_) {
    logRecordSink_(now(), record);
  } else {
    std::lock_guard lock(mutex_);
    logRecords_.emplace_back(record);
    timedLogRecords_.push_back({now(), std::string(record)});
  }
  if (traceLogRecords_) {
    trace("log: " + std::string(record));
  }
}

// --- Media --------------------------------------------------------------------------------------

void World::setMediaLength(const std::string& url, double seconds) {
  mediaLengths_[url] = std::max(0.0, seconds);
}

double World::mediaLength(const std::string& url) const {
  auto found = mediaLengths_.find(url);
  return found == mediaLengths_.end() ? std::max(0.0, options_.defaultMediaLength) : found->second;
}

void World::setBroken(const std::string& url) {
  broken_[url] = true;
}

bool World::isBroken(const std::string& url) const {
  return broken_.count(url) != 0;
}

std::vector<std::shared_ptr<SimQueuePlayer>> World::livePlayers() const {
  std::vector<std::shared_ptr<SimQueuePlayer>> live;
  for (const auto& weak : players_) {
    if (auto player = weak.lock()) {
      live.push_back(std::move(player));
    }
  }
  return live;
}

bool World::isPlayerAlive(uint64_t playerId) const {
  for (const auto& weak : players_) {
    auto player = weak.lock();
    if (player && player->id() == playerId) {
      return true;
    }
  }
  return false;
}

std::shared_ptr<platform::QueuePlayer> World::makePlayer(
    std::vector<std::shared_ptr<platform::PlayerItem>> items) {
  const size_t count = items.size();
  auto player = std::make_shared<SimQueuePlayer>(*this, nextPlayerId_++, std::move(items));
  std::erase_if(players_, [](const auto& weak) { return weak.expired(); });
  players_.push_back(player);
  latestPlayer_ = player;
  trace("player made with " + std::to_string(count) + " items");
  auto current = player->currentItem();
  trace("current item: " + (current ? current->asset()->url().text() + " at 0.000" : "none"));
  return player;
}

std::shared_ptr<platform::TimeObserverToken> World::addObserver(uint64_t playerId,
                                                                std::vector<double> times,
                                                                std::function<void()> block) {
  const uint64_t key = nextObserverKey_++;
  auto token = std::make_shared<SimTimeObserverToken>(key);
  observers_.push_back({token,
                        {key, playerId, std::move(times),
                         std::make_shared<std::function<void()>>(std::move(block))}});
  return token;
}

void World::removeObserver(uint64_t playerId,
                           const std::shared_ptr<platform::TimeObserverToken>& token) {
  auto found = std::find_if(observers_.begin(), observers_.end(), [&](const auto& entry) {
    return entry.first == token && entry.second.playerId == playerId;
  });
  if (found == observers_.end()) {
    return;
  }
  // The block (and what it holds) is released after the list is consistent again.
  auto released = std::move(found->second.block);
  observers_.erase(found);
}

size_t World::observerCountOf(uint64_t playerId) const {
  return static_cast<size_t>(
      std::count_if(observers_.begin(), observers_.end(),
                    [&](const auto& e) { return e.second.playerId == playerId; }));
}

std::vector<std::pair<uint64_t, double>> World::boundariesOf(uint64_t playerId) const {
  std::vector<std::pair<uint64_t, double>> boundaries;
  for (const auto& [token, observer] : observers_) {
    if (observer.playerId != playerId) {
      continue;
    }
    for (double time : observer.times) {
      boundaries.emplace_back(observer.key, time);
    }
  }
  return boundaries;
}

void World::postCrossing(uint64_t observerKey) {
  post([this, observerKey] {
    auto found = std::find_if(observers_.begin(), observers_.end(),
                              [&](const auto& entry) { return entry.second.key == observerKey; });
    // Removed since the crossing, or its player was dropped: the block is not called.
    if (found == observers_.end() || !isPlayerAlive(found->second.playerId)) {
      return;
    }
    auto block = found->second.block;
    (*block)();
  });
}

// --- Life cycle and input -----------------------------------------------------------------------

bool World::tap() {
  bool fired = application_->tap();
  notifyViewTreeMaybeChanged();
  return fired;
}

bool World::swipe(platform::SwipeDirection direction) {
  bool fired = application_->swipe(direction);
  notifyViewTreeMaybeChanged();
  return fired;
}

bool World::pressPlayPause() {
  bool fired = application_->pressPlayPause();
  notifyViewTreeMaybeChanged();
  return fired;
}

void World::remoteCommand(platform::RemoteCommandKind kind) {
  application_->remoteCommand(kind);
  notifyViewTreeMaybeChanged();
}

void World::resignActive() {
  application_->resignActive();
  notifyViewTreeMaybeChanged();
}

void World::enterBackground() {
  application_->enterBackground();
  notifyViewTreeMaybeChanged();
}

void World::enterForeground() {
  application_->enterForeground();
  notifyViewTreeMaybeChanged();
}

void World::becomeActive() {
  application_->becomeActive();
  notifyViewTreeMaybeChanged();
}

void World::terminate() {
  application_->terminate();
  notifyViewTreeMaybeChanged();
}

void World::screenConnected() {
  application_->screenConnected();
  notifyViewTreeMaybeChanged();
}

void World::screenDisconnected() {
  application_->screenDisconnected();
  notifyViewTreeMaybeChanged();
}

void World::resize(const platform::Size& size) {
  application_->resize(size);
  notifyViewTreeMaybeChanged();
}

void World::memoryWarning() {
  application_->memoryWarning();
  notifyViewTreeMaybeChanged();
}

std::string formatSeconds(double seconds) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
  return buffer;
}

}  // namespace vorn::sim
