#include "platform/geometry.h"

#include <cmath>
#include <cstdio>

#include "platform/error.h"
#include "platform/timers.h"
#include "platform/url_session.h"

namespace vorn::platform {
namespace {

// A coordinate as the platform prints it: at least one decimal ("90.0", "12.5").
std::string coordinate(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  std::string text = buffer;
  if (text.find_first_of(".en") == std::string::npos) {
    text += ".0";
  }
  return text;
}

}  // namespace

std::string Rect::description() const {
  return "(" + coordinate(x) + ", " + coordinate(y) + ", " + coordinate(width) + ", " +
         coordinate(height) + ")";
}

std::string Error::description() const {
  return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + message_ + "\"";
}

std::string UrlResponse::description() const {
  return "<UrlResponse: " + url_.text() + " status " + std::to_string(statusCode_) + ">";
}

std::string Timer::description() const {
  return "<Timer: " + selector() + " every " + coordinate(timeInterval()) + " s" +
         (isValid() ? "" : ", invalid") + ">";
}

}  // namespace vorn::platform
