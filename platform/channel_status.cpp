#include "platform/channel_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace vorn::platform {

std::string_view stateName(ChannelState state) {
  switch (state) {
    case ChannelState::starting:
      return "starting";
    case ChannelState::playing:
      return "playing";
    case ChannelState::paused:
      return "paused";
    case ChannelState::inactivePaused:
      return "inactive-paused";
    case ChannelState::background:
      return "background";
    case ChannelState::slate:
      return "slate";
    case ChannelState::noProgramme:
      return "no-programme";
  }
  return "starting";
}

std::string_view clockSyncName(ClockSync sync) {
  switch (sync) {
    case ClockSync::yes:
      return "yes";
    case ClockSync::no:
      return "no";
    case ClockSync::unknown:
      break;
  }
  return "unknown";
}

std::string isoTime(double unixSeconds) {
  const auto seconds = static_cast<time_t>(std::floor(unixSeconds));
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

namespace {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string number(double value, int decimals = 3) {
  if (!std::isfinite(value)) {
    return "null";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string optionalTime(const std::optional<double>& at) {
  return at ? jsonString(isoTime(*at)) : "null";
}

// A label value of the exposition format: backslash, quotation mark and line feed escaped.
std::string labelValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// A sample value of the exposition format: Go's float syntax, never a locale's.
std::string sample(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

std::string statusJson(const ChannelStatus& status) {
  std::string out = "{\n";
  out += "  \"state\": " + jsonString(stateName(status.state)) + ",\n";
  if (status.item) {
    const auto& item = *status.item;
    out += "  \"item\": {\"index\": " + std::to_string(item.index) +
           ", \"url\": " + jsonString(item.url) +
           ", \"description\": " + jsonString(item.description) +
           ", \"position\": " + number(item.position) + "},\n";
  } else {
    out += "  \"item\": null,\n";
  }
  out +=
      "  \"clock_offset\": " + (status.clockOffset ? number(*status.clockOffset) : "null") + ",\n";
  const auto& playlist = status.playlist;
  out += "  \"playlist\": {\"source\": " +
         (playlist.source.empty() ? std::string("null") : jsonString(playlist.source)) +
         ", \"url\": " + (playlist.url.empty() ? std::string("null") : jsonString(playlist.url)) +
         ", \"loaded_at\": " + optionalTime(playlist.loadedAt) + ", \"hash\": " +
         (playlist.hash.empty() ? std::string("null") : jsonString(playlist.hash)) + "},\n";
  if (status.lastFetch) {
    const auto& fetch = *status.lastFetch;
    out += "  \"last_fetch\": {\"at\": " + optionalTime(fetch.at) +
           ", \"ok\": " + (fetch.ok ? "true" : "false") +
           ", \"error\": " + (fetch.ok ? std::string("null") : jsonString(fetch.error)) + "},\n";
  } else {
    out += "  \"last_fetch\": null,\n";
  }
  out += "  \"next_refresh\": " + optionalTime(status.nextRefresh) + ",\n";
  out += "  \"clock_synchronized\": " + jsonString(clockSyncName(status.clockSynchronized)) + ",\n";
  out += "  \"uptime\": " + number(std::max(0.0, status.updatedAt - status.startedAt), 0) + ",\n";
  out += "  \"version\": " + jsonString(status.version) + ",\n";
  out += "  \"updated_at\": " + jsonString(isoTime(status.updatedAt)) + "\n";
  out += "}\n";
  return out;
}

std::string metricsText(const ChannelStatus& status) {
  std::string out;
  const auto family = [&](std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
  };
  const auto line = [&](std::string_view name, std::string_view labels, double value) {
    out += name;
    out += labels;
    out += ' ';
    out += sample(value);
    out += '\n';
  };
  family("vorn_up", "gauge", "Whether the channel player is running.");
  line("vorn_up", "", 1);
  family("vorn_state", "gauge", "The channel's state: 1 for the current one, 0 for the others.");
  for (const auto state : {ChannelState::starting, ChannelState::playing, ChannelState::paused,
                           ChannelState::inactivePaused, ChannelState::background,
                           ChannelState::slate, ChannelState::noProgramme}) {
    line("vorn_state", "{state=\"" + std::string(stateName(state)) + "\"}",
         state == status.state ? 1 : 0);
  }
  family("vorn_clock_offset_seconds", "gauge",
         "The picture's position minus the clock's, in seconds (0 while no picture plays).");
  line("vorn_clock_offset_seconds", "", status.clockOffset.value_or(0.0));
  family("vorn_slate_active", "gauge", "Whether the slate is on screen.");
  line("vorn_slate_active", "", status.state == ChannelState::slate ? 1 : 0);
  family("vorn_slates_total", "counter", "Slates shown since the start.");
  line("vorn_slates_total", "", static_cast<double>(status.slatesTotal));
  family("vorn_items_started_total", "counter", "Items started since the start.");
  line("vorn_items_started_total", "", static_cast<double>(status.itemsStartedTotal));
  family("vorn_playlist_source", "gauge",
         "Where the playlist on screen came from: 1 for its source, 0 for the others.");
  for (const char* source : {"remote", "saved", "packaged"}) {
    line("vorn_playlist_source", std::string("{source=\"") + source + "\"}",
         status.playlist.source == source ? 1 : 0);
  }
  family("vorn_playlist_loaded_timestamp_seconds", "gauge",
         "When the playlist on screen was loaded, in seconds since 1970 (0 before the first).");
  line("vorn_playlist_loaded_timestamp_seconds", "", status.playlist.loadedAt.value_or(0.0));
  family("vorn_playlist_fetch_failures_total", "counter",
         "Failed fetches of the playlist since the start.");
  line("vorn_playlist_fetch_failures_total", "", static_cast<double>(status.fetchFailuresTotal));
  family("vorn_last_fetch_success_timestamp_seconds", "gauge",
         "When a fetch of the playlist last succeeded, in seconds since 1970 (0 if never).");
  line("vorn_last_fetch_success_timestamp_seconds", "", status.lastFetchSuccessAt.value_or(0.0));
  family("vorn_clock_synchronized", "gauge",
         "Whether the kernel holds the clock synchronised: 1 yes, 0 no, -1 unknown.");
  line("vorn_clock_synchronized", "",
       status.clockSynchronized == ClockSync::yes  ? 1
       : status.clockSynchronized == ClockSync::no ? 0
                                                   : -1);
  family("vorn_build_info", "gauge", "The player's version, as a label; always 1.");
  line("vorn_build_info", "{version=\"" + labelValue(status.version) + "\"}", 1);
  return out;
}

namespace {

// "HH:MM" in the machine's time zone, as the journal and the slate show times.
std::string localHourMinute(double unixSeconds) {
  const auto seconds = static_cast<time_t>(std::floor(unixSeconds));
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}

}  // namespace

std::string statusLine(const ChannelStatus& status) {
  std::string line;
  const auto offsetText = [&] {
    std::string text;
    if (status.clockOffset) {
      char offset[48];
      const double hundredths = std::round(*status.clockOffset * 100.0) / 100.0;
      std::snprintf(offset, sizeof offset, "(%+.2f s)", hundredths == 0.0 ? 0.0 : hundredths);
      text =
          std::fabs(*status.clockOffset) <= kOnTheClockSeconds ? "on the clock " : "off the clock ";
      text += offset;
    }
    return text;
  };
  const auto itemText = [&] {
    if (!status.item) {
      return std::string();
    }
    const auto& item = *status.item;
    std::string text = item.description.empty() ? item.url : item.description;
    return text + " " + std::to_string(item.index + 1) + "/" + std::to_string(item.count);
  };
  switch (status.state) {
    case ChannelState::playing: {
      line = itemText();
      if (const auto offset = offsetText(); !offset.empty()) {
        line += ", " + offset;
      }
      break;
    }
    case ChannelState::slate:
      line = "Slate: " + status.slateReason;
      if (status.slateEnd) {
        line += " until " + localHourMinute(*status.slateEnd);
      }
      break;
    default:
      line = std::string(stateName(status.state));
      if (const auto item = itemText(); !item.empty()) {
        line += ", " + item;
      }
  }
  if (!status.playlist.source.empty()) {
    line += ", " + status.playlist.source + " playlist";
    if (status.playlist.loadedAt) {
      line += " loaded " + localHourMinute(*status.playlist.loadedAt);
    }
  }
  if (status.lastFetch && !status.lastFetch->ok) {
    line += ", last fetch failed";
  }
  if (status.clockSynchronized == ClockSync::no) {
    line += ", clock not synchronised";
  }
  // One line: the service manager shows it as it is.
  for (char& c : line) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  return line;
}

std::string statusFilePath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtime != nullptr && *runtime == '/'
                           ? std::string(runtime)
                           : "/run/user/" + std::to_string(static_cast<long>(getuid()));
  return folder + "/vorn/status.json";
}

std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes) {
  const std::filesystem::path target(path);
  std::error_code failure;
  if (target.has_parent_path()) {
    std::filesystem::create_directories(target.parent_path(), failure);
    if (failure) {
      return failure.message();
    }
  }
  // Beside the target, so the rename stays on one file system; named by process, so two writers
  // never share one.
  const std::string temporary = path + ".tmp." + std::to_string(static_cast<long>(getpid()));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return std::strerror(errno);
  }
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      const std::string reason = std::strerror(errno);
      ::close(fd);
      ::unlink(temporary.c_str());
      return reason;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    return reason;
  }
  return std::nullopt;
}

}  // namespace vorn::platform
