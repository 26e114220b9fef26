#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/url.h"
#include "programme/json.h"

// The programme as the channel plays it: a load at the clock queues the whole cycle rotated to
// the item of the moment, each item runs its listed length from where the load sought it, and
// the end of the queue's last item is the next load, at wherever the clock stands then.
namespace vorn::app {

// One item on screen: from `start` to `end` (seconds since 1970, UTC), joined `offset` seconds
// into the item (non-zero only for the first item of a load). The first slot of a schedule is
// the one on screen at `from`, listed from its start: `offset` seconds before `from`.
struct Slot {
  double start = 0.0;
  double end = 0.0;
  double offset = 0.0;
  size_t entry = 0;                        // the element's index in the playlist array
  int64_t play = 1;                        // which play of the entry, from 1
  int64_t plays = 1;                       // how many times in a row the entry is queued
  std::string address;                     // "hls_url"
  std::optional<std::string> description;  // "description_attribution", when it is a text
};

struct Schedule {
  std::vector<Slot> slots;
  size_t cycleItems = 0;
  double cycleLength = 0.0;
  double from = 0.0;
  double until = 0.0;
  bool truncated = false;  // stopped at kMaxSlots before `until`
};

inline constexpr size_t kMaxSlots = 100000;

// The slots on screen between `from` and `until`, with a load at `from`. Nothing when the
// document is not an array or yields no playable item; an error text when the listed lengths add
// up to no time (nothing could be placed on the clock).
struct ScheduleResult {
  Schedule schedule;
  std::string error;
};
// Relative stream addresses resolve against `base`, the playlist's own address, when given.
ScheduleResult buildSchedule(const Json& document, double from, double until,
                             const platform::Url* base = nullptr);

// "2026-12-06T01:03:20Z", with milliseconds only when the time is not a whole second.
std::string isoUtc(double seconds);

void writeScheduleText(const Schedule& schedule, std::ostream& out);
void writeScheduleJson(const Schedule& schedule, std::ostream& out);
// How the guide names the channel. `id` is a domain-style identifier ("solvane.tv"), as guide
// software expects; `language`, when set, is the lang of every title, description and name. The
// defaults are the settings' defaults.
struct GuideChannel {
  std::string id = "solvane.tv";
  std::string name = "Solvane TV";
  std::optional<std::string> icon;
  std::optional<std::string> language = "en";
};
void writeScheduleXmltv(const Schedule& schedule, std::ostream& out,
                        const GuideChannel& channel = {});
// A programme's title when it has no description: the stream's file name without its extension
// ("https://a.invalid/news/late.m3u8?t=1" gives "late"), else the host; never an address.
std::string streamTitle(std::string_view address);

}  // namespace vorn::app
