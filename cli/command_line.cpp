#include "cli/command_line.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <set>

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
  vorn status [--json]     how the channel running here is doing
  (each takes --help)

Settings: every setting above is also a key (the name in brackets) of the TOML files
/etc/vorn/vorn.toml, then $XDG_CONFIG_HOME/vorn/vorn.toml (else ~/.config/vorn/vorn.toml), or of
the --config file alone. The command line beats the environment (VORN_PLAYLIST_URL, VORN_CA_FILE),
which beats the user's file, which beats the system's. VORN_DATA_DIR is the folder of the packaged
playlist.

SIGHUP reads the settings again and applies what can change at once (the playlist's address,
intervals and timeout, volume, mute, inactivity_pause, ca_file, audio_device); one line says what
changed and what needs a restart. SIGINT and SIGTERM end the channel.

Exit status: 0 when the channel ends, 1 when it cannot start, 2 for bad options or settings.
)";

}  // namespace

std::variant<Settings, int> parseChannelCommand(const std::vector<std::string>& args,
                                                const SettingsEnvironment& environment,
                                                const std::string& failure, std::ostream& out,
                                                std::ostream& err,
                                                const ChannelCommandHooks& hooks) {
  CLI::App app(kDescription, "vorn");
  useHelpFormat(app);
  SettingsOptions settingsOptions;
  settingsOptions.addTo(app);
  bool printConfig = false;
  bool version = false;
  bool listAudioDevices = false;
  app.add_flag("--print-config", printConfig,
               "print the effective settings and where each comes from, then exit")
      ->disable_flag_override();
  app.add_flag("--version", version,
               "show the version, the commit it was built from and the versions of mpv, FFmpeg "
               "and curl")
      ->disable_flag_override();
  app.add_flag("--list-audio-devices", listAudioDevices,
               "list the sound outputs an audio_device setting can name, then exit")
      ->disable_flag_override();
  app.set_help_flag("-h,--help", "show this help");
  app.footer(kFooter);

  try {
    parseArguments(app, args);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& error) {
    err << failure << oneLine(error.what()) << " (see 'vorn --help')\n";
    return 2;
  }
  if (version) {
    out << "vorn " << build::kVersion << '\n';
    if (hooks.versions) {
      out << hooks.versions();
    }
    return 0;
  }
  if (listAudioDevices) {
    return hooks.listAudioDevices ? hooks.listAudioDevices(out, err) : 0;
  }

  EffectiveSettings effective;
  try {
    effective = settingsOptions.load(environment);
  } catch (const SettingsError& error) {
    err << failure << error.what() << '\n';
    return 2;
  }
  const Settings& settings = effective.values;
  if (settings.windowed && settings.headless) {
    err << failure << "windowed (" << effective.origins["windowed"] << ") and headless ("
        << effective.origins["headless"] << ") cannot be used together\n";
    return 2;
  }
  if (printConfig) {
    out << describeSettings(effective);
    return 0;
  }
  return settings;
}

// Parses `args` with `app`; nothing to do further when it printed help or an error (then
// `status` is set).
bool parseCommand(CLI::App& app, const std::string& command, const std::vector<std::string>& args,
                  std::ostream& out, std::ostream& err, int& status) {
  try {
    parseArguments(app, args);
    return true;
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    status = 0;
  } catch (const CLI::ParseError& error) {
    err << "vorn " << command << ": " << oneLine(error.what()) << " (see 'vorn " << command
        << " --help')\n";
    status = 2;
  }
  return false;
}

std::optional<Settings> loadCommandSettings(const SettingsOptions& options,
                                            const SettingsEnvironment& environment,
                                            const std::string& command, std::ostream& err) {
  try {
    return options.load(environment).values;
  } catch (const SettingsError& error) {
    err << "vorn " << command << ": " << error.what() << '\n';
    return std::nullopt;
  }
}

// The playlist the operator's commands read, when not the channel's own.
void addPlaylistOption(CLI::App& app, std::string& playlist) {
  app.add_option("--playlist", playlist,
                 "the playlist: a file or an http, https or file address (default: the "
                 "playlist_url setting)")
      ->type_name("FILE|URL");
}

}  // namespace vorn::app
