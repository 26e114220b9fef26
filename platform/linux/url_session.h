#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/url_session.h"

namespace vorn::linuxbackend {

struct UrlSessionOptions {
  // A further CA certificate (PEM) trusted next to the system's; for loopback tests.
  std::optional<std::string> extraCaFile;
  // "host:port:connect-host:connect-port" entries: connect there instead, while the certificate is
  // still checked against the requested host. For loopback tests of a fixed address.
  std::vector<std::string> connectTo;
  double connectTimeoutSeconds = 10.0;
  // A transfer slower than lowSpeedBytesPerSecond for lowSpeedSeconds is abandoned, so a server
  // that accepts and then says nothing cannot hold a request for ever.
  long lowSpeedBytesPerSecond = 1;
  long lowSpeedSeconds = 30;
  // The whole request, from name look-up through every redirect to the last body byte: a server
  // that accepts and hangs, or sends headers and stalls, gives up here. The channel's default.
  double totalTimeoutSeconds = 10.0;
  // Redirects followed at most; an https request is redirected only to https, and never to file.
  long maxRedirects = 5;
  size_t maxBodyBytes = 16 * 1024 * 1024;

  // The defaults, with VORN_CA_FILE and VORN_CONNECT_TO (comma-separated) from the environment.
  static UrlSessionOptions fromEnvironment();
};

// The URL session on libcurl: one multi handle driven by one worker thread. Requests are queued
// under a lock and the worker is woken with curl_multi_wakeup. Every request's completion runs
// exactly once on the worker thread: with the body (whatever the HTTP status), with a transfer
// error, or with a cancellation error when the session is destroyed first.
//
// Never destroy the session from inside one of its completions: the destructor joins the worker.
class CurlUrlSession : public platform::UrlSession {
 public:
  explicit CurlUrlSession(UrlSessionOptions options = {});
  ~CurlUrlSession() override;

  CurlUrlSession(const CurlUrlSession&) = delete;
  CurlUrlSession& operator=(const CurlUrlSession&) = delete;

  using platform::UrlSession::startDataTask;
  void startDataTask(const platform::Url& url, const platform::HttpHeaders& headers,
                     platform::DataTaskCompletion completion) override;

  // Whether the caller runs on the worker thread (where completions run).
  bool isWorkerThread() const;

  // The operator's new trusted authority and timeouts, for requests started from now on; a
  // request in flight keeps what it started with. Any thread.
  void changeOptions(std::optional<std::string> extraCaFile, double totalTimeoutSeconds,
                     double connectTimeoutSeconds);

 private:
  struct Request;
  void work();
  void startTransfer(std::unique_ptr<Request> request);
  void finishTransfer(CURL* easy, CURLcode result);
  static size_t writeBody(char* data, size_t size, size_t count, void* userdata);
  static size_t readHeader(char* data, size_t size, size_t count, void* userdata);

  UrlSessionOptions options_;  // the live part (CA, timeouts) changes under mutex_
  CURLM* multi_ = nullptr;
  std::mutex mutex_;
  std::deque<std::unique_ptr<Request>> incoming_;
  bool stopping_ = false;
  bool workerDone_ = false;
  std::vector<std::unique_ptr<Request>> running_;  // worker thread only
  curl_slist* connectTo_ = nullptr;                // shared by every transfer
  std::thread worker_;
};

}  // namespace vorn::linuxbackend
