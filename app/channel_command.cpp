#include <curl/curl.h>
#include <mpv/client.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

#include "app/app.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/settings.h"
#include "platform/linux/display_probe.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/system_log.h"
#include "vorn/build_config.h"
#include "vorn/git_description.h"

namespace vorn::app {

namespace {

// The start of a failure line written before, or instead of, the channel's log. Under the journal
// it carries the error priority, as the log's own error records do, so `journalctl -p err` shows
// why the service did not start.
std::string failure() {
  return linuxbackend::journalOwns(STDERR_FILENO) ? "<3>vorn: " : "vorn: ";
}

// A libmpv core for asking about this machine, not for playing: no configuration files, no
// picture, no terminal output. Its handle is null when mpv cannot start.
class QuietMpv {
 public:
  QuietMpv() : handle_(mpv_create()) {
    if (!handle_) {
      return;
    }
    for (const auto& [name, value] : {std::pair{"config", "no"},
                                      {"terminal", "no"},
                                      {"vo", "null"},
                                      {"video", "no"},
                                      {"idle", "yes"},
                                      {"ytdl", "no"},
                                      {"load-scripts", "no"}}) {
      mpv_set_option_string(handle_, name, value);
    }
    if (mpv_initialize(handle_) < 0) {
      mpv_terminate_destroy(handle_);
      handle_ = nullptr;
    }
  }
  ~QuietMpv() {
    if (handle_) {
      mpv_terminate_destroy(handle_);
    }
  }
  QuietMpv(const QuietMpv&) = delete;
  QuietMpv& operator=(const QuietMpv&) = delete;

  mpv_handle* handle() const { return handle_; }
  std::string property(const char* name) const {
    char* value = handle_ ? mpv_get_property_string(handle_, name) : nullptr;
    const std::string text = value ? value : "unknown";
    mpv_free(value);
    return text;
  }

 private:
  mpv_handle* handle_;
};

// The lines --version adds: the commit built and the libraries the channel runs on.
std::string libraryVersions() {
  QuietMpv mpv;
  std::string player = mpv.property("mpv-version");
  if (player.rfind("mpv ", 0) == 0) {
    player.erase(0, 4);
  }
  return std::string("git ") + build::kGitDescription + "\nmpv " + player + "\nFFmpeg " +
         mpv.property("ffmpeg-version") + "\ncurl " + curl_version_info(CURLVERSION_NOW)->version +
         "\n";
}

// The sound outputs mpv offers here, one "NAME  DESCRIPTION" line each.
int listAudioDevices(std::ostream& out, std::ostream& err) {
  QuietMpv mpv;
  mpv_node list{};
  if (!mpv.handle() ||
      mpv_get_property(mpv.handle(), "audio-device-list", MPV_FORMAT_NODE, &list) < 0) {
    err << "vorn: cannot list the audio devices: the player did not start\n";
    return 1;
  }
  std::vector<std::pair<std::string, std::string>> devices;
  size_t width = 0;
  if (list.format == MPV_FORMAT_NODE_ARRAY) {
    for (int i = 0; i < list.u.list->num; ++i) {
      const mpv_node& device = list.u.list->values[i];
      if (device.format != MPV_FORMAT_NODE_MAP) {
        continue;
      }
      std::pair<std::string, std::string> entry;
      for (int j = 0; j < device.u.list->num; ++j) {
        const mpv_node& value = device.u.list->values[j];
        if (value.format != MPV_FORMAT_STRING) {
          continue;
        }
        const std::string key = device.u.list->keys[j];
        if (key == "name") {
          entry.first = value.u.string;
        } else if (key == "description") {
          entry.second = value.u.string;
        }
      }
      width = std::max(width, entry.first.size());
      devices.push_back(std::move(entry));
    }
  }
  mpv_free_node_contents(&list);
  for (const auto& [name, description] : devices) {
    out << name << std::string(width - name.size() + 2, ' ') << description << '\n';
  }
  return 0;
}

// Nothing when `path` can be read and holds at least one PEM certificate, else why not.
std::optional<std::string> caFileProblem(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return std::error_code(errno, std::generic_category()).message();
  }
  if (S_ISDIR(status.st_mode)) {
    return std::error_code(EISDIR, std::generic_category()).message();
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    return std::error_code(errno, std::generic_category()).message();
  }
  size_t certificates = 0;
  while (X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
    ++certificates;
    X509_free(certificate);
  }
  std::fclose(file);
  ERR_clear_error();
  if (certificates == 0) {
    return std::string("no PEM certificate in it");
  }
  return std::nullopt;
}

// What must hold of the settings beyond their form, before anything starts: nothing, or why not.
std::optional<std::string> settingsProblem(const Settings& settings) {
  if (settings.caFile) {
    if (auto problem = caFileProblem(*settings.caFile)) {
      return "ca_file " + oneLine(*settings.caFile) + ": " + *problem;
    }
  }
  return std::nullopt;
}

// Reads the settings again as the command line and environment of this run give them: the
// settings, or the one-line reason they cannot be used.
std::variant<Settings, std::string> rereadSettings(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  auto parsed = parseChannelCommand(args, SettingsEnvironment::ofThisProcess(), "", out, err);
  if (std::holds_alternative<int>(parsed)) {
    std::string reason = err.str();
    while (!reason.empty() && reason.back() == '\n') {
      reason.pop_back();
    }
    return reason.empty() ? std::string("the command line no longer starts the channel")
                          : oneLine(reason);
  }
  const Settings& settings = std::get<Settings>(parsed);
  if (auto problem = settingsProblem(settings)) {
    return *problem;
  }
  return settings;
}

// What a running channel takes over from a settings file read again. The player, the downloads
// and the controller take their part at once; whatever else changed waits for a restart.
const std::set<std::string> kLiveSettings = {
    "playlist_url",     "refresh_interval", "fetch_timeout", "volume",     "mute",
    "inactivity_pause", "ca_file",          "audio_device",  "channel_id", "channel_name",
    "channel_icon",     "guide_language",   "metrics_file"};

double connectTimeout(const Settings& settings) {
  return std::min(linuxbackend::UrlSessionOptions::fromEnvironment().connectTimeoutSeconds,
                  settings.fetchTimeout);
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
  options.playback.audioDevice = settings.audioDevice;
  options.urlSession.extraCaFile = settings.caFile;
  // The whole download, connecting and redirects included.
  options.urlSession.totalTimeoutSeconds = settings.fetchTimeout;
  options.urlSession.connectTimeoutSeconds = connectTimeout(settings);
  options.stateDir = settings.stateDir;
  options.statusFile = platform::statusFilePath();
  options.metricsFile = settings.metricsFile.value_or("");
  options.verbose = settings.verbose;
  return options;
}

// SIGHUP: the settings read again and what can change applied at once; one line says what changed
// and what waits for a restart. Settings that cannot be read or used leave the running ones as
// they are, with one error line.
void reloadSettings(linuxbackend::LinuxPlatform& platform, const std::vector<std::string>& args,
                    Settings& current) {
  auto reread = rereadSettings(args);
  if (const auto* reason = std::get_if<std::string>(&reread)) {
    platform.systemLog().write("vorn: cannot reload the settings, keeping the current ones: " +
                               *reason);
    return;
  }
  const Settings next = std::get<Settings>(std::move(reread));
  const std::vector<std::string> changed = changedSettings(current, next);
  std::string applied;
  std::string restart;
  for (const auto& key : changed) {
    std::string& list = kLiveSettings.count(key) ? applied : restart;
    list += (list.empty() ? "" : ", ") + key;
  }
  const auto has = [&](const char* key) {
    return std::find(changed.begin(), changed.end(), key) != changed.end();
  };
  if (has("volume")) {
    platform.setPlayerProperty("volume", std::to_string(next.volume));
  }
  if (has("mute")) {
    platform.setPlayerProperty("mute", next.mute ? "yes" : "no");
  }
  if (has("audio_device")) {
    platform.setPlayerProperty("audio-device", next.audioDevice.value_or("auto"));
  }
  if (has("ca_file")) {
    // Streams opened from now on trust it too.
    platform.setPlayerProperty("tls-ca-file", next.caFile.value_or(""));
  }
  if (has("ca_file") || has("fetch_timeout")) {
    platform.changeDownloads(next.caFile, next.fetchTimeout, connectTimeout(next));
  }
  auto controller = platform.application().rootViewController();
  if (controller && has("inactivity_pause")) {
    setInactivityPause(*controller, next.inactivityPause);
  }
  if (controller && (has("playlist_url") || has("refresh_interval"))) {
    changePlaylistSettings(*controller, next.playlistUrl, next.refreshInterval);
  }
  if (has("metrics_file")) {
    platform.statusOutlet().setMetricsFile(next.metricsFile.value_or(""));
  }
  // What waits for a restart stays as it runs, so the next reload reports it again.
  Settings kept = next;
  kept.stateDir = current.stateDir;
  kept.screen = current.screen;
  kept.hwdec = current.hwdec;
  kept.maxBitrate = current.maxBitrate;
  kept.developerMode = current.developerMode;
  kept.windowed = current.windowed;
  kept.headless = current.headless;
  current = kept;

  std::string line = "settings reloaded: ";
  if (changed.empty()) {
    line += "nothing changed";
  } else {
    line += applied.empty() ? "nothing applied" : "applied " + applied;
    if (!restart.empty()) {
      line += "; needs a restart: " + restart;
    }
  }
  platform.statusOutlet().event(platform::EventPriority::info, line);
}

}  // namespace

int runChannelCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  // A hang-up asks for the settings to be read again, never for the end; until the main loop
  // listens for it, it is ignored.
  std::signal(SIGHUP, SIG_IGN);
  const auto parsed = parseChannelCommand(args, SettingsEnvironment::ofThisProcess(), failure(),
                                          out, err, {libraryVersions, listAudioDevices});
  if (const int* status = std::get_if<int>(&parsed)) {
    return *status;
  }
  const Settings& settings = std::get<Settings>(parsed);
  out.flush();
  if (auto problem = settingsProblem(settings)) {
    err << failure() << *problem << '\n';
    return 2;
  }

  // Without any display named the channel runs headless by itself; a display named but not
  // answering is a failure to start, not a channel playing to nobody.
  const bool headless = settings.headless || !linuxbackend::displayNamed();
  if (!headless) {
    if (auto problem = linuxbackend::displayProblem()) {
      err << failure() << "cannot start: " << *problem << " (--headless runs without one)\n";
      return 1;
    }
  }

  // The channel ends only by a signal or a closed window; a failure to start is one line and
  // status 1, whichever part refuses.
  try {
    linuxbackend::LinuxPlatform platform(platformOptions(settings, headless));
    platform.bundle().setRemotePlaylistAddress(settings.playlistUrl);
    platform.bundle().setPlaylistRefreshInterval(settings.refreshInterval);
    platform.bundle().setFrameSync(settings.sync != "second");
    const std::function<void(platform::ViewController&)> configure =
        [&settings](platform::ViewController& controller) {
          if (settings.developerMode) {
            enableDeveloperMode(controller);
          }
          setInactivityPause(controller, settings.inactivityPause);
        };
    Settings current = settings;
    platform.setHangupHandler(
        [&platform, &current, &args] { reloadSettings(platform, args, current); });
    return platform.run(classRegistry(), kDelegateClassName, mainInterface(), configure);
  } catch (const std::exception& error) {
    err << failure() << "cannot start: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace vorn::app
