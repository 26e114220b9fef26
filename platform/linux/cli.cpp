#include "platform/linux/cli.h"

#include <cstdio>
#include <cstdlib>

#include "platform/linux/linux_platform.h"
#include "vorn/build_config.h"

namespace vorn::linuxbackend {

std::string vornUsage() {
  return "Usage: vorn [--windowed] [--headless] [--developer-mode]\n"
         "       vorn --help | --version\n"
         "\n"
         "Plays the channel: the programme of the playlist that the clock puts on screen now.\n"
         "\n"
         "  --windowed        play in a window instead of full screen\n"
         "  --headless        no window and no sound (servers and tests); the default when no\n"
         "                    display is available\n"
         "  --developer-mode  pin the clock to the start of the day, use the packaged playlist\n"
         "                    and let a swipe skip to the next video\n"
         "  --help            show this help\n"
         "  --version         show the version\n"
         "\n"
         "Environment: VORN_DATA_DIR (folder of the packaged playlist), VORN_CA_FILE (a further\n"
         "trusted certificate authority, PEM).\n";
}

std::optional<VornOptions> parseVornOptions(const std::vector<std::string>& arguments,
                                            bool hasDisplay, std::string& problem) {
  VornOptions options;
  for (const auto& argument : arguments) {
    if (argument == "--windowed") {
      options.windowed = true;
    } else if (argument == "--headless") {
      options.headless = true;
    } else if (argument == "--developer-mode") {
      options.developerMode = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument.rfind("-", 0) == 0) {
      problem = "unknown option '" + argument + "'";
      return std::nullopt;
    } else {
      problem = "unexpected argument '" + argument + "'";
      return std::nullopt;
    }
  }
  if (options.windowed && options.headless) {
    problem = "--windowed and --headless cannot be used together";
    return std::nullopt;
  }
  if (!hasDisplay) {
    options.headless = true;
  }
  return options;
}

int runVornCommandLine(int argc, char** argv, const platform::ClassRegistry& registry,
                       const std::string& delegateClass,
                       const platform::MainInterface& mainInterface,
                       const CommandLineHooks& hooks) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto present = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  bool hasDisplay = present("DISPLAY") || present("WAYLAND_DISPLAY");
  std::string problem;
  auto options = parseVornOptions(arguments, hasDisplay, problem);
  if (options && options->developerMode && !hooks.enableDeveloperMode) {
    problem = "--developer-mode is not available in this build";
    options.reset();
  }
  if (!options) {
    std::fprintf(stderr, "vorn: %s (see 'vorn --help')\n", problem.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(vornUsage().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("vorn %s\n", build::kVersion);
    return 0;
  }

  LinuxPlatformOptions platformOptions;
  platformOptions.headless = options->headless;
  platformOptions.windowed = options->windowed;
  platformOptions.itemTitle = hooks.itemTitle;
  LinuxPlatform platform(std::move(platformOptions));
  std::function<void(platform::ViewController&)> configure;
  if (options->developerMode) {
    configure = hooks.enableDeveloperMode;
  }
  return platform.run(registry, delegateClass, mainInterface, configure);
}

}  // namespace vorn::linuxbackend
