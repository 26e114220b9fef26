#include "playlist/playlist_refresh.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "programme/cycle.h"
#include "programme/document.h"

namespace vorn::playlist {

bool answeredWithSuccess(const platform::UrlResponse* response) {
  // Status 0 is a file read, which has no status.
  return response && (response->statusCode() == 0 ||
                      (response->statusCode() >= 200 && response->statusCode() <= 299));
}

bool sameDocument(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) {
    return false;
  }
  switch (a.type()) {
    case Json::Type::null:
      return true;
    case Json::Type::boolean:
      return a.get<bool>() == b.get<bool>();
    case Json::Type::signedInteger:
      return a.get<int64_t>() == b.get<int64_t>();
    case Json::Type::unsignedInteger:
      return a.get<uint64_t>() == b.get<uint64_t>();
    case Json::Type::floating:
      return a.get<double>() == b.get<double>();
    case Json::Type::string:
      return a.get<std::string_view>() == b.get<std::string_view>();
    case Json::Type::array:
    case Json::Type::object:
      // Nesting is capped by the parser, so the recursion is bounded.
      for (size_t i = 0; i < a.size(); ++i) {
        if ((a.isObject() && a.key(i) != b.key(i)) || !sameDocument(a.begin()[i], b.begin()[i])) {
          return false;
        }
      }
      return true;
  }
  return false;
}

double refreshJitter(std::optional<uint64_t> screen, uint64_t refresh) {
  if (!screen) {
    return 1.0;
  }
  // splitmix64 of the screen and the refresh's number: the same screen spreads its own refreshes
  // too, so two screens never stay in step.
  uint64_t mixed = *screen + 0x9E3779B97F4A7C15ull * (refresh + 1);
  mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
  mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
  mixed ^= mixed >> 31;
  const double unit = static_cast<double>(mixed >> 11) * 0x1.0p-53;  // [0, 1)
  return 1.0 - kRefreshJitter + 2.0 * kRefreshJitter * unit;
}

double refreshDelay(double interval, int backoffStep) {
  if (backoffStep < 0) {
    return interval;
  }
  return std::min(interval, kFirstRemoteRetrySeconds * std::ldexp(1.0, std::min(backoffStep, 40)));
}

namespace {

size_t digestOf(std::string_view bytes) {
  return std::hash<std::string_view>{}(bytes);
}

// A digest that every build computes alike (FNV-1a), for what is kept on disk.
std::string stableDigest(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : bytes) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// What the validators of an answer are kept as next to the saved copy whose bytes they came with.
std::string validatorsText(const std::string& etag, const std::string& lastModified,
                           std::string_view bytes) {
  return nlohmann::json{
      {"etag", etag}, {"last_modified", lastModified}, {"digest", stableDigest(bytes)}}
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void PlaylistSource::startRefresh() {
  VornViewController& c = owner_;
  const double interval = c.platform().bundle().playlistRefreshInterval();
  // Developer mode plays the packaged copy on purpose; a remote document must not take over.
  if (c.DEVELOPER_MODE() || !c.PLAYLIST_NSURL_REMOTE() || !std::isfinite(interval) ||
      interval <= 0) {
    return;
  }
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.started) {
      return;
    }
    refresh_.started = true;
  }
  c.observeItemEnds();
  scheduleRefresh();
}

void PlaylistSource::scheduleRefresh() {
  VornViewController& c = owner_;
  c.platform().mainQueue().post([this, self = owner()] {
    const auto& bundle = self->platform().bundle();
    std::shared_ptr<platform::Timer> previous;
    double delay = 0.0;
    {
      std::lock_guard lock(refreshMutex_);
      previous = std::move(refresh_.timer);
      delay = refreshDelay(bundle.playlistRefreshInterval(), refresh_.backoffStep);
      if (refresh_.backoffStep >= 0) {
        ++refresh_.backoffStep;
      }
      delay *= refreshJitter(bundle.screenIdentity(), refresh_.scheduled++);
    }
    self->noteRefreshScheduled(delay);
    // One refresh is pending at a time: one due sooner or later than the new one goes.
    if (previous) {
      previous->invalidate();
    }
    auto timer = self->platform().timers().scheduledTimer(
        delay, platform::TimerAction::strong(
                   self, "refreshPlaylist:", &VornViewController::refreshPlaylist));
    std::lock_guard lock(refreshMutex_);
    refresh_.timer = std::move(timer);
  });
}

void PlaylistSource::beginRemoteRetries() {
  {
    std::lock_guard lock(refreshMutex_);
    if (!refresh_.started || refresh_.backoffStep >= 0) {
      return;
    }
    refresh_.backoffStep = 0;
  }
  scheduleRefresh();
}

void PlaylistSource::endRemoteRetries() {
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.backoffStep < 0) {
      return;
    }
    refresh_.backoffStep = -1;
  }
  scheduleRefresh();
}

void PlaylistSource::settingsChanged(const std::optional<platform::Url>& previous, bool moved,
                                     bool newInterval) {
  VornViewController& c = owner_;
  const std::optional<platform::Url> remote = c.PLAYLIST_NSURL_REMOTE();
  // A course at the old address goes on at the new one.
  if (moved && c.playlistNSURL() && c.playlistNSURL() == previous) {
    c.setPlaylistNSURL(remote);
  }
  bool started = false;
  {
    std::lock_guard lock(refreshMutex_);
    started = refresh_.started;
  }
  // Before the first fetch the new values are simply the ones it starts with.
  if (!started || c.DEVELOPER_MODE() || !(moved || newInterval)) {
    return;
  }
  scheduleRefresh();
  if (moved && remote) {
    startRefreshFetch();
  }
}

void PlaylistSource::refreshDue() {
  VornViewController& c = owner_;
  c.noteClockSync();
  // The next one is due an interval after this one started, however long this one takes.
  scheduleRefresh();
  startRefreshFetch();
}

void PlaylistSource::startRefreshFetch() {
  VornViewController& c = owner_;
  // Asked on condition when the validators belong to what plays or waits: an unchanged document
  // then costs no body.
  const JsonPtr playing = c.playlist();
  platform::HttpHeaders headers;
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.inFlight) {
      return;
    }
    refresh_.inFlight = true;
    refresh_.askedAbout.reset();
    if (refresh_.validators) {
      const JsonPtr validated = refresh_.validators->document.lock();
      if (validated && (validated == playing || validated == refresh_.waiting.document)) {
        if (!refresh_.validators->etag.empty()) {
          headers.emplace_back("If-None-Match", refresh_.validators->etag);
        }
        if (!refresh_.validators->lastModified.empty()) {
          headers.emplace_back("If-Modified-Since", refresh_.validators->lastModified);
        }
        refresh_.askedAbout = validated;
      }
    }
  }
  c.platform().urlSession().startDataTask(
      *c.PLAYLIST_NSURL_REMOTE(), headers,
      [this, self = owner()](std::optional<platform::Bytes> data,
                             std::shared_ptr<platform::UrlResponse> response,
                             std::shared_ptr<platform::Error> failure) {
        self->refreshPlaylistCompletionHandler(std::move(data), std::move(response),
                                               std::move(failure));
        std::lock_guard lock(refreshMutex_);
        refresh_.inFlight = false;
      });
}

void PlaylistSource::refreshed(std::optional<platform::Bytes> data,
                               std::shared_ptr<platform::UrlResponse> urlresponse,
                               std::shared_ptr<platform::Error> error) {
  VornViewController& c = owner_;
  // A failed refresh leaves everything as it is, the programme and the fetch course alike; the
  // next one is due at the next interval anyway, so there is no retry.
  if (!data || error) {
    c.error("refreshPlaylist: Error fetching playlist: " + log::renderOptional(error));
    c.noteFetch(false, error ? error->message() : "no data", true);
    return;
  }
  JsonPtr askedAbout;
  {
    std::lock_guard lock(refreshMutex_);
    askedAbout = refresh_.askedAbout.lock();
    refresh_.askedAbout.reset();
  }
  // Not modified since the answer that brought what plays, or what waits for its boundary.
  if (urlresponse && urlresponse->statusCode() == 304 && askedAbout) {
    remoteAnsweredAgain();
    endRemoteRetries();
    if (askedAbout == c.playlist()) {
      {
        std::lock_guard lock(refreshMutex_);
        refresh_.waiting = {};
      }
      c.debug("refreshPlaylist: playlist unchanged");
      c.noteFetch(true, {}, true);
      return;
    }
    bool waits = false;
    {
      std::lock_guard lock(refreshMutex_);
      waits = askedAbout == refresh_.waiting.document;
      if (!waits) {
        // Neither plays nor waits any more: ask without condition next time.
        refresh_.validators.reset();
      }
    }
    if (waits) {
      c.debug("refreshPlaylist: the new playlist is still waiting for the next item boundary");
      c.noteFetch(true, {}, true);
      return;
    }
  }
  // An error page is no playlist, whatever its body holds.
  if (!answeredWithSuccess(urlresponse.get())) {
    const std::string status = std::to_string(urlresponse ? urlresponse->statusCode() : 0);
    c.error("refreshPlaylist: Error fetching playlist: HTTP status " + status);
    c.noteFetch(false, "HTTP status " + status, true);
    return;
  }
  std::optional<platform::Url> answered;
  if (urlresponse) {
    answered = urlresponse->url();
  }
  auto verdict = accept(*data, answered, Origin::refresh);
  if (const auto* refused = std::get_if<Refused>(&verdict)) {
    c.error("refreshPlaylist: " + (refused->byParser()
                                       ? "Error parsing JSON: " + refused->words()
                                       : refused->words() + "; keeping the current playlist"));
    c.noteFetch(false, refused->summary(), true);
    return;
  }
  const Accepted& accepted = std::get<Accepted>(verdict);
  const JsonPtr& document = accepted.document;
  const std::optional<platform::Url>& base = accepted.base;
  saveCopy(*data, "refreshPlaylist: ");
  c.noteFetch(true, {}, true);
  remoteAnsweredAgain();
  endRemoteRetries();

  const JsonPtr current = c.playlist();
  if (current && addressOf(current) == base && sameDocument(*current, *document)) {
    {
      std::lock_guard lock(refreshMutex_);
      refresh_.waiting = {};
    }
    keepValidators(*urlresponse, current, *data, "refreshPlaylist: ");
    c.debug("refreshPlaylist: playlist unchanged");
    return;
  }
  bool stillWaiting = false;
  JsonPtr waits;
  {
    std::lock_guard lock(refreshMutex_);
    const JsonPtr& waiting = refresh_.waiting.document;
    stillWaiting = waiting && refresh_.waiting.base == base && sameDocument(*waiting, *document);
    if (!stillWaiting) {
      refresh_.waiting = accepted;
    }
    refresh_.waitingFrom = answered;
    waits = refresh_.waiting.document;
  }
  keepValidators(*urlresponse, waits, *data, "refreshPlaylist: ");
  if (stillWaiting) {
    c.debug("refreshPlaylist: the new playlist is still waiting for the next item boundary");
    return;
  }
  c.debug("refreshPlaylist: new playlist from " + log::renderOptional(answered) +
          "; applying it at the next item boundary");
  // With nothing on screen there is no item boundary to wait for.
  c.platform().mainQueue().post([this, self = owner()] {
    const auto player = self->queuePlayer();
    if (!player || (!player->currentItem() && !self->slate_)) {
      applyWaiting(false);
    }
  });
}

void PlaylistSource::remoteAnsweredAgain() {
  VornViewController& c = owner_;
  // The remote address answers again: a fall-back copy is left, and a return to the foreground
  // asks the remote address with a whole course again.
  if (c.playlistNSURL() != c.PLAYLIST_NSURL_REMOTE()) {
    c.debug("refreshPlaylist: leaving " + log::renderOptional(c.playlistNSURL()) + " for " +
            log::renderOptional(c.PLAYLIST_NSURL_REMOTE()));
    c.setPlaylistNSURL(c.PLAYLIST_NSURL_REMOTE());
  }
  if (c.fetchPlaylistRetries() < VornViewController::kFetchPlaylistRetries) {
    c.setFetchPlaylistRetries(VornViewController::kFetchPlaylistRetries);
  }
}

void PlaylistSource::keepValidators(const platform::UrlResponse& response, const JsonPtr& document,
                                    std::string_view bytes, const std::string& operation) {
  VornViewController& c = owner_;
  const std::string etag = response.valueForHeaderField("ETag").value_or("");
  const std::string lastModified = response.valueForHeaderField("Last-Modified").value_or("");
  const std::string text = validatorsText(etag, lastModified, bytes);
  {
    std::lock_guard lock(refreshMutex_);
    if (etag.empty() && lastModified.empty()) {
      refresh_.validators.reset();
    } else {
      refresh_.validators = RefreshState::Validators{etag, lastModified, document};
    }
    // None to keep: one kept from before names other bytes, and is not used with these.
    if (refresh_.savedValidators == text || !refresh_.validators) {
      return;
    }
  }
  // Next to the saved copy, so that a restart on that copy still asks on condition.
  if (const auto failure = c.platform().stateStore().write(kSavedValidatorsName, text)) {
    c.error(operation + "Error saving playlist: " + failure->description());
    return;
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedValidators = text;
}

bool PlaylistSource::applyWaiting(bool queueEnds) {
  VornViewController& c = owner_;
  const auto player = c.queuePlayer();
  // The slate stands in for a video: a channel showing it is playing, or paused.
  const bool onScreen = player && (player->currentItem() || c.slate_);
  // A paused channel stays as the viewer left it: the document waits for the first boundary after
  // playback resumes.
  if (onScreen && player->rate() == 0.0f) {
    return false;
  }
  Accepted waiting;
  std::optional<platform::Url> from;
  {
    std::lock_guard lock(refreshMutex_);
    waiting = std::exchange(refresh_.waiting, {});
    from = refresh_.waitingFrom;
  }
  if (!waiting.document || waiting.document == c.playlist()) {
    return false;
  }
  note(waiting);
  c.notePlaylistSource(waiting.document, "remote", from ? from : waiting.base);
  c.setPlaylist(waiting.document);
  c.debug("refreshPlaylist: applying the new playlist from " + log::renderOptional(from));
  if (queueEnds) {
    return true;
  }
  // Nothing on screen: this is a start, with the indicator and the inactivity timer.
  c.loadVideos(onScreen);
  return true;
}

void PlaylistSource::taken(std::string_view bytes, const Accepted& accepted,
                           const std::optional<platform::Url>& answered,
                           const platform::UrlResponse* response) {
  {
    std::lock_guard lock(refreshMutex_);
    refresh_.waiting = {};
  }
  // The first start plays whatever answered, but only a success is the last good copy.
  if (!answered || answered->isFileUrl() || !answeredWithSuccess(response)) {
    return;
  }
  if (accepted.playable) {
    saveCopy(bytes, "updatePlaylistCompletionHandler: ");
    keepValidators(*response, accepted.document, bytes, "updatePlaylistCompletionHandler: ");
    endRemoteRetries();
  }
}

void PlaylistSource::saveCopy(std::string_view bytes, const std::string& operation) {
  VornViewController& c = owner_;
  const size_t digest = digestOf(bytes);
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.savedDigest == digest) {
      return;
    }
  }
  if (const auto failure = c.platform().stateStore().write(kSavedPlaylistName, bytes)) {
    c.error(operation + "Error saving playlist: " + failure->description());
    return;
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedDigest = digest;
}

bool PlaylistSource::useSavedCopy() {
  std::string where;
  const JsonPtr document = readSavedCopy(where);
  if (document) {
    showSavedCopy(document, where);
  }
  return document != nullptr;
}

JsonPtr PlaylistSource::readSavedCopy(std::string& where) {
  VornViewController& c = owner_;
  auto& store = c.platform().stateStore();
  where = log::renderOptional(std::optional<platform::Url>(
      platform::Url::fileUrlWithPath(store.location(kSavedPlaylistName))));
  auto saved = store.read(kSavedPlaylistName);
  if (!saved.data && !saved.error) {
    return nullptr;
  }
  const auto ignore = [&](const std::string& why) {
    c.error("Ignoring saved playlist " + where + ": " + why);
    return nullptr;
  };
  if (saved.error) {
    return ignore(saved.error->description());
  }
  auto verdict = accept(*saved.data, std::nullopt, Origin::saved);
  if (const auto* refused = std::get_if<Refused>(&verdict)) {
    return ignore(refused->words());
  }
  JsonPtr document = std::get<Accepted>(std::move(verdict)).document;
  // The validators saved with these very bytes, if any: the refresh asks on their condition.
  std::optional<RefreshState::Validators> validators;
  if (auto kept = store.read(kSavedValidatorsName); kept.data) {
    const auto json = nlohmann::json::parse(*kept.data, nullptr, false);
    if (json.is_object() && json.value("digest", "") == stableDigest(*saved.data) &&
        json["etag"].is_string() && json["last_modified"].is_string()) {
      validators = RefreshState::Validators{json["etag"].get<std::string>(),
                                            json["last_modified"].get<std::string>(), document};
    }
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedDigest = digestOf(*saved.data);
  refresh_.waiting = {};
  if (validators && (!validators->etag.empty() || !validators->lastModified.empty())) {
    refresh_.validators = std::move(validators);
  }
  return document;
}

void PlaylistSource::showSavedCopy(const JsonPtr& document, const std::string& where) {
  VornViewController& c = owner_;
  // Announced as the packaged copy is; the file is read from the store, not downloaded.
  c.debug("Using saved playlist file " + where);
  c.debug("updatePlaylist");
  // Read back only when it plays; saved only from the remote address, whose it resolves against.
  note({document, c.PLAYLIST_NSURL_REMOTE(), true});
  c.notePlaylistSource(
      document, "saved",
      platform::Url::fileUrlWithPath(c.platform().stateStore().location(kSavedPlaylistName)));
  c.setPlaylist(document);
  c.debug("Loaded playlist from " + where);
  c.loadVideos(false);
}

}  // namespace vorn::playlist

namespace vorn {

// The controller's operations of the refresh: the timer's action, the download's end and the
// operator's new settings, handed to the playlist source.

void VornViewController::refreshPlaylist(platform::Timer& timer) {
  (void)timer;
  playlistSource_.refreshDue();
}

void VornViewController::refreshPlaylistCompletionHandler(
    std::optional<platform::Bytes> data, std::shared_ptr<platform::UrlResponse> urlresponse,
    std::shared_ptr<platform::Error> error) {
  playlistSource_.refreshed(std::move(data), std::move(urlresponse), std::move(error));
}

void VornViewController::changePlaylistSettings(std::optional<platform::Url> remote,
                                                double refreshInterval) {
  const std::optional<platform::Url> previous = PLAYLIST_NSURL_REMOTE();
  const bool moved = remote != previous;
  const bool newInterval = refreshInterval != platform().bundle().playlistRefreshInterval();
  platform().bundle().setPlaylistRefreshInterval(refreshInterval);
  if (moved) {
    std::lock_guard lock(mutex_);
    playlistUrlRemote_ = std::move(remote);
  }
  playlistSource_.settingsChanged(previous, moved, newInterval);
}

bool VornViewController::applyWaitingPlaylist(bool queueEnds) {
  return playlistSource_.applyWaiting(queueEnds);
}

}  // namespace vorn
