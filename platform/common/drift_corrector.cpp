#include "platform/common/drift_corrector.h"

#include <algorithm>
#include <cmath>

#include "platform/media.h"

namespace vorn::common {

namespace {

// Per second of drift: a tenth of a second behind plays 10 % faster (clamped to the limit).
constexpr double kProportional = 1.0;
// Per second of drift and second of play.
constexpr double kIntegral = 0.5;

}  // namespace

double DriftCorrector::update(double drift, double elapsed) {
  if (!std::isfinite(drift) || !std::isfinite(elapsed) || elapsed < 0.0) {
    return speed_;
  }
  constexpr double limit = platform::kMaxSpeedCorrection;
  double proportional = 0.0;
  if (std::abs(drift) >= kDeadBand) {
    proportional = kProportional * drift;
    learnt_ = std::clamp(learnt_ + kIntegral * drift * elapsed, -limit, limit);
  }
  const double wanted = std::clamp(1.0 - proportional - learnt_, 1.0 - limit, 1.0 + limit);
  speed_ = std::round(wanted / kSpeedStep) * kSpeedStep;
  return speed_;
}

void DriftCorrector::restart() {
  speed_ = std::clamp(1.0 - learnt_, 1.0 - platform::kMaxSpeedCorrection,
                      1.0 + platform::kMaxSpeedCorrection);
  speed_ = std::round(speed_ / kSpeedStep) * kSpeedStep;
}

void DriftCorrector::reset() {
  learnt_ = 0.0;
  speed_ = 1.0;
}

}  // namespace vorn::common
