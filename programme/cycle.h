#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/url.h"
#include "programme/entry.h"
#include "programme/json.h"

// The cycle of a playlist: one item per play of every usable entry, in document order. It is
// built here once for everyone who needs it: the channel's queue, the operator's check and
// schedule, and the simulation's listed lengths.
namespace vorn::programme {

// The most items one cycle may hold (the plays of every usable entry). A larger playlist is
// refused whole: its queue would cost seconds and hundreds of megabytes on every load.
inline constexpr size_t kMaxCycleItems = 100'000;

// A usable entry and where it stands in the document.
struct CycleEntry {
  size_t index = 0;               // the element's position in the playlist array
  const Json* element = nullptr;  // in the document, which has to outlive the cycle
  UsableEntry entry;
};

// Small, as a cycle holds up to kMaxCycleItems of them (an array never has 2^32 elements).
struct CycleItem {
  uint32_t entry = 0;  // its position in Cycle::entries
  uint32_t play = 1;   // which play of the entry, from 1
};

struct Cycle {
  std::vector<CycleEntry> entries;  // the usable entries, in document order
  std::vector<CycleItem> items;     // one per play of each, in queue order
  std::vector<double> durations;    // listed, one per item (what the clock places)

  const CycleEntry& entryOf(const CycleItem& item) const { return entries[item.entry]; }
};

// The cycle of `document`, its addresses resolved against `base` (the playlist's own address)
// when there is one. Empty for anything but an array.
Cycle buildCycle(const Json& document, const platform::Url* base);

// How many items buildCycle would give, counted only up to `stopAfter` (past it the count is
// stopAfter + 1), without building anything: the cap and "is anything playable" on every load.
size_t countCycleItems(const Json& document, const platform::Url* base,
                       size_t stopAfter = kMaxCycleItems);

}  // namespace vorn::programme
