#include "channel/vorn_view_controller.h"

// The channel controller's two-level log: each call keeps the message in the object's history,
// then writes one system-log record with the class's fixed prefix. The message is never used as
// a format.

namespace vorn {

std::vector<std::string> VornViewController::debugmsgs() const {
  return debugmsgs_.entries();
}
void VornViewController::setDebugmsgs(const std::vector<std::string>& value) {
  debugmsgs_.replace(value);
}
std::vector<std::string> VornViewController::errors() const {
  return errors_.entries();
}
void VornViewController::setErrors(const std::vector<std::string>& value) {
  errors_.replace(value);
}

void VornViewController::debug(const std::string& message) {
  appendDebugmsg(message);
  platform().systemLog().write("DEBUG: VornViewController: " + message);
}

void VornViewController::error(const std::string& message) {
  appendError(message);
  platform().systemLog().write("ERROR: VornViewController: Alert: " + message);
}

void VorniOSViewController::debug(const std::string& message) {
  appendDebugmsg(message);
  platform().systemLog().write("DEBUG: VorniOSViewController: " + message);
}

void VorniOSViewController::error(const std::string& message) {
  appendError(message);
  platform().systemLog().write("ERROR: VorniOSViewController: Alert: " + message);
}

}  // namespace vorn
