#pragma once

#include "platform/input.h"
#include "platform/views.h"

namespace vorn::platform {

// Delivery of viewer input to the recognisers of a view, as the touch system does it: each input
// fires at most one recogniser, the first registered that accepts it. Returns whether one fired.
bool deliverTap(View& view);
bool deliverSwipe(View& view, SwipeDirection direction);
bool deliverPress(View& view, int pressType);

}  // namespace vorn::platform
