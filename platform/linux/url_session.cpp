#include "platform/linux/url_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

namespace vorn::linuxbackend {
namespace {

std::once_flag curlGlobalInit;

std::shared_ptr<platform::Error> curlError(CURLcode code, const std::string& detail) {
  std::string message = curl_easy_strerror(code);
  if (!detail.empty()) {
    message += ": " + detail;
  }
  return platform::Error::make(platform::kUrlErrorDomain, static_cast<long>(code), message);
}

void complete(const platform::DataTaskCompletion& completion, std::optional<platform::Bytes> data,
              std::shared_ptr<platform::UrlResponse> response,
              std::shared_ptr<platform::Error> error) {
  if (!completion) {
    return;
  }
  // A throwing completion must not take the worker (and every later request) down with it.
  try {
    completion(std::move(data), std::move(response), std::move(error));
  } catch (const std::exception& exception) {
    std::fprintf(stderr, "vorn: a download completion threw: %s\n", exception.what());
  } catch (...) {
    std::fprintf(stderr, "vorn: a download completion threw\n");
  }
}

// Seconds as curl's milliseconds: at least 1 (0 would mean no limit at all), at most a year.
long milliseconds(double seconds) {
  constexpr double kYear = 366.0 * 86400.0;
  if (!(seconds > 0.0)) {
    return 1;
  }
  return std::max(1L, std::lround(std::min(seconds, kYear) * 1000.0));
}

// The address that answered: the requested one, or after redirects the last one followed. Without
// a redirect the requested text stays as it was given (curl would write it in its own normal form).
platform::Url answeredBy(CURL* easy, const platform::Url& requested) {
  long redirects = 0;
  curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
  char* effective = nullptr;
  if (redirects > 0 && curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
      effective) {
    if (auto answered = platform::Url::parse(effective)) {
      return *answered;
    }
  }
  return requested;
}

}  // namespace

struct CurlUrlSession::Request {
  explicit Request(platform::Url requestUrl, platform::DataTaskCompletion done)
      : url(std::move(requestUrl)), completion(std::move(done)) {}
  ~Request() {
    if (easy) {
      curl_easy_cleanup(easy);
    }
    curl_slist_free_all(requestHeaders);
  }
  platform::Url url;
  platform::DataTaskCompletion completion;
  CURL* easy = nullptr;
  curl_slist* requestHeaders = nullptr;
  platform::HttpHeaders responseHeaders;  // of the latest answer (a redirect starts them again)
  std::string body;
  size_t maxBody = 0;
  bool overCap = false;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

UrlSessionOptions UrlSessionOptions::fromEnvironment() {
  UrlSessionOptions options;
  if (const char* ca = std::getenv("VORN_CA_FILE"); ca && *ca) {
    options.extraCaFile = ca;
  }
  if (const char* connectTo = std::getenv("VORN_CONNECT_TO"); connectTo && *connectTo) {
    std::stringstream entries(connectTo);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
      if (!entry.empty()) {
        options.connectTo.push_back(entry);
      }
    }
  }
  return options;
}

CurlUrlSession::CurlUrlSession(UrlSessionOptions options) : options_(std::move(options)) {
  std::call_once(curlGlobalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  multi_ = curl_multi_init();
  // A burst of requests to one server shares a few kept-alive connections instead of opening one
  // each, as a browser would.
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
  for (const auto& entry : options_.connectTo) {
    connectTo_ = curl_slist_append(connectTo_, entry.c_str());
  }
  worker_ = std::thread([this] { work(); });
}

CurlUrlSession::~CurlUrlSession() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(multi_);
  worker_.join();
  curl_multi_cleanup(multi_);
  curl_slist_free_all(connectTo_);
}

bool CurlUrlSession::isWorkerThread() const {
  return std::this_thread::get_id() == worker_.get_id();
}

void CurlUrlSession::startDataTask(const platform::Url& url, const platform::HttpHeaders& headers,
                                   platform::DataTaskCompletion completion) {
  auto request = std::make_unique<Request>(url, std::move(completion));
  for (const auto& [name, value] : headers) {
    // A line break would start another field: such a field is not sent.
    if ((name + value).find_first_of("\r\n") == std::string::npos) {
      request->requestHeaders =
          curl_slist_append(request->requestHeaders, (name + ": " + value).c_str());
    }
  }
  {
    std::lock_guard lock(mutex_);
    if (!workerDone_) {
      incoming_.push_back(std::move(request));
    }
  }
  if (request) {
    // Only reachable while the session is being destroyed: there is no worker left to run the
    // completion on, and dropping it would break the exactly-once promise.
    complete(request->completion, std::nullopt, nullptr,
             curlError(CURLE_ABORTED_BY_CALLBACK, "the session was shut down"));
    return;
  }
  curl_multi_wakeup(multi_);
}

size_t CurlUrlSession::writeBody(char* data, size_t size, size_t count, void* userdata) {
  auto* request = static_cast<Request*>(userdata);
  size_t bytes = size * count;
  // The cap is enforced here because curl's own size limit only acts on a declared length
  // (not on chunked or file:// bodies).
  if (request->body.size() + bytes > request->maxBody) {
    request->overCap = true;
    return 0;  // curl ends the transfer with a write error
  }
  request->body.append(data, bytes);
  return bytes;
}

size_t CurlUrlSession::readHeader(char* data, size_t size, size_t count, void* userdata) {
  auto* request = static_cast<Request*>(userdata);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  if (line.starts_with("HTTP/")) {
    request->responseHeaders.clear();
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
      value.remove_prefix(1);
    }
    // Bounded, as the body is: a server cannot grow the answer without limit through its headers.
    if (request->responseHeaders.size() < 256) {
      request->responseHeaders.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
  }
  return bytes;
}

void CurlUrlSession::changeOptions(std::optional<std::string> extraCaFile,
                                   double totalTimeoutSeconds, double connectTimeoutSeconds) {
  std::lock_guard lock(mutex_);
  options_.extraCaFile = std::move(extraCaFile);
  options_.totalTimeoutSeconds = totalTimeoutSeconds;
  options_.connectTimeoutSeconds = connectTimeoutSeconds;
}

void CurlUrlSession::startTransfer(std::unique_ptr<Request> request) {
  CURL* easy = curl_easy_init();
  if (!easy) {
    complete(request->completion, std::nullopt, nullptr,
             curlError(CURLE_OUT_OF_MEMORY, "could not create a transfer"));
    return;
  }
  request->easy = easy;
  request->maxBody = options_.maxBodyBytes;
  std::optional<std::string> extraCaFile;
  double totalTimeoutSeconds = 0.0;
  double connectTimeoutSeconds = 0.0;
  {
    std::lock_guard lock(mutex_);
    extraCaFile = options_.extraCaFile;
    totalTimeoutSeconds = options_.totalTimeoutSeconds;
    connectTimeoutSeconds = options_.connectTimeoutSeconds;
  }
  curl_easy_setopt(easy, CURLOPT_URL, request->url.text().c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, request.get());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlUrlSession::writeBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, request.get());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlUrlSession::readHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, request.get());
  if (request->requestHeaders) {
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->requestHeaders);
  }
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https,http,file");
  // No downgrade: what was asked for over TLS is only accepted over TLS, and a redirect never
  // reaches the local file system.
  const bool secure = request->url.scheme() == "https";
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, options_.maxRedirects);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (extraCaFile) {
    // CAINFO replaces the bundle file but the system's hashed certificate directory (CAPATH)
    // stays, so the test CA comes on top of the system's.
    curl_easy_setopt(easy, CURLOPT_CAINFO, extraCaFile->c_str());
  }
  if (connectTo_) {
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo_);
  }
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(connectTimeoutSeconds));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedBytesPerSecond);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, options_.lowSpeedSeconds);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, milliseconds(totalTimeoutSeconds));
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.maxBodyBytes));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  CURLMcode added = curl_multi_add_handle(multi_, easy);
  if (added != CURLM_OK) {
    complete(request->completion, std::nullopt, nullptr,
             curlError(CURLE_FAILED_INIT, curl_multi_strerror(added)));
    return;
  }
  running_.push_back(std::move(request));
}

void CurlUrlSession::finishTransfer(CURL* easy, CURLcode result) {
  curl_multi_remove_handle(multi_, easy);
  std::unique_ptr<Request> request;
  for (auto it = running_.begin(); it != running_.end(); ++it) {
    if ((*it)->easy == easy) {
      request = std::move(*it);
      running_.erase(it);
      break;
    }
  }
  if (!request) {
    return;
  }
  if (request->overCap || result == CURLE_FILESIZE_EXCEEDED) {
    complete(request->completion, std::nullopt, nullptr,
             curlError(CURLE_FILESIZE_EXCEEDED,
                       "the body is larger than " + std::to_string(request->maxBody) + " bytes"));
    return;
  }
  if (result != CURLE_OK) {
    complete(request->completion, std::nullopt, nullptr, curlError(result, request->errorBuffer));
    return;
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  auto response = std::make_shared<platform::UrlResponse>(answeredBy(easy, request->url), status,
                                                          std::move(request->responseHeaders));
  complete(request->completion, std::move(request->body), std::move(response), nullptr);
}

void CurlUrlSession::work() {
  for (;;) {
    std::deque<std::unique_ptr<Request>> arrived;
    bool stopping;
    {
      std::lock_guard lock(mutex_);
      arrived.swap(incoming_);
      stopping = stopping_;
      if (stopping) {
        workerDone_ = true;
      }
    }
    if (stopping) {
      for (auto& request : running_) {
        curl_multi_remove_handle(multi_, request->easy);
        complete(request->completion, std::nullopt, nullptr,
                 curlError(CURLE_ABORTED_BY_CALLBACK, "the session was shut down"));
      }
      running_.clear();
      for (auto& request : arrived) {
        complete(request->completion, std::nullopt, nullptr,
                 curlError(CURLE_ABORTED_BY_CALLBACK, "the session was shut down"));
      }
      return;
    }
    for (auto& request : arrived) {
      startTransfer(std::move(request));
    }
    int stillRunning = 0;
    curl_multi_perform(multi_, &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        finishTransfer(message->easy_handle, message->data.result);
      }
    }
    // A wakeup (new request or shutdown) ends the wait early; otherwise curl's own timeouts
    // bound it.
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace vorn::linuxbackend
