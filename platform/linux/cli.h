#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/media.h"

namespace vorn::linuxbackend {

// What the application code lends the command line: how to switch the root controller to
// developer mode (before its view loads) and how to title an item for the desktop's media
// controls.
struct CommandLineHooks {
  std::function<void(platform::ViewController&)> enableDeveloperMode;
  std::function<std::string(const platform::PlayerItem&)> itemTitle;
};

struct VornOptions {
  bool headless = false;
  bool windowed = false;
  bool developerMode = false;
  bool help = false;
  bool version = false;
};

// Parses the options after the program name. `hasDisplay` says whether a display server is
// reachable (without one the channel runs headless). Nothing and a one-line reason in `problem`
// for bad input.
std::optional<VornOptions> parseVornOptions(const std::vector<std::string>& arguments,
                                            bool hasDisplay, std::string& problem);
std::string vornUsage();

// `vorn` [--windowed] [--headless] [--developer-mode] [--help] [--version]: runs the channel and
// returns the exit status (2 for bad options).
int runVornCommandLine(int argc, char** argv, const platform::ClassRegistry& registry,
                       const std::string& delegateClass,
                       const platform::MainInterface& mainInterface,
                       const CommandLineHooks& hooks = {});

}  // namespace vorn::linuxbackend
