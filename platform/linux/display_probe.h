#pragma once

#include <optional>
#include <string>

// Whether the display server the environment names (WAYLAND_DISPLAY, DISPLAY) answers, checked
// before the player opens a window so that a dead display is a failure to start.
namespace vorn::linuxbackend {

// Whether DISPLAY or WAYLAND_DISPLAY names a display at all.
bool displayNamed();

// Nothing when a named display server accepts a connection, else why not, as one line. Connects
// to the X or Wayland socket (or the X server's TCP port for a remote DISPLAY). Any thread.
std::optional<std::string> displayProblem();

}  // namespace vorn::linuxbackend
