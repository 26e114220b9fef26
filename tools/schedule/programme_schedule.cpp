#include "tools/schedule/programme_schedule.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "platform/iso_time.h"
#include "programme/cycle.h"
#include "programme/programme_clock.h"

namespace vorn::app {
namespace {

struct ListedItem {
  size_t entry;
  int64_t play;
  int64_t plays;
  std::string address;
  std::optional<std::string> description;
};

std::string formatTime(double seconds, bool local, const char* format) {
  const std::tm parts = platform::brokenDown(seconds, local);
  char text[96];
  const size_t length = std::strftime(text, sizeof text, format, &parts);
  return std::string(text, length);
}

std::string formatSeconds(double seconds) {
  std::ostringstream text;
  if (seconds == std::floor(seconds) && std::abs(seconds) < 1e15) {
    text << static_cast<long long>(seconds);
  } else {
    text << std::fixed << std::setprecision(3) << seconds;
  }
  return text.str();
}

// Text for an XML element or attribute: markup escaped, and the characters XML 1.0 forbids
// (control characters, U+FFFE, U+FFFF) dropped so that one odd description cannot spoil the guide.
std::string xmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      i += 2;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string xmltvTime(double seconds) {
  return formatTime(std::round(seconds), false, "%Y%m%d%H%M%S +0000");
}

}  // namespace

ScheduleResult buildSchedule(const Json& document, double from, double until,
                             const platform::Url* base) {
  ScheduleResult result;
  Schedule& schedule = result.schedule;
  schedule.from = from;
  schedule.until = until;
  if (!document.isArray()) {
    return result;
  }
  const programme::Cycle cycle = programme::buildCycle(document, base);
  std::vector<std::optional<std::string>> descriptions;
  descriptions.reserve(cycle.entries.size());
  for (const programme::CycleEntry& entry : cycle.entries) {
    const auto text = entry.element->find("description_attribution");
    descriptions.push_back(text != entry.element->end() && text->isString()
                               ? std::optional(text->get<std::string>())
                               : std::nullopt);
  }
  std::vector<ListedItem> items;
  items.reserve(cycle.items.size());
  for (const programme::CycleItem& item : cycle.items) {
    const programme::CycleEntry& entry = cycle.entryOf(item);
    items.push_back({entry.index, item.play, entry.entry.plays, entry.entry.url.text(),
                     descriptions[item.entry]});
  }
  const std::vector<double>& durations = cycle.durations;
  schedule.cycleItems = items.size();
  schedule.cycleLength = programme::cycleLength(durations);
  if (items.empty()) {
    return result;
  }
  if (!(schedule.cycleLength > 0.0) || !std::isfinite(schedule.cycleLength)) {
    result.error = "the listed durations add up to no time on the clock";
    return result;
  }

  double load = from;
  while (load < until) {
    const programme::QueuePlan plan = programme::planQueue(durations, programme::daySeconds(load));
    double at = load;
    for (size_t position = 0; position < plan.order.size() && at < until; ++position) {
      const size_t index = plan.order[position];
      const double offset = position == 0 ? plan.seek : 0.0;
      // A listed length of 0 or below takes no time on the clock.
      const double end = at + std::max(0.0, durations[index] - offset);
      if (end > at) {
        if (schedule.slots.size() == kMaxSlots) {
          schedule.truncated = true;
          return result;
        }
        const ListedItem& item = items[index];
        // The item already on screen at `from` is listed from its start on the queue's timeline,
        // as a guide lists the programme already running; a later load's first item, which may
        // land mid-item, is listed from the load so that slots never overlap.
        const double start = load == from && position == 0 ? at - offset : at;
        schedule.slots.push_back({start, end, offset, item.entry, item.play, item.plays,
                                  item.address, item.description});
      }
      at = end;
    }
    // Every load runs a positive time (its first item covers the clock), so this only guards
    // against rounding at the far end of the representable range.
    if (!(at > load)) {
      break;
    }
    load = at;
  }
  return result;
}

std::string isoUtc(double seconds) {
  const double whole = std::floor(seconds);
  std::string text = formatTime(whole, false, "%Y-%m-%dT%H:%M:%S");
  const auto millis = static_cast<int>(std::llround((seconds - whole) * 1000.0));
  if (millis >= 1000) {
    return isoUtc(whole + 1.0);
  }
  if (millis > 0) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", millis);
    text += fraction;
  }
  return text + "Z";
}

void writeScheduleText(const Schedule& schedule, std::ostream& out) {
  out << "Programme from " << isoUtc(schedule.from) << " to " << isoUtc(schedule.until) << " ("
      << formatTime(schedule.from, true, "%Y-%m-%d %H:%M:%S %Z") << " local)\n";
  out << "Cycle: " << schedule.cycleItems << (schedule.cycleItems == 1 ? " item, " : " items, ")
      << formatSeconds(schedule.cycleLength) << " s\n";
  if (schedule.slots.empty()) {
    out << "Nothing plays in this window.\n";
  }
  for (const Slot& slot : schedule.slots) {
    out << '\n'
        << isoUtc(slot.start) << " - " << isoUtc(slot.end) << "  (local "
        << formatTime(slot.start, true, "%Y-%m-%d %H:%M:%S") << " - "
        << formatTime(slot.end, true, "%H:%M:%S %Z") << ")\n";
    out << "  " << (slot.description ? *slot.description : "(no description)") << '\n';
    out << "  entry " << slot.entry << ", play " << slot.play << " of " << slot.plays;
    if (slot.offset > 0.0) {
      out << ", joined " << formatSeconds(slot.offset) << " s in";
    }
    out << "\n  " << slot.address << '\n';
  }
  if (schedule.truncated) {
    out << "\n(stopped after " << schedule.slots.size() << " slots)\n";
  }
}

void writeScheduleJson(const Schedule& schedule, std::ostream& out) {
  nlohmann::json slots = nlohmann::json::array();
  for (const Slot& slot : schedule.slots) {
    slots.push_back({{"start", isoUtc(slot.start)},
                     {"end", isoUtc(slot.end)},
                     {"offset", slot.offset},
                     {"entry", slot.entry},
                     {"play", slot.play},
                     {"plays", slot.plays},
                     {"description", slot.description ? nlohmann::json(*slot.description)
                                                      : nlohmann::json(nullptr)},
                     {"address", slot.address}});
  }
  // Replacement characters rather than an exception for any text that is not UTF-8.
  out << slots.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

std::string streamTitle(std::string_view address) {
  std::string_view path = address.substr(0, address.find_first_of("?#"));
  std::string_view host;
  if (const auto scheme = path.find("://"); scheme != std::string_view::npos) {
    path.remove_prefix(scheme + 3);
    const auto slash = path.find('/');
    host = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  }
  std::string_view name =
      path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  if (const auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
    name = name.substr(0, dot);
  }
  if (name.empty()) {
    // Credentials are no part of a name to show.
    name = host.substr(host.find('@') == std::string_view::npos ? 0 : host.find('@') + 1);
  }
  // %XX escapes read as the characters they stand for.
  std::string title;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() &&
        std::isxdigit(static_cast<unsigned char>(name[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(name[i + 2]))) {
      title += static_cast<char>(std::stoi(std::string(name.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      title += name[i];
    }
  }
  return title;
}

void writeScheduleXmltv(const Schedule& schedule, std::ostream& out, const GuideChannel& channel) {
  const std::string id = xmlText(channel.id);
  const std::string lang =
      channel.language ? " lang=\"" + xmlText(*channel.language) + "\"" : std::string();
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
      << "<tv generator-info-name=\"vorn\">\n"
      << "  <channel id=\"" << id << "\">\n"
      << "    <display-name" << lang << ">" << xmlText(channel.name) << "</display-name>\n";
  if (channel.icon) {
    out << "    <icon src=\"" << xmlText(*channel.icon) << "\"/>\n";
  }
  out << "  </channel>\n";
  for (const Slot& slot : schedule.slots) {
    const std::string description = slot.description ? xmlText(*slot.description) : std::string();
    std::string title = description;
    if (title.empty()) {
      title = xmlText(streamTitle(slot.address));
    }
    if (title.empty()) {
      title = "entry " + std::to_string(slot.entry);
    }
    out << "  <programme start=\"" << xmltvTime(slot.start) << "\" stop=\"" << xmltvTime(slot.end)
        << "\" channel=\"" << id << "\">\n"
        << "    <title" << lang << ">" << title << "</title>\n";
    if (!description.empty()) {
      out << "    <desc" << lang << ">" << description << "</desc>\n";
    }
    out << "    <url>" << xmlText(slot.address) << "</url>\n"
        << "    <episode-num system=\"onscreen\">play " << slot.play << " of " << slot.plays
        << "</episode-num>\n"
        << "  </programme>\n";
  }
  out << "</tv>\n";
}

}  // namespace vorn::app
