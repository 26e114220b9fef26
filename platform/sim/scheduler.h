#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"

namespace vorn::sim {

// The one owner of virtual time. It holds the main queue (FIFO) and one ordered queue of due work:
// timers, download completions and media events are all entries of it. Nothing runs until a test
// (or `vorn simulate`) calls runUntilIdle() or advance().
//
// Virtual time is a whole number of microseconds (Ticks): the order of entries and whether one is
// due compare ticks, so that instants computed in different ways agree and due times apart by less
// than a microsecond are one instant. The seconds of the platform::Clock API are converted at the
// edge, to the nearest tick. now() in seconds is the exact time that work at this tick asked for
// (the latest of them), so that work which checks the clock against its own due time, computed
// in seconds, sees that time reached.
//
// Order at one instant: main-queue blocks first, in posting order; when the main queue is empty,
// the first due entry. Entries are ordered by due tick, then lane (a media event comes before
// other work due at the same instant: the picture moves before the run loop's timers), then by
// their order key, which is the scheduling sequence unless the caller gives one. So equal
// deadlines in one lane run in the order they were scheduled. Time moves only when nothing is
// due now.
//
// Threads: everything runs on the thread that made the scheduler ("the main thread"), except that
// background entries (download completions) run as "the background thread": isMainThread() is
// false while they run. post(), schedule() and cancel() may be called from any thread.
class Scheduler : public platform::MainQueue, public platform::Clock {
 public:
  enum class Lane { media = 0, work = 1 };
  enum class Thread { main, background };
  using Id = uint64_t;
  // Microseconds since 1970.
  using Ticks = int64_t;
  static constexpr Ticks kTicksPerSecond = 1'000'000;
  // The nearest tick; a time past the range (or not a number) gives the first or last tick.
  static Ticks ticksAt(double seconds);
  static double secondsAt(Ticks ticks) { return static_cast<double>(ticks) / kTicksPerSecond; }

  struct Work {
    std::function<void()> run;
    // Called instead of run when the work is dropped at teardown (a timer releases its action).
    std::function<void()> discard;
    Thread thread = Thread::main;
    // What the entry is ("timer", "download", "media") and a name for it (a timer's selector), for
    // observation.
    std::string kind;
    std::string label;
  };

  struct Pending {
    double due;
    std::string label;
  };

  explicit Scheduler(double startTime);
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // platform::MainQueue
  void post(std::function<void()> block) override;
  bool isMainThread() const override;
  // platform::Clock
  double timeIntervalSince1970() const override { return now(); }

  double now() const { return nowSeconds_.load(); }
  Ticks nowTicks() const { return now_.load(); }
  // A fresh value of the sequence that orders equal deadlines.
  uint64_t nextSequence() { return sequence_.fetch_add(1); }

  // Adds work due at `due` (never before now). `order` ranks it among equal deadlines of its lane;
  // by default the next sequence, so that it runs after everything scheduled before it.
  Id schedule(double due, Work work, Lane lane = Lane::work,
              std::optional<uint64_t> order = std::nullopt);
  Id scheduleAt(Ticks due, Work work, Lane lane = Lane::work,
                std::optional<uint64_t> order = std::nullopt);
  // Removes work not yet started; false when it has run or was removed. The work is released
  // after the queue is consistent again, as it may hold the last reference to arbitrary objects.
  bool cancel(Id id);

  // Runs main-queue blocks and work due now until nothing is due now.
  void runUntilIdle();
  // Moves time forward, running everything that falls inside in time order (each followed by
  // runUntilIdle at that instant); ends with now() == old now + seconds.
  void advance(double seconds);
  // As advance(), to an absolute wall time; an earlier or a non-finite time only runs what is due
  // now.
  void advanceTo(double wallTime);
  void advanceToTicks(Ticks wallTime) { advanceTo(wallTime, secondsAt(wallTime)); }
  // The due time of the next entry, if any.
  std::optional<double> nextDueTime() const;

  size_t pendingMainBlocks() const;
  // Entries of one kind not yet run, in the order they will run.
  std::vector<Pending> pending(const std::string& kind) const;
  size_t pendingCount(const std::string& kind) const;

  // Called after every main-thread turn (a block or main-thread entry), so that a tracer can diff
  // the view tree.
  void setAfterMainTurn(std::function<void()> hook) { afterMainTurn_ = std::move(hook); }

  // Teardown: takes every queued block and entry out without running them. The caller discards
  // the entries (Work::discard) and releases both.
  struct Drained {
    std::deque<std::function<void()>> blocks;
    std::vector<Work> work;
    bool empty() const { return blocks.empty() && work.empty(); }
  };
  Drained drain();

 private:
  // The ordering rule: due tick, then lane, then order key; the id keeps keys unique.
  using Key = std::tuple<Ticks, Lane, uint64_t, Id>;
  struct Entry {
    Work work;
    // The time asked for, in seconds.
    double due;
  };

  bool runOneDueStep();
  void runWork(Work work);

  void advanceTo(Ticks wallTicks, double wallSeconds);
  // Moves the clock to `ticks`, or within it to `seconds`; never back. Called with mutex_ held, so
  // that schedule() from another thread sees the two halves of now together.
  void moveClock(Ticks ticks, double seconds);
  Id insert(Ticks due, double dueSeconds, Work work, Lane lane, std::optional<uint64_t> order);

  std::atomic<Ticks> now_;
  std::atomic<double> nowSeconds_;
  std::atomic<uint64_t> sequence_{0};
  std::thread::id mainThread_;
  std::atomic<bool> inBackground_{false};
  std::function<void()> afterMainTurn_;

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> mainBlocks_;
  std::map<Key, Entry> entries_;
  std::unordered_map<Id, Key> keys_;
  Id nextId_ = 1;
};

// Seconds with three decimals, as trace lines print times and positions.
std::string formatSeconds(double seconds);

}  // namespace vorn::sim
