#include "interaction/overlay.h"

namespace vorn::overlay {

std::string descriptionOf(const Json* entry) {
  if (entry == nullptr || !entry->is_object()) {
    return {};
  }
  const auto found = entry->find("description_attribution");
  if (found == entry->end() || !found->is_string()) {
    return {};
  }
  return found->get<std::string>();
}

std::string compose(const std::string& prefix, const Json* entry) {
  return prefix + kNowPlaying + descriptionOf(entry);
}

}  // namespace vorn::overlay
