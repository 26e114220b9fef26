#include "platform/sim/sim_url_session.h"

#include <algorithm>

namespace vorn::sim {

namespace {

std::shared_ptr<platform::Error> timedOut() {
  return platform::Error::make(platform::kUrlErrorDomain, -1001, "The request timed out.");
}

}  // namespace

void SimUrlSession::startDataTask(const platform::Url& url, const platform::HttpHeaders& headers,
                                  platform::DataTaskCompletion completion) {
  Response response;
  std::optional<uint64_t> heldId;
  double timeout = 0.0;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back({url.text(), headers, scheduler_.now()});
    if (std::find(heldUrls_.begin(), heldUrls_.end(), url.text()) != heldUrls_.end()) {
      heldId = nextHeldId_++;
      held_.push_back({url, std::move(completion), *heldId, headers});
      completion = nullptr;
      timeout = timeout_;
    } else {
      response = decide(url, headers);
    }
  }
  if (completion) {
    deliver(url, std::move(response), std::move(completion));
  }
  if (heldId && timeout > 0.0) {
    Scheduler::Work work;
    work.thread = Scheduler::Thread::background;
    work.kind = "timeout";
    work.label = url.text();
    work.run = [this, id = *heldId] { timeOutHeld(id); };
    scheduler_.schedule(scheduler_.now() + timeout, std::move(work));
  }
  trace_.line("download started: " + url.text());
}

void SimUrlSession::setStreamAnswers(std::function<bool(const std::string& url)> answers) {
  std::lock_guard lock(mutex_);
  streamAnswers_ = std::move(answers);
}

void SimUrlSession::startProbe(const platform::Url& url, platform::ProbeCompletion completion) {
  bool answers = false;
  {
    std::lock_guard lock(mutex_);
    probes_.push_back(url.text());
    if (streamAnswers_) {
      answers = streamAnswers_(url.text());
    } else {
      const Response response = decide(url);
      answers = !response.error && response.data &&
                (response.status == 0 || (response.status >= 200 && response.status < 300));
    }
  }
  Scheduler::Work work;
  work.thread = Scheduler::Thread::background;
  work.kind = "probe";
  work.label = url.text();
  work.run = [this, text = url.text(), completion = std::move(completion), answers]() mutable {
    completion(answers);
    completion = nullptr;
    trace_.line("probe: " + text + (answers ? " ok" : " failed"));
  };
  scheduler_.schedule(scheduler_.now(), std::move(work));
}

std::vector<std::string> SimUrlSession::probes() const {
  std::lock_guard lock(mutex_);
  return probes_;
}

void SimUrlSession::setTimeout(double seconds) {
  std::lock_guard lock(mutex_);
  timeout_ = seconds;
}

void SimUrlSession::timeOutHeld(uint64_t id) {
  std::optional<Held> request;
  {
    std::lock_guard lock(mutex_);
    auto found =
        std::find_if(held_.begin(), held_.end(), [&](const Held& held) { return held.id == id; });
    if (found == held_.end()) {
      return;
    }
    request = std::move(*found);
    held_.erase(found);
  }
  deliver(request->url, {.error = timedOut()}, std::move(request->completion));
}

SimUrlSession::Response SimUrlSession::decide(const platform::Url& url,
                                              const platform::HttpHeaders& headers) {
  Response response = decide(url);
  if (!response.data || response.status < 200 || response.status > 299) {
    return response;
  }
  const platform::UrlResponse fields(url, response.status, response.headers);
  const platform::UrlResponse request(url, 0, headers);
  for (const auto& [validator, condition] :
       {std::pair{"ETag", "If-None-Match"}, std::pair{"Last-Modified", "If-Modified-Since"}}) {
    const auto value = fields.valueForHeaderField(validator);
    if (value && request.valueForHeaderField(condition) == value) {
      response.status = 304;
      response.data = "";
      return response;
    }
  }
  return response;
}

SimUrlSession::Response SimUrlSession::decide(const platform::Url& url) {
  const std::string& text = url.text();
  auto once = oneShots_.find(text);
  if (once != oneShots_.end() && !once->second.empty()) {
    Response scripted = std::move(once->second.front());
    once->second.pop_front();
    return scripted;
  }
  if (auto rule = rules_.find(text); rule != rules_.end()) {
    return rule->second;
  }
  if (url.isFileUrl()) {
    auto file = files_.find(url.filePath());
    if (file == files_.end()) {
      return {.error = platform::Error::make(platform::kUrlErrorDomain, -1100,
                                             "The requested file does not exist.")};
    }
    return {.data = file->second, .status = 0};
  }
  return {.error = platform::Error::make(platform::kUrlErrorDomain, -1003,
                                         "A server with the specified hostname could not be "
                                         "found.")};
}

void SimUrlSession::deliver(const platform::Url& url, Response response,
                            platform::DataTaskCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    if (timeout_ > 0.0 && response.delay > timeout_) {
      response = {.error = timedOut(), .delay = timeout_};
    }
    bodyBytes_ += response.data && !response.error ? response.data->size() : 0;
  }
  std::shared_ptr<platform::UrlResponse> answered;
  if (!response.error) {
    std::optional<platform::Url> from;
    if (response.answeredFrom) {
      from = platform::Url::parse(*response.answeredFrom);
    }
    answered = std::make_shared<platform::UrlResponse>(from.value_or(url), response.status,
                                                       std::move(response.headers));
  }
  // The completion carries the answer decided now.
  Scheduler::Work work;
  work.thread = Scheduler::Thread::background;
  work.kind = "download";
  work.label = url.text();
  work.run = [this, text = url.text(), completion = std::move(completion),
              data = std::move(response.data), answered = std::move(answered),
              error = std::move(response.error)]() mutable {
    completion(std::move(data), std::move(answered), std::move(error));
    completion = nullptr;
    trace_.line("download finished: " + text);
  };
  scheduler_.schedule(scheduler_.now() + std::max(0.0, response.delay), std::move(work));
}

void SimUrlSession::serve(const std::string& url, Response response) {
  std::lock_guard lock(mutex_);
  rules_[url] = std::move(response);
}

void SimUrlSession::serveOnce(const std::string& url, Response response) {
  std::lock_guard lock(mutex_);
  oneShots_[url].push_back(std::move(response));
}

std::vector<std::string> SimUrlSession::requests() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> urls;
  urls.reserve(requests_.size());
  for (const auto& request : requests_) {
    urls.push_back(request.url);
  }
  return urls;
}

std::vector<SimUrlSession::Request> SimUrlSession::requestLog() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t SimUrlSession::bodyBytes() const {
  std::lock_guard lock(mutex_);
  return bodyBytes_;
}

size_t SimUrlSession::pendingDownloads() const {
  const size_t due = scheduler_.pendingCount("download");
  std::lock_guard lock(mutex_);
  return due + held_.size();
}

void SimUrlSession::hold(const std::string& url) {
  std::lock_guard lock(mutex_);
  if (std::find(heldUrls_.begin(), heldUrls_.end(), url) == heldUrls_.end()) {
    heldUrls_.push_back(url);
  }
}

std::vector<std::string> SimUrlSession::heldRequests() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> urls;
  for (const auto& request : held_) {
    urls.push_back(request.url.text());
  }
  return urls;
}

bool SimUrlSession::answer(const std::string& url, Response response) {
  std::optional<Held> request;
  {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(held_.begin(), held_.end(),
                              [&](const Held& held) { return held.url.text() == url; });
    if (found == held_.end()) {
      return false;
    }
    request = std::move(*found);
    held_.erase(found);
  }
  deliver(request->url, std::move(response), std::move(request->completion));
  return true;
}

size_t SimUrlSession::release(const std::string& url) {
  std::vector<std::pair<Held, Response>> answered;
  {
    std::lock_guard lock(mutex_);
    std::erase(heldUrls_, url);
    for (auto it = held_.begin(); it != held_.end();) {
      if (it->url.text() == url) {
        Response response = decide(it->url, it->headers);
        answered.emplace_back(std::move(*it), std::move(response));
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& [request, response] : answered) {
    deliver(request.url, std::move(response), std::move(request.completion));
  }
  return answered.size();
}

std::vector<platform::DataTaskCompletion> SimUrlSession::dropHeld() {
  std::vector<platform::DataTaskCompletion> dropped;
  std::lock_guard lock(mutex_);
  for (auto& request : held_) {
    dropped.push_back(std::move(request.completion));
  }
  held_.clear();
  return dropped;
}

void SimUrlSession::writeFile(const std::string& path, std::string contents) {
  std::lock_guard lock(mutex_);
  files_[path] = std::move(contents);
}

void SimUrlSession::removeFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  files_.erase(path);
}

}  // namespace vorn::sim
