#include "platform/sim/scheduler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace vorn::sim {

namespace {

// Restores the thread flag after background work, also if the work throws.
class BackgroundScope {
 public:
  explicit BackgroundScope(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
  ~BackgroundScope() { flag_.store(false); }
  BackgroundScope(const BackgroundScope&) = delete;
  BackgroundScope& operator=(const BackgroundScope&) = delete;

 private:
  std::atomic<bool>& flag_;
};

}  // namespace

Scheduler::Ticks Scheduler::ticksAt(double seconds) {
  // Beyond this the product below leaves the range of Ticks.
  constexpr double kLimit = 9.2e12;
  if (std::isnan(seconds) || seconds <= -kLimit) {
    return std::numeric_limits<Ticks>::min();
  }
  if (seconds >= kLimit) {
    return std::numeric_limits<Ticks>::max();
  }
  return std::llround(seconds * kTicksPerSecond);
}

Scheduler::Scheduler(double startTime)
    : now_(ticksAt(startTime)), nowSeconds_(startTime), mainThread_(std::this_thread::get_id()) {}

void Scheduler::post(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  mainBlocks_.push_back(std::move(block));
}

bool Scheduler::isMainThread() const {
  return std::this_thread::get_id() == mainThread_ && !inBackground_.load();
}

Scheduler::Id Scheduler::schedule(double due, Work work, Lane lane, std::optional<uint64_t> order) {
  // A time that is not a number comes out as the earliest tick: now.
  return insert(ticksAt(due), due, std::move(work), lane, order);
}

Scheduler::Id Scheduler::scheduleAt(Ticks due, Work work, Lane lane,
                                    std::optional<uint64_t> order) {
  return insert(due, secondsAt(due), std::move(work), lane, order);
}

Scheduler::Id Scheduler::insert(Ticks due, double dueSeconds, Work work, Lane lane,
                                std::optional<uint64_t> order) {
  const uint64_t rank = order ? *order : nextSequence();
  std::lock_guard lock(mutex_);
  const Id id = nextId_++;
  // Never before now.
  if (due < nowTicks() || std::isnan(dueSeconds)) {
    due = nowTicks();
    dueSeconds = now();
  }
  const Key key{due, lane, rank, id};
  entries_.emplace(key, Entry{std::move(work), dueSeconds});
  keys_.emplace(id, key);
  return id;
}

bool Scheduler::cancel(Id id) {
  Work released;
  {
    std::lock_guard lock(mutex_);
    auto key = keys_.find(id);
    if (key == keys_.end()) {
      return false;
    }
    auto entry = entries_.find(key->second);
    released = std::move(entry->second.work);
    entries_.erase(entry);
    keys_.erase(key);
  }
  return true;
}

size_t Scheduler::pendingMainBlocks() const {
  std::lock_guard lock(mutex_);
  return mainBlocks_.size();
}

std::vector<Scheduler::Pending> Scheduler::pending(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  std::vector<Pending> out;
  for (const auto& [key, entry] : entries_) {
    if (entry.work.kind == kind) {
      out.push_back({entry.due, entry.work.label});
    }
  }
  return out;
}

size_t Scheduler::pendingCount(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(),
                    [&](const auto& entry) { return entry.second.work.kind == kind; }));
}

std::optional<double> Scheduler::nextDueTime() const {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) {
    return std::nullopt;
  }
  return entries_.begin()->second.due;
}

void Scheduler::runUntilIdle() {
  // Work that keeps re-posting itself at one instant would never let time move; stop loudly
  // rather than hang a test run.
  constexpr size_t kMaxStepsAtOneInstant = 10'000'000;
  size_t steps = 0;
  while (runOneDueStep()) {
    if (++steps == kMaxStepsAtOneInstant) {
      std::fprintf(stderr, "vorn::sim::Scheduler: work at %.3f does not settle; aborting\n", now());
      std::abort();
    }
  }
}

bool Scheduler::runOneDueStep() {
  std::function<void()> block;
  Work work;
  {
    std::lock_guard lock(mutex_);
    if (!mainBlocks_.empty()) {
      block = std::move(mainBlocks_.front());
      mainBlocks_.pop_front();
    } else if (!entries_.empty() && std::get<0>(entries_.begin()->first) <= nowTicks()) {
      auto first = entries_.begin();
      keys_.erase(std::get<3>(first->first));
      work = std::move(first->second.work);
      moveClock(nowTicks(), first->second.due);
      entries_.erase(first);
    } else {
      return false;
    }
  }
  if (block) {
    block();
    block = nullptr;
    if (afterMainTurn_) {
      afterMainTurn_();
    }
    return true;
  }
  runWork(std::move(work));
  return true;
}

void Scheduler::runWork(Work work) {
  if (work.thread == Thread::background) {
    BackgroundScope background(inBackground_);
    work.run();
    // What the work holds is released on the thread it ran on.
    work = {};
    return;
  }
  work.run();
  work = {};
  if (afterMainTurn_) {
    afterMainTurn_();
  }
}

void Scheduler::advance(double seconds) {
  advanceTo(now() + seconds);
}

void Scheduler::advanceTo(double wallTime) {
  if (!std::isfinite(wallTime)) {
    runUntilIdle();
    return;
  }
  advanceTo(ticksAt(wallTime), wallTime);
}

void Scheduler::advanceTo(Ticks wallTicks, double wallSeconds) {
  runUntilIdle();
  while (true) {
    std::optional<Ticks> next;
    {
      std::lock_guard lock(mutex_);
      if (!entries_.empty() && std::get<0>(entries_.begin()->first) <= wallTicks) {
        next = std::get<0>(entries_.begin()->first);
        moveClock(*next, entries_.begin()->second.due);
      }
    }
    if (!next) {
      break;
    }
    runUntilIdle();
  }
  {
    std::lock_guard lock(mutex_);
    moveClock(wallTicks, wallSeconds);
  }
  runUntilIdle();
}

void Scheduler::moveClock(Ticks ticks, double seconds) {
  if (ticks > nowTicks()) {
    now_.store(ticks);
    nowSeconds_.store(seconds);
  } else if (ticks == nowTicks() && seconds > now()) {
    nowSeconds_.store(seconds);
  }
}

Scheduler::Drained Scheduler::drain() {
  Drained drained;
  std::lock_guard lock(mutex_);
  drained.blocks.swap(mainBlocks_);
  for (auto& [key, entry] : entries_) {
    drained.work.push_back(std::move(entry.work));
  }
  entries_.clear();
  keys_.clear();
  return drained;
}

std::string formatSeconds(double seconds) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
  return buffer;
}

}  // namespace vorn::sim
