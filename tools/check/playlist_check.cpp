#include "tools/check/playlist_check.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <iomanip>
#include <sstream>

#include "programme/cycle.h"
#include "programme/entry.h"
#include "programme/programme_clock.h"

namespace vorn::app {
namespace {

using programme::typeName;

std::string seconds(double value) {
  return programme::secondsText(value);
}

std::string signedSeconds(double value) {
  return (value >= 0.0 ? "+" : "-") + seconds(std::abs(value));
}

std::string bandwidthText(int64_t bitsPerSecond) {
  std::ostringstream text;
  if (bitsPerSecond >= 1000000) {
    text << std::fixed << std::setprecision(1) << static_cast<double>(bitsPerSecond) / 1e6
         << " Mb/s";
  } else {
    text << bitsPerSecond / 1000 << " kb/s";
  }
  return text.str();
}

std::string variantText(const StreamVariant& variant) {
  std::string text;
  if (variant.width > 0 && variant.height > 0) {
    text = std::to_string(variant.width) + "x" + std::to_string(variant.height);
  }
  if (variant.bandwidth > 0) {
    text += (text.empty() ? "" : " at ") + bandwidthText(variant.bandwidth);
  }
  return text.empty() ? "unknown" : text;
}

}  // namespace

CheckReport lintPlaylist(const Json& document, const platform::Url* base) {
  CheckReport report;
  report.isArray = document.isArray();
  if (!report.isArray) {
    report.error = "the playlist is not a JSON array (it is " + typeName(document) + ")";
    return report;
  }
  for (size_t index = 0; index < document.size(); ++index) {
    const Json& element = document[index];
    EntryFinding finding;
    finding.index = index;
    if (element.isObject()) {
      if (const auto text = element.find("description_attribution");
          text != element.end() && text->isString()) {
        finding.description = text->get<std::string>();
      }
    }
    const auto reading = programme::readEntry(element, base);
    if (const programme::UsableEntry* listed = reading.listed()) {
      finding.address = listed->url.text();
      finding.duration = listed->duration;
      finding.plays = listed->plays;
    } else {
      finding.address = reading.address();
    }
    finding.usable = static_cast<bool>(reading);
    finding.reason = reading.words();
    finding.notes = reading.notes();
    report.entries.push_back(std::move(finding));
  }
  const programme::Cycle cycle = programme::buildCycle(document, base);
  report.cycleItems = cycle.items.size();
  report.cycleLength = programme::cycleLength(cycle.durations);
  if (report.cycleItems > 0 && !(report.cycleLength > 0.0)) {
    report.warnings.push_back("the cycle's listed length is " + seconds(report.cycleLength) +
                              " s: the clock cannot place it, every load starts at the first item");
  }
  return report;
}

void applyProbes(CheckReport& report, const std::vector<std::optional<StreamProbe>>& probes) {
  for (size_t i = 0; i < report.entries.size() && i < probes.size(); ++i) {
    EntryFinding& entry = report.entries[i];
    if (!probes[i]) {
      continue;
    }
    entry.probe = probes[i];
    const StreamProbe& probe = *entry.probe;
    const std::string name = "entry " + std::to_string(entry.index) + " (" + entry.address + ")";
    if (!probe.reachable) {
      report.warnings.push_back(name + " is unreachable: " + probe.error);
      continue;
    }
    if (!probe.duration || !entry.usable) {
      continue;
    }
    const double difference = *probe.duration - entry.duration;
    entry.difference = difference;
    if (std::abs(difference) > kLengthTolerance) {
      // The player keeps every item to its slot: a short stream leaves the rest of it to the
      // slate, a long one is cut where it ends.
      entry.effect = difference < 0.0
                         ? "ends " + seconds(-difference) +
                               " s early: the slate fills the rest of its slot; later items stay "
                               "on the clock"
                         : "runs " + seconds(difference) +
                               " s longer than listed: cut where its slot ends; later items "
                               "stay on the clock";
      report.warnings.push_back(name + " lasts " + seconds(*probe.duration) + " s, listed " +
                                seconds(entry.duration) + " s (" + signedSeconds(difference) +
                                " s)");
    }
  }
}

int checkStatus(const CheckReport& report) {
  if (!report.error.empty() || !report.isArray || report.cycleItems == 0) {
    return 2;
  }
  return report.warnings.empty() ? 0 : 1;
}

void writeCheckText(const CheckReport& report, std::ostream& out) {
  out << "Playlist: " << report.playlist << '\n';
  if (!report.error.empty()) {
    out << "Unusable: " << report.error << '\n';
    return;
  }
  for (const EntryFinding& entry : report.entries) {
    out << "\nentry " << entry.index << ": ";
    if (entry.usable) {
      out << "usable, " << seconds(entry.duration) << " s";
      if (entry.plays > 1) {
        out << ", played " << entry.plays << " times";
      }
    } else {
      out << "skipped: " << entry.reason;
    }
    out << '\n';
    if (entry.description) {
      out << "  " << *entry.description << '\n';
    }
    if (!entry.address.empty()) {
      out << "  " << entry.address << '\n';
    }
    for (const std::string& note : entry.notes) {
      out << "  note: " << note << '\n';
    }
    if (!entry.probe) {
      continue;
    }
    const StreamProbe& probe = *entry.probe;
    if (!probe.reachable) {
      out << "  unreachable: " << probe.error << '\n';
      continue;
    }
    out << "  reachable";
    if (!probe.variants.empty()) {
      out << "; variants:";
      for (size_t i = 0; i < probe.variants.size(); ++i) {
        out << (i == 0 ? " " : ", ") << variantText(probe.variants[i]);
      }
    }
    out << '\n';
    if (!probe.duration) {
      out << "  real length: none (a stream without an end)\n";
    } else if (entry.difference) {
      out << "  real length " << seconds(*probe.duration) << " s, listed "
          << seconds(entry.duration) << " s (" << signedSeconds(*entry.difference) << " s)"
          << (std::abs(*entry.difference) > kLengthTolerance ? ": MISMATCH" : "") << '\n';
      if (!entry.effect.empty()) {
        out << "  " << entry.effect << '\n';
      }
    }
  }
  out << "\nCycle: " << report.cycleItems << (report.cycleItems == 1 ? " item, " : " items, ")
      << seconds(report.cycleLength) << " s\n";
  const int status = checkStatus(report);
  if (status == 2) {
    out << "Unusable: nothing in the playlist can be played\n";
  }
  for (const std::string& warning : report.warnings) {
    out << "warning: " << warning << '\n';
  }
  if (status == 0) {
    out << "Sound\n";
  }
}

void writeCheckJson(const CheckReport& report, std::ostream& out) {
  nlohmann::json document = {{"playlist", report.playlist}, {"status", checkStatus(report)}};
  if (!report.error.empty()) {
    document["error"] = report.error;
  }
  nlohmann::json entries = nlohmann::json::array();
  for (const EntryFinding& entry : report.entries) {
    nlohmann::json item = {{"index", entry.index}, {"usable", entry.usable}};
    if (!entry.usable) {
      item["reason"] = entry.reason;
    } else {
      item["duration"] = entry.duration;
      item["plays"] = entry.plays;
    }
    if (!entry.address.empty()) {
      item["address"] = entry.address;
    }
    item["description"] =
        entry.description ? nlohmann::json(*entry.description) : nlohmann::json(nullptr);
    item["notes"] = entry.notes;
    if (entry.probe) {
      nlohmann::json probe = {{"reachable", entry.probe->reachable}};
      if (!entry.probe->reachable) {
        probe["error"] = entry.probe->error;
      }
      probe["duration"] =
          entry.probe->duration ? nlohmann::json(*entry.probe->duration) : nlohmann::json(nullptr);
      nlohmann::json variants = nlohmann::json::array();
      for (const StreamVariant& variant : entry.probe->variants) {
        variants.push_back({{"bandwidth", variant.bandwidth},
                            {"width", variant.width},
                            {"height", variant.height}});
      }
      probe["variants"] = std::move(variants);
      if (entry.difference) {
        probe["difference"] = *entry.difference;
        if (!entry.effect.empty()) {
          probe["effect"] = entry.effect;
        }
        probe["mismatch"] = std::abs(*entry.difference) > kLengthTolerance;
      }
      item["probe"] = std::move(probe);
    }
    entries.push_back(std::move(item));
  }
  document["entries"] = std::move(entries);
  document["cycle"] = {{"items", report.cycleItems}, {"length", report.cycleLength}};
  document["warnings"] = report.warnings;
  out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace vorn::app
