#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <exception>

#include "app/app.h"
#include "app/commands.h"
#include "app/settings.h"
#include "platform/linux/linux_platform.h"
#include "vorn/build_config.h"

namespace vorn::app {

namespace {

constexpr const char* kDescription =
    "Plays the channel: the programme of the playlist that the clock puts on screen now.\n";

constexpr const char* kFooter =
    R"(Commands:
  vorn simulate [OPTIONS]  the channel on a simulated device in virtual time
  vorn schedule [OPTIONS]  what plays when
  vorn check [OPTIONS]     whether a playlist is sound
  (each takes --help)

Settings: every setting above is also a key (the name in brackets) of the TOML files
/etc/vorn/vorn.toml, then $XDG_CONFIG_HOME/vorn/vorn.toml (else ~/.config/vorn/vorn.toml), or of
the --config file alone. The command line beats the environment (VORN_PLAYLIST_URL, VORN_CA_FILE),
which beats the user's file, which beats the system's. VORN_DATA_DIR is the folder of the packaged
playlist.

Exit status: 0 when the channel ends, 1 when it cannot start, 2 for bad options or settings.
)";

bool hasDisplay() {
  auto present = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  return present("DISPLAY") || present("WAYLAND_DISPLAY");
}

linuxbackend::LinuxPlatformOptions platformOptions(const Settings& settings, bool headless) {
  linuxbackend::LinuxPlatformOptions options;
  options.headless = headless;
  options.windowed = settings.windowed;
  options.itemTitle = itemTitle;
  options.playback.hwdec = settings.hwdec;
  options.playback.maxBitrate = settings.maxBitrate;
  options.playback.volume = settings.volume;
  options.playback.mute = settings.mute;
  options.playback.screen = settings.screen;
  options.urlSession.extraCaFile = settings.caFile;
  // The whole download in whole seconds (curl's unit), connecting included.
  const long timeout = std::max(1L, static_cast<long>(std::ceil(settings.fetchTimeout)));
  options.urlSession.totalTimeoutSeconds = timeout;
  options.urlSession.connectTimeoutSeconds =
      std::min(options.urlSession.connectTimeoutSeconds, timeout);
  return options;
}

}  // namespace

int runChannelCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app(kDescription, "vorn");
  useHelpFormat(app);
  SettingsOptions settingsOptions;
  settingsOptions.addTo(app);
  bool printConfig = false;
  bool version = false;
  app.add_flag("--print-config", printConfig,
               "print the effective settings and where each comes from, then exit")
      ->disable_flag_override();
  app.add_flag("--version", version, "show the version")->disable_flag_override();
  app.set_help_flag("-h,--help", "show this help");
  app.footer(kFooter);

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& error) {
    err << "vorn: " << error.what() << " (see 'vorn --help')\n";
    return 2;
  }
  if (version) {
    out << "vorn " << build::kVersion << '\n';
    return 0;
  }

  EffectiveSettings effective;
  try {
    effective = settingsOptions.load(SettingsEnvironment::ofThisProcess());
  } catch (const SettingsError& error) {
    err << "vorn: " << error.what() << '\n';
    return 2;
  }
  const Settings& settings = effective.values;
  if (settings.windowed && settings.headless) {
    err << "vorn: windowed (" << effective.origins["windowed"] << ") and headless ("
        << effective.origins["headless"] << ") cannot be used together\n";
    return 2;
  }
  if (printConfig) {
    out << describeSettings(effective);
    return 0;
  }
  out.flush();

  // The channel ends only by a signal or a closed window; a failure to start is one line and
  // status 1, whichever part refuses.
  try {
    linuxbackend::LinuxPlatform platform(
        platformOptions(settings, settings.headless || !hasDisplay()));
    platform.bundle().setRemotePlaylistAddress(settings.playlistUrl);
    std::function<void(platform::ViewController&)> configure;
    if (settings.developerMode) {
      configure = enableDeveloperMode;
    }
    return platform.run(classRegistry(), kDelegateClassName, mainInterface(), configure);
  } catch (const std::exception& error) {
    err << "vorn: cannot start: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace vorn::app
