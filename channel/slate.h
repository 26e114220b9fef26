#pragma once

#include <string>

#include "programme/json.h"

// The slate: the card shown in place of a video that cannot be shown right now.
namespace vorn::slate {

inline constexpr const char* kHeading = "Solvane TV\n\n";
inline constexpr const char* kCannotShow = "This video cannot be shown right now.\n\n";
inline constexpr const char* kNextVideo = "The next video starts at ";

// The slate's text for `entry`, with the time of day ("HH:MM:SS") the next video starts at.
std::string text(const Json* entry, const std::string& nextStart);

}  // namespace vorn::slate
