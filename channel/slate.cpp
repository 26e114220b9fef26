#include "channel/slate.h"

#include "interaction/overlay.h"

namespace vorn::slate {

std::string text(const Json* entry, const std::string& nextStart) {
  std::string text = std::string(kHeading) + kCannotShow;
  if (auto description = overlay::descriptionOf(entry); !description.empty()) {
    text += description + "\n\n";
  }
  return text + kNextVideo + nextStart + ".";
}

}  // namespace vorn::slate
