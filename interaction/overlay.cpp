#include "interaction/overlay.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vorn::overlay {

std::string descriptionOf(const Json* entry) {
  if (entry == nullptr || !entry->isObject()) {
    return {};
  }
  const auto found = entry->find("description_attribution");
  if (found == entry->end() || !found->isString()) {
    return {};
  }
  return found->get<std::string>();
}

std::string compose(const std::string& prefix, const Json* entry) {
  return prefix + kNowPlaying + descriptionOf(entry);
}

std::string localTimeOfDay(double secondsSince1970) {
  // Out-of-range times (a listed duration of 1e300) must not reach the conversion.
  const double whole = std::floor(secondsSince1970);
  if (!(std::fabs(whole) < 1e15)) {
    return "--:--:--";
  }
  const auto time = static_cast<std::time_t>(whole);
  std::tm local{};
  if (localtime_r(&time, &local) == nullptr) {
    return "--:--:--";
  }
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace vorn::overlay
