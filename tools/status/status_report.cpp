#include "tools/status/status_report.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>

namespace vorn::app {

namespace {

std::optional<double> parseIsoTime(const nlohmann::json& value) {
  if (!value.is_string()) {
    return std::nullopt;
  }
  struct tm utc {};
  const std::string text = value.get<std::string>();
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  if (end == nullptr || *end != '\0') {
    return std::nullopt;
  }
  return static_cast<double>(timegm(&utc));
}

std::string textOf(const nlohmann::json& object, const char* key, const char* absent = "-") {
  if (!object.is_object()) {
    return absent;
  }
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) {
    return absent;
  }
  return found->is_string() ? found->get<std::string>() : found->dump();
}

std::string duration(double seconds) {
  const auto whole = static_cast<long long>(std::max(0.0, seconds));
  char text[64];
  if (whole >= 86400) {
    std::snprintf(text, sizeof text, "%lld d %lld h", whole / 86400, whole / 3600 % 24);
  } else if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld h %02lld min", whole / 3600, whole / 60 % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld min %02lld s", whole / 60, whole % 60);
  }
  return text;
}

}  // namespace

StatusReport judgeStatus(const std::string& fileText, const std::string& fileError, double now) {
  StatusReport report;
  if (!fileError.empty()) {
    report.problems.push_back("not running (" + fileError + ")");
    report.text = "vorn: not running: " + fileError + "\n";
    return report;
  }
  const auto document = nlohmann::json::parse(fileText, nullptr, false);
  const auto updatedAt = document.is_object() && document.contains("updated_at")
                             ? parseIsoTime(document["updated_at"])
                             : std::nullopt;
  if (!document.is_object() || !updatedAt) {
    report.problems.push_back("not running (the status file is not one a player wrote)");
    report.text = "vorn: not running: the status file is not one a player wrote\n";
    return report;
  }
  const double age = now - *updatedAt;
  if (age > kStatusStaleSeconds) {
    report.problems.push_back("not running (the status file is " + duration(age) + " old)");
    report.text = "vorn: not running: the status file was last written " +
                  textOf(document, "updated_at") + ", " + duration(age) + " ago\n";
    return report;
  }

  const std::string state = textOf(document, "state");
  const auto& item = document.value("item", nlohmann::json());
  const auto& playlist = document.value("playlist", nlohmann::json());
  const auto& fetch = document.value("last_fetch", nlohmann::json());
  const auto& offset = document.value("clock_offset", nlohmann::json());
  const std::string source = textOf(playlist, "source");
  if (state == "slate") {
    report.problems.push_back("on the slate");
  }
  if (state == "no-programme") {
    report.problems.push_back("no programme");
  }
  if (source == "saved" || source == "packaged") {
    report.problems.push_back("playing the " + source + " copy of the playlist");
  }
  if (textOf(document, "clock_synchronized") == "no") {
    report.problems.push_back("the clock is not synchronised");
  }
  if (fetch.is_object() && fetch.value("ok", true) == false) {
    report.problems.push_back("the last fetch failed: " + textOf(fetch, "error"));
  }
  char offsetText[64] = "-";
  if (offset.is_number()) {
    const double seconds = offset.get<double>();
    std::snprintf(offsetText, sizeof offsetText, "%+.2f s", std::round(seconds * 100) / 100 + 0.0);
    if (std::fabs(seconds) > 2.0) {
      report.problems.push_back(std::string("off the clock by ") + offsetText);
    }
  }
  report.exitStatus = report.problems.empty() ? 0 : 1;

  std::string text =
      "vorn: " + state + ", " + (report.problems.empty() ? "healthy" : "degraded") + "\n";
  for (const auto& problem : report.problems) {
    text += "  ! " + problem + "\n";
  }
  if (item.is_object()) {
    char position[64] = "-";
    if (item.value("position", nlohmann::json()).is_number()) {
      std::snprintf(position, sizeof position, "%.1f s", item["position"].get<double>());
    }
    const std::string description = textOf(item, "description", "");
    text += "Item:          #" + std::to_string(item.value("index", 0) + 1) + " " +
            (description.empty() ? textOf(item, "url") : description) + ", at " + position + "\n";
    text += "               " + textOf(item, "url") + "\n";
  } else {
    text += "Item:          -\n";
  }
  text += std::string("Clock offset:  ") + offsetText + "\n";
  text += "Clock synced:  " + textOf(document, "clock_synchronized") + "\n";
  text += "Playlist:      " + source + " " + textOf(playlist, "url") + "\n";
  text += "               loaded " + textOf(playlist, "loaded_at") + ", hash " +
          textOf(playlist, "hash") + "\n";
  if (fetch.is_object()) {
    text += "Last fetch:    " + textOf(fetch, "at") + " " +
            (fetch.value("ok", false) ? std::string("ok") : "failed: " + textOf(fetch, "error")) +
            "\n";
  } else {
    text += "Last fetch:    -\n";
  }
  text += "Next refresh:  " + textOf(document, "next_refresh") + "\n";
  const auto uptime = document.value("uptime", nlohmann::json());
  text += "Up:            " + (uptime.is_number() ? duration(uptime.get<double>()) : "-") +
          ", version " + textOf(document, "version") + "\n";
  text += "Updated:       " + textOf(document, "updated_at") + "\n";
  report.text = std::move(text);
  return report;
}

}  // namespace vorn::app
