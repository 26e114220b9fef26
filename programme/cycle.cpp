#include "programme/cycle.h"

#include <algorithm>
#include <utility>

namespace vorn::programme {

Cycle buildCycle(const Json& document, const platform::Url* base) {
  Cycle cycle;
  if (!document.isArray()) {
    return cycle;
  }
  // Reserved up front: growing the entries would copy them, and briefly hold twice as many. A
  // cycle within the cap has at most kMaxCycleItems entries.
  cycle.entries.reserve(std::min(document.size(), kMaxCycleItems));
  size_t plays = 0;
  for (size_t index = 0; index < document.size(); ++index) {
    const Json& element = document[index];
    if (auto reading = readEntry(element, base)) {
      plays += static_cast<size_t>(reading->plays);
      cycle.entries.push_back({index, &element, std::move(reading).take()});
    }
  }
  if (cycle.entries.size() < cycle.entries.capacity() / 2) {
    cycle.entries.shrink_to_fit();
  }
  cycle.items.reserve(plays);
  cycle.durations.reserve(plays);
  for (uint32_t position = 0; position < cycle.entries.size(); ++position) {
    const UsableEntry& entry = cycle.entries[position].entry;
    for (uint32_t play = 1; play <= entry.plays; ++play) {
      cycle.items.push_back({position, play});
      cycle.durations.push_back(entry.duration);
    }
  }
  return cycle;
}

size_t countCycleItems(const Json& document, const platform::Url* base, size_t stopAfter) {
  size_t items = 0;
  if (!document.isArray()) {
    return items;
  }
  for (const Json& element : document) {
    if (const auto reading = readEntry(element, base)) {
      items += static_cast<size_t>(reading->plays);
      if (items > stopAfter) {
        return stopAfter + 1;
      }
    }
  }
  return items;
}

}  // namespace vorn::programme
