#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/object.h"
#include "platform/url.h"

namespace vorn::platform {

// HTTP header fields, name and value, in the order sent or received.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// What answered a request: the address that answered (after redirects, the last one followed, so
// the log names where the document really came from) and, for HTTP, the status and the header
// fields of the final answer (0 and none for a file).
class UrlResponse : public Object {
 public:
  UrlResponse(Url url, long statusCode, HttpHeaders headers = {})
      : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}
  const Url& url() const { return url_; }
  long statusCode() const { return statusCode_; }
  const HttpHeaders& headers() const { return headers_; }
  // The value of the last field named `name`, whatever its case.
  std::optional<std::string> valueForHeaderField(std::string_view name) const;
  std::string description() const override;

 private:
  Url url_;
  long statusCode_;
  HttpHeaders headers_;
};

using Bytes = std::string;
using DataTaskCompletion =
    std::function<void(std::optional<Bytes> data, std::shared_ptr<UrlResponse> response,
                       std::shared_ptr<Error> error)>;
using ProbeCompletion = std::function<void(bool answers)>;

// The process-wide URL session: a GET with no body, for https and file URLs.
class UrlSession {
 public:
  virtual ~UrlSession() = default;
  // Starts a download and returns at once (any thread). The completion runs exactly once per call,
  // on the session's own background thread (never the main thread), with data or an error. The
  // request carries `headers` (a file read ignores them).
  virtual void startDataTask(const Url& url, const HttpHeaders& headers,
                             DataTaskCompletion completion) = 0;
  // A plain GET with no header of its own.
  void startDataTask(const Url& url, DataTaskCompletion completion) {
    startDataTask(url, {}, std::move(completion));
  }
  // Whether `url` answers now, at little cost: a GET of its first kProbeBytes only (a range
  // request), true for a 2xx answer or a file that reads. The completion runs once, as above.
  virtual void startProbe(const Url& url, ProbeCompletion completion);
  static constexpr size_t kProbeBytes = 4096;
};

}  // namespace vorn::platform
