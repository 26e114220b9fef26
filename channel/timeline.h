#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace vorn {

// One queue's timeline: every item owns its listed duration as a slot, laid end to end from the
// queue's first item. The timeline starts at `origin()` on the clock and stands still while held
// (playback paused); a release moves the origin on by the pause, so without a pause the timeline
// is the clock. A value: clock times (seconds since 1970) and slot indices in, numbers out; it
// reads no clock and knows no player. Not thread-safe: its owner keeps it on one sequence.
class Timeline {
 public:
  // How far an item's end may fall from its slot's end and still count as on time: a load's
  // whole-second seek alone moves it by up to half a second.
  static constexpr double kToleranceSeconds = 1.0;
  // The least time between two loads of the queue.
  static constexpr double kMinReloadSpacingSeconds = 1.0;
  // The slate's attempts: soon at first, then at a pace that spares a server that is down, and
  // one more before the slot's last seconds.
  static constexpr double kFirstRetrySeconds = 5.0;
  static constexpr double kSecondRetrySeconds = 10.0;
  static constexpr double kRetrySeconds = 30.0;
  static constexpr double kLastChanceSeconds = 10.0;

  Timeline() = default;
  // The slots of `durations` (listed, in queue order), loaded at clock time `loadedAt` with the
  // clock `clockOffset` seconds into the first slot (an offset that is not finite counts as 0).
  Timeline(std::vector<double> durations, double loadedAt, double clockOffset);

  size_t size() const { return durations_.size(); }
  double duration(size_t slot) const { return durations_[slot]; }
  // A slot of no length or less has no rules: its item plays as it is.
  bool hasRules(size_t slot) const { return durations_[slot] > 0.0; }
  // Seconds from the first slot's start: the listed durations added up as the clock adds them.
  double slotStart(size_t slot) const { return slot == 0 ? 0.0 : ends_[slot - 1]; }
  double slotEnd(size_t slot) const { return ends_[slot]; }

  double origin() const { return origin_; }  // clock time at which the first slot started
  double loadedAt() const { return loadedAt_; }
  bool held() const { return heldSince_.has_value(); }

  // Seconds from the first slot's start at clock time `now`, not counting a pause in progress.
  double position(double now) const;
  // The clock time at which the timeline reaches `position`, were playback to go on at `now`.
  double clockAt(double position, double now) const;
  // The first slot that `position` has not passed the end of, if any.
  std::optional<size_t> slotAt(double position) const;

  // Stands the timeline still at `now`; false when it already stands.
  bool hold(double now);
  // Goes on at `now`, later by the pause; false when it did not stand.
  bool release(double now);
  // Moves the timeline so that `slot` starts now (or where it stands, while held).
  void skipTo(size_t slot, double now);

  // Looks the slots over for `matches(slot)` from the one last found on, since events come in
  // queue order; the slot found is where the next look starts.
  template <class Matches>
  std::optional<size_t> find(Matches&& matches) {
    const size_t count = size();
    for (size_t step = 0; step < count; ++step) {
      const size_t slot = (hint_ + step) % count;
      if (matches(slot)) {
        hint_ = slot;
        return slot;
      }
    }
    return std::nullopt;
  }

  // Seconds from `now` to `slot`'s end: negative once it has passed.
  double leftOf(size_t slot, double now) const { return ends_[slot] - position(now); }
  // Seconds from `now` to `slot`'s end, never negative; 0 for a slot without rules.
  double untilEnd(size_t slot, double now) const;
  // Whether an item of `slot` that ends at `now` ends so long before its slot that the slate must
  // fill the rest. An item that played up to its slot's end is on time, however short the slot.
  bool endedEarly(size_t slot, double now) const;
  // Whether an item of `slot` that ends at `now` ends so long after its slot that the next item
  // must be moved onto the clock.
  bool endedLate(size_t slot, double now) const;
  // The slot before `slot` that the timeline is still well inside at `now`, if it has rules.
  std::optional<size_t> earlierSlotOnTheClock(size_t slot, double now) const;
  // The clock time the slate over `slot` names as the next video's start: never before `now`,
  // and for the last slot never sooner than the least spacing of two loads.
  double slateUntil(size_t slot, double now) const;
  // The delay of the slate's next attempt, `left` seconds before its slot ends, after `retries`
  // attempts; none when the slot's end would cut it short at once. `lastChanceDone` says whether
  // the attempt before the slot's last seconds was scheduled, and is set when this one is it.
  static std::optional<double> retryDelay(int retries, double left, bool& lastChanceDone);

  void markFailed(size_t slot) { failed_[slot] = true; }
  // Whether the stream of `slot` could not be opened.
  bool failed(size_t slot) const { return failed_[slot]; }

 private:
  std::vector<double> durations_;
  std::vector<double> ends_;
  std::vector<bool> failed_;
  double origin_ = 0.0;
  double loadedAt_ = 0.0;
  std::optional<double> heldSince_;  // clock time the timeline stood still at
  size_t hint_ = 0;                  // the slot last found
};

}  // namespace vorn
