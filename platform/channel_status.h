#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::platform {

// What the channel is doing, as an operator sees it from afar. The controller keeps one value and
// updates it on the main thread at every event; the platform hands it on to its outlets (a status
// file, a metrics file, the service manager's status line, the desktop's media controls).
enum class ChannelState {
  starting,
  playing,
  paused,
  inactivePaused,
  background,
  slate,
  noProgramme
};
enum class ClockSync { unknown, yes, no };

std::string_view stateName(ChannelState state);
std::string_view clockSyncName(ClockSync sync);

struct ChannelStatus {
  ChannelState state = ChannelState::starting;
  // While the slate is up: why, and the clock time (seconds since 1970) at which its slot ends.
  std::string slateReason;
  std::optional<double> slateEnd;

  struct Item {
    int64_t index = 0;  // in the playlist document, from 0
    int64_t count = 0;  // entries in the document
    std::string url;
    std::string description;
    double position = 0.0;  // seconds into the item
    double length = 0.0;    // listed seconds
  };
  std::optional<Item> item;
  // The picture's position minus the clock's, in seconds; nothing while no picture plays.
  std::optional<double> clockOffset;

  struct Playlist {
    std::string source;  // "remote", "saved" or "packaged"; empty before the first one
    std::string url;
    std::optional<double> loadedAt;
    std::string hash;
  };
  Playlist playlist;

  struct Fetch {
    std::optional<double> at;
    bool ok = false;
    std::string error;
  };
  std::optional<Fetch> lastFetch;
  std::optional<double> lastFetchSuccessAt;
  std::optional<double> nextRefresh;
  ClockSync clockSynchronized = ClockSync::unknown;

  double startedAt = 0.0;
  double updatedAt = 0.0;
  std::string version;

  // Something is about to change (a new item's position is not known yet): worth asking again
  // in a moment. Not part of any outlet's text.
  bool settling = false;

  // Counters since the start, for the metrics.
  uint64_t slatesTotal = 0;
  uint64_t itemsStartedTotal = 0;
  uint64_t fetchFailuresTotal = 0;
};

// "2026-12-07T14:00:00Z" (UTC, whole seconds).
std::string isoTime(double unixSeconds);

// The status file's document: the keys state, item, clock_offset, playlist, last_fetch,
// next_refresh, clock_synchronized, uptime, version and updated_at.
std::string statusJson(const ChannelStatus& status);
// The metrics in the text exposition format, each with HELP and TYPE.
std::string metricsText(const ChannelStatus& status);
// One line for the service manager: "B 2/4, on the clock (+0.02 s), remote playlist loaded
// 14:00" (local time).
std::string statusLine(const ChannelStatus& status);
// How far the picture may stand from the clock and still count as on it.
inline constexpr double kOnTheClockSeconds = 2.0;

// Where the running channel keeps its status file: $XDG_RUNTIME_DIR/vorn/status.json, else
// /run/user/UID/vorn/status.json.
std::string statusFilePath();

// Replaces `path` with `bytes` as a whole (a temporary file beside it, then a rename), creating
// its folder. The system's reason when it cannot.
std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes);

enum class EventPriority { warning = 4, info = 6 };

// Where the status and the operator's events go. The default does nothing: a platform without
// outlets. Main thread.
class StatusOutlet {
 public:
  virtual ~StatusOutlet() = default;
  // The status changed (a state, an item, a playlist, a fetch).
  virtual void publish(const ChannelStatus& status) { (void)status; }
  // An event for the operator, outside the diagnostic log.
  virtual void event(EventPriority priority, std::string_view text) {
    (void)priority;
    (void)text;
  }
  // Whether the kernel believes its clock synchronised.
  virtual ClockSync clockSynchronized() { return ClockSync::unknown; }
  // The current status on request, for an outlet that refreshes on its own (positions move).
  virtual void setSampler(std::function<ChannelStatus()> sampler) { (void)sampler; }
};

}  // namespace vorn::platform
