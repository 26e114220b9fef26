#pragma once

#include <string>

#include "platform/application.h"
#include "platform/media.h"

// What the platform needs to start the channel: the delegate's class name, the start-up
// description naming the root controller, and the classes it makes by name.
namespace vorn::app {

inline constexpr const char* kDelegateClassName = "AppDelegate";
inline constexpr const char* kRootControllerClassName = "VorniOSViewController";

platform::MainInterface mainInterface();
platform::ClassRegistry classRegistry();

// Sets the developer switch on a root controller before its view loads (for --developer-mode).
void enableDeveloperMode(platform::ViewController& controller);

// Sets the seconds after which a root controller left alone pauses itself (0: never); before its
// view loads, or later on the main thread.
void setInactivityPause(platform::ViewController& controller, double seconds);

// The operator's new playlist address and refresh interval for a running root controller; main
// thread.
void changePlaylistSettings(platform::ViewController& controller, const std::string& playlistUrl,
                            double refreshInterval);

// What the desktop's media controls call an item: its description, else its address.
std::string itemTitle(const platform::PlayerItem& item);

}  // namespace vorn::app
