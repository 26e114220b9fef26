#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/channel_status.h"
#include "platform/media.h"
#include "programme/json.h"

namespace vorn {

// What the controller remembers between two updates of its status (channel/status.cpp).
struct StatusTrack {
  // Written from the download-completion thread too.
  std::mutex mutex;
  struct Source {
    std::weak_ptr<const Json> document;
    std::string source;  // "remote", "saved" or "packaged"
    std::string url;
    double notedAt = 0.0;
  };
  // The documents last taken, newest first: the one on screen is among them.
  Source sources[3];
  std::optional<platform::ChannelStatus::Fetch> lastFetch;
  std::optional<double> lastFetchSuccessAt;
  uint64_t fetchFailures = 0;
  std::optional<double> nextRefresh;

  // Main thread only.
  bool begun = false;
  double startedAt = 0.0;
  std::string slateReason;
  bool inactivityPause = false;
  double timelineLoadedAt = -1.0;  // the load whose origin is noted
  double clockOrigin = 0.0;        // clock time at which that load's first slot started
  std::weak_ptr<const platform::PlayerItem> startedItem;
  // A new item whose picture has not told its position yet, and since when.
  std::weak_ptr<const platform::PlayerItem> settlingItem;
  double settlingSince = 0.0;
  std::weak_ptr<const Json> documentOnScreen;
  std::string hashOnScreen;
  platform::ClockSync clockSync = platform::ClockSync::unknown;
  platform::ChannelStatus last;
};

}  // namespace vorn
