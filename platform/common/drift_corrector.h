#pragma once

namespace vorn::common {

// Turns the measured drift of a picture from the clock into a playback speed: a proportional
// part that takes an offset back within a few seconds, and an integral part that learns a stream
// whose own pace is off (a source that runs slow), so it stays on the clock without a standing
// offset. The speed stays within 1 +/- platform::kMaxSpeedCorrection and moves in steps of
// kSpeedStep, so a player is told of a change only when there is one.
class DriftCorrector {
 public:
  static constexpr double kSpeedStep = 0.001;
  // Drift smaller than this is noise: it neither moves the speed nor is learnt.
  static constexpr double kDeadBand = 0.004;

  // `drift`: picture minus clock, in seconds (positive: the picture is ahead). `elapsed`: seconds
  // of playback since the previous measurement. Returns the speed to play at from now.
  double update(double drift, double elapsed);
  double speed() const { return speed_; }
  // Forgets the offset part; the learnt pace is kept (a new item of the same source).
  void restart();
  // Forgets everything: back to 1.0.
  void reset();

 private:
  double learnt_ = 0.0;
  double speed_ = 1.0;
};

}  // namespace vorn::common
