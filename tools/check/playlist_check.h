#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/url.h"
#include "programme/json.h"
#include "tools/check/stream_probe.h"

// The findings of `vorn check`: each entry usable or skipped and why, by the rules the channel
// applies when it builds its queue, and, once probed, each stream against its listed length.
namespace vorn::app {

// A length differing from the listed one by more than this is a warning.
inline constexpr double kLengthTolerance = 2.0;

struct EntryFinding {
  size_t index = 0;
  bool usable = false;  // queued at least once
  std::string reason;   // why it is skipped or queues nothing
  std::vector<std::string> notes;
  std::string address;  // the "hls_url" text, when it is one
  std::optional<std::string> description;
  double duration = 0.0;  // listed
  int64_t plays = 0;
  std::optional<StreamProbe> probe;
  // Filled from the probe: real minus listed length per play, and what the screen shows for a
  // difference past the tolerance (every item keeps its slot, so later items stay on the clock).
  std::optional<double> difference;
  std::string effect;
};

struct CheckReport {
  std::string playlist;  // as given
  std::string error;     // when the document could not be read at all
  bool isArray = false;
  std::vector<EntryFinding> entries;
  size_t cycleItems = 0;
  double cycleLength = 0.0;
  std::vector<std::string> warnings;
};

// The entries of `document`, without probing.
// Relative stream addresses resolve against `base`, the playlist's own address, when given.
CheckReport lintPlaylist(const Json& document, const platform::Url* base = nullptr);

// Records the probes (one per entry, null for entries not probed), the differences, the shifts and
// the warnings they cause.
void applyProbes(CheckReport& report, const std::vector<std::optional<StreamProbe>>& probes);

// 0 sound, 1 warnings, 2 unusable (not read, not an array, nothing playable).
int checkStatus(const CheckReport& report);

void writeCheckText(const CheckReport& report, std::ostream& out);
void writeCheckJson(const CheckReport& report, std::ostream& out);

}  // namespace vorn::app
