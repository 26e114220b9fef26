#include "platform/media.h"

namespace vorn::platform {

std::string PlayerItem::description() const {
  return describeAs("PlayerItem");
}

std::string PlayerItem::describeAs(const std::string& className) const {
  return "<" + className + ": " + (asset_ ? asset_->url().text() : std::string("no asset")) + ">";
}

}  // namespace vorn::platform
