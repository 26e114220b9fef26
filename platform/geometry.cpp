#include "platform/geometry.h"

#include <algorithm>
#include <cctype>
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

void UrlSession::startProbe(const Url& url, ProbeCompletion completion) {
  // A server that ignores the range still answers, and its status is what counts.
  startDataTask(url, {{"Range", "bytes=0-" + std::to_string(kProbeBytes - 1)}},
                [completion = std::move(completion)](std::optional<Bytes> data,
                                                     std::shared_ptr<UrlResponse> response,
                                                     std::shared_ptr<Error> error) {
                  const long status = response ? response->statusCode() : -1;
                  completion(!error && data && (status == 0 || (status >= 200 && status < 300)));
                });
}

std::optional<std::string> UrlResponse::valueForHeaderField(std::string_view name) const {
  const auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) ==
                    std::tolower(static_cast<unsigned char>(y));
           });
  };
  for (auto field = headers_.rbegin(); field != headers_.rend(); ++field) {
    if (same(field->first, name)) {
      return field->second;
    }
  }
  return std::nullopt;
}

std::string UrlResponse::description() const {
  return "<UrlResponse: " + url_.text() + " status " + std::to_string(statusCode_) + ">";
}

std::string Timer::description() const {
  return "<Timer: " + selector() + " every " + coordinate(timeInterval()) + " s" +
         (isValid() ? "" : ", invalid") + ">";
}

}  // namespace vorn::platform
