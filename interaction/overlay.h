#pragma once

#include <string>

#include "platform/geometry.h"
#include "programme/json.h"

// The paused overlay: its text and where the band and label go at the foot of the view.
namespace vorn::overlay {

inline constexpr const char* kPausedHeading = "Solvane TV - Paused\n";
inline constexpr const char* kNowPlaying = "Now playing:\n";

inline constexpr double kSideInset = 90.0;
inline constexpr double kHorizontalReduction = 180.0;
inline constexpr double kVerticalReduction = 120.0;
inline constexpr double kBandMargin = 60.0;

// The entry's "description_attribution" when it is a text, otherwise empty.
std::string descriptionOf(const Json* entry);
// prefix + "Now playing:\n" + the description.
std::string compose(const std::string& prefix, const Json* entry);

// "HH:MM:SS" of a clock time (seconds since 1970) in the machine's local time zone.
std::string localTimeOfDay(double secondsSince1970);

// W and H are the view's width and height, h the label's fitted height.
inline platform::Rect labelFitFrame(double W, double H) {
  return {0.0, 0.0, W - kHorizontalReduction, H - kVerticalReduction};
}
inline platform::Rect bandFrame(double W, double H, double h) {
  return {0.0, H - h - kBandMargin, W, h + kBandMargin};
}
inline platform::Rect labelFrame(double W, double h) {
  return {kSideInset, 0.0, W - kHorizontalReduction, h};
}

}  // namespace vorn::overlay
