#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/object.h"
#include "platform/url.h"

namespace vorn::platform {

// What answered a request: the address that answered (after redirects, the last one followed, so
// the log names where the document really came from) and, for HTTP, the status (never examined by
// the logic).
class UrlResponse : public Object {
 public:
  UrlResponse(Url url, long statusCode) : url_(std::move(url)), statusCode_(statusCode) {}
  const Url& url() const { return url_; }
  long statusCode() const { return statusCode_; }
  std::string description() const override;

 private:
  Url url_;
  long statusCode_;
};

using Bytes = std::string;
using DataTaskCompletion =
    std::function<void(std::optional<Bytes> data, std::shared_ptr<UrlResponse> response,
                       std::shared_ptr<Error> error)>;

// The process-wide URL session: a plain GET with no headers and no body, for https and file URLs.
class UrlSession {
 public:
  virtual ~UrlSession() = default;
  // Starts a download and returns at once (any thread). The completion runs exactly once per call,
  // on the session's own background thread (never the main thread), with data or an error.
  virtual void startDataTask(const Url& url, DataTaskCompletion completion) = 0;
};

}  // namespace vorn::platform
