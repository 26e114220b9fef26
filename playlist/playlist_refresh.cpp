#include "playlist/playlist_refresh.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "playlist/playlist_document.h"
#include "programme/cycle.h"
#include "programme/document.h"

namespace vorn::playlist {

bool sameDocument(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) {
    return false;
  }
  switch (a.type()) {
    case Json::Type::null:
      return true;
    case Json::Type::boolean:
      return a.get<bool>() == b.get<bool>();
    case Json::Type::number_integer:
      return a.get<int64_t>() == b.get<int64_t>();
    case Json::Type::number_unsigned:
      return a.get<uint64_t>() == b.get<uint64_t>();
    case Json::Type::number_float:
      return a.get<double>() == b.get<double>();
    case Json::Type::string:
      return a.get<std::string_view>() == b.get<std::string_view>();
    case Json::Type::array:
    case Json::Type::object:
      // Nesting is capped by the parser, so the recursion is bounded.
      for (size_t i = 0; i < a.size(); ++i) {
        if ((a.is_object() && a.key(i) != b.key(i)) || !sameDocument(a.begin()[i], b.begin()[i])) {
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

}  // namespace vorn::playlist

namespace vorn {

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

// Why a document cannot be played as it is, or nothing when it can.
std::optional<std::string> unplayable(const Json& document, const platform::Url* base) {
  if (!document.is_array()) {
    return "the top level is not an array";
  }
  if (programme::countCycleItems(document, base, 0) == 0) {
    return "playlist has no playable entries";
  }
  return std::nullopt;
}

}  // namespace

void VornViewController::startPlaylistRefresh() {
  const double interval = platform().bundle().playlistRefreshInterval();
  // Developer mode plays the packaged copy on purpose; a remote document must not take over.
  if (DEVELOPER_MODE() || !PLAYLIST_NSURL_REMOTE() || !std::isfinite(interval) || interval <= 0) {
    return;
  }
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.started) {
      return;
    }
    refresh_.started = true;
  }
  observeItemEnds();
  scheduleRefresh();
}

void VornViewController::scheduleRefresh() {
  platform().mainQueue().post([self = self()] {
    const auto& bundle = self->platform().bundle();
    std::shared_ptr<platform::Timer> previous;
    double delay = 0.0;
    {
      std::lock_guard lock(self->refreshMutex_);
      previous = std::move(self->refresh_.timer);
      delay = playlist::refreshDelay(bundle.playlistRefreshInterval(), self->refresh_.backoffStep);
      if (self->refresh_.backoffStep >= 0) {
        ++self->refresh_.backoffStep;
      }
      delay *= playlist::refreshJitter(bundle.screenIdentity(), self->refresh_.scheduled++);
    }
    self->noteRefreshScheduled(delay);
    // One refresh is pending at a time: one due sooner or later than the new one goes.
    if (previous) {
      previous->invalidate();
    }
    auto timer = self->platform().timers().scheduledTimer(
        delay, platform::TimerAction::strong(
                   self, "refreshPlaylist:", &VornViewController::refreshPlaylist));
    std::lock_guard lock(self->refreshMutex_);
    self->refresh_.timer = std::move(timer);
  });
}

void VornViewController::beginRemoteRetries() {
  {
    std::lock_guard lock(refreshMutex_);
    if (!refresh_.started || refresh_.backoffStep >= 0) {
      return;
    }
    refresh_.backoffStep = 0;
  }
  scheduleRefresh();
}

void VornViewController::endRemoteRetries() {
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.backoffStep < 0) {
      return;
    }
    refresh_.backoffStep = -1;
  }
  scheduleRefresh();
}

void VornViewController::changePlaylistSettings(std::optional<platform::Url> remote,
                                                double refreshInterval) {
  const std::optional<platform::Url> previous = PLAYLIST_NSURL_REMOTE();
  const bool moved = remote != previous;
  const bool newInterval = refreshInterval != platform().bundle().playlistRefreshInterval();
  platform().bundle().setPlaylistRefreshInterval(refreshInterval);
  if (moved) {
    {
      std::lock_guard lock(mutex_);
      playlistUrlRemote_ = remote;
    }
    // A course at the old address goes on at the new one.
    if (playlistNSURL() && playlistNSURL() == previous) {
      setPlaylistNSURL(remote);
    }
  }
  bool started = false;
  {
    std::lock_guard lock(refreshMutex_);
    started = refresh_.started;
  }
  // Before the first fetch the new values are simply the ones it starts with.
  if (!started || DEVELOPER_MODE() || !(moved || newInterval)) {
    return;
  }
  scheduleRefresh();
  if (moved && remote) {
    startRefreshFetch();
  }
}

void VornViewController::refreshPlaylist(platform::Timer& timer) {
  (void)timer;
  noteClockSync();
  // The next one is due an interval after this one started, however long this one takes.
  scheduleRefresh();
  startRefreshFetch();
}

void VornViewController::startRefreshFetch() {
  // Asked on condition when the validators belong to what plays or waits: an unchanged document
  // then costs no body.
  const JsonPtr playing = playlist();
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
      if (validated && (validated == playing || validated == refresh_.waiting)) {
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
  platform().urlSession().startDataTask(
      *PLAYLIST_NSURL_REMOTE(), headers,
      [self = self()](std::optional<platform::Bytes> data,
                      std::shared_ptr<platform::UrlResponse> response,
                      std::shared_ptr<platform::Error> failure) {
        self->refreshPlaylistCompletionHandler(std::move(data), std::move(response),
                                               std::move(failure));
        std::lock_guard lock(self->refreshMutex_);
        self->refresh_.inFlight = false;
      });
}

void VornViewController::refreshPlaylistCompletionHandler(
    std::optional<platform::Bytes> data, std::shared_ptr<platform::UrlResponse> urlresponse,
    std::shared_ptr<platform::Error> error) {
  // A failed refresh leaves everything as it is, the programme and the fetch course alike; the
  // next one is due at the next interval anyway, so there is no retry.
  if (!data || error) {
    this->error("refreshPlaylist: Error fetching playlist: " + log::renderOptional(error));
    noteFetch(false, error ? error->message() : "no data", true);
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
    if (askedAbout == playlist()) {
      {
        std::lock_guard lock(refreshMutex_);
        refresh_.waiting.reset();
      }
      debug("refreshPlaylist: playlist unchanged");
      noteFetch(true, {}, true);
      return;
    }
    bool waits = false;
    {
      std::lock_guard lock(refreshMutex_);
      waits = askedAbout == refresh_.waiting;
      if (!waits) {
        // Neither plays nor waits any more: ask without condition next time.
        refresh_.validators.reset();
      }
    }
    if (waits) {
      debug("refreshPlaylist: the new playlist is still waiting for the next item boundary");
      noteFetch(true, {}, true);
      return;
    }
  }
  // An error page is no playlist, whatever its body holds.
  if (!playlist::answeredWithSuccess(urlresponse.get())) {
    const std::string status = std::to_string(urlresponse ? urlresponse->statusCode() : 0);
    this->error("refreshPlaylist: Error fetching playlist: HTTP status " + status);
    noteFetch(false, "HTTP status " + status, true);
    return;
  }
  std::optional<platform::Url> answered;
  if (urlresponse) {
    answered = urlresponse->url();
  }
  const std::optional<platform::Url> base = answered ? answered : PLAYLIST_NSURL_REMOTE();
  auto parsed = programme::parsePlaylist(*data, base ? &*base : nullptr);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    this->error("refreshPlaylist: Error parsing JSON: " + (*parseError)->description());
    noteFetch(false, "not a playlist: " + (*parseError)->message(), true);
    return;
  }
  const JsonPtr document = std::get<JsonPtr>(std::move(parsed));
  if (const auto why = unplayable(*document, base ? &*base : nullptr)) {
    this->error("refreshPlaylist: " + *why + "; keeping the current playlist");
    noteFetch(false, *why, true);
    return;
  }
  savePlaylistCopy(*data, "refreshPlaylist: ");
  noteFetch(true, {}, true);
  remoteAnsweredAgain();
  endRemoteRetries();

  const JsonPtr current = playlist();
  if (current && playlistAddressOf(current) == base &&
      playlist::sameDocument(*current, *document)) {
    {
      std::lock_guard lock(refreshMutex_);
      refresh_.waiting.reset();
    }
    keepValidators(*urlresponse, current, *data, "refreshPlaylist: ");
    debug("refreshPlaylist: playlist unchanged");
    return;
  }
  bool stillWaiting = false;
  JsonPtr waits;
  {
    std::lock_guard lock(refreshMutex_);
    const JsonPtr waiting = refresh_.waiting;
    stillWaiting =
        waiting && refresh_.waitingBase == base && playlist::sameDocument(*waiting, *document);
    if (!stillWaiting) {
      refresh_.waiting = document;
      refresh_.waitingBase = base;
    }
    refresh_.waitingFrom = answered;
    waits = refresh_.waiting;
  }
  keepValidators(*urlresponse, waits, *data, "refreshPlaylist: ");
  if (stillWaiting) {
    debug("refreshPlaylist: the new playlist is still waiting for the next item boundary");
    return;
  }
  debug("refreshPlaylist: new playlist from " + log::renderOptional(answered) +
        "; applying it at the next item boundary");
  // With nothing on screen there is no item boundary to wait for.
  platform().mainQueue().post([self = self()] {
    const auto player = self->queuePlayer();
    if (!player || (!player->currentItem() && !self->slate_)) {
      self->applyWaitingPlaylist(false);
    }
  });
}

void VornViewController::remoteAnsweredAgain() {
  // The remote address answers again: a fall-back copy is left, and a return to the foreground
  // asks the remote address with a whole course again.
  if (playlistNSURL() != PLAYLIST_NSURL_REMOTE()) {
    debug("refreshPlaylist: leaving " + log::renderOptional(playlistNSURL()) + " for " +
          log::renderOptional(PLAYLIST_NSURL_REMOTE()));
    setPlaylistNSURL(PLAYLIST_NSURL_REMOTE());
  }
  if (fetchPlaylistRetries() < kFetchPlaylistRetries) {
    setFetchPlaylistRetries(kFetchPlaylistRetries);
  }
}

void VornViewController::keepValidators(const platform::UrlResponse& response,
                                        const JsonPtr& document, std::string_view bytes,
                                        const std::string& operation) {
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
  if (const auto failure = platform().stateStore().write(playlist::kSavedValidatorsName, text)) {
    error(operation + "Error saving playlist: " + failure->description());
    return;
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedValidators = text;
}

bool VornViewController::applyWaitingPlaylist(bool queueEnds) {
  const auto player = queuePlayer();
  // The slate stands in for a video: a channel showing it is playing, or paused.
  const bool onScreen = player && (player->currentItem() || slate_);
  // A paused channel stays as the viewer left it: the document waits for the first boundary after
  // playback resumes.
  if (onScreen && player->rate() == 0.0f) {
    return false;
  }
  JsonPtr document;
  std::optional<platform::Url> base;
  std::optional<platform::Url> from;
  {
    std::lock_guard lock(refreshMutex_);
    document = std::move(refresh_.waiting);
    refresh_.waiting.reset();
    base = refresh_.waitingBase;
    from = refresh_.waitingFrom;
  }
  if (!document || document == playlist()) {
    return false;
  }
  notePlaylistAddress(document, base);
  notePlaylistSource(document, "remote", from ? from : base);
  setPlaylist(document);
  debug("refreshPlaylist: applying the new playlist from " + log::renderOptional(from));
  if (queueEnds) {
    return true;
  }
  // Nothing on screen: this is a start, with the indicator and the inactivity timer.
  loadVideos(onScreen);
  return true;
}

void VornViewController::playlistAccepted(std::string_view bytes, const JsonPtr& document,
                                          const std::optional<platform::Url>& answered,
                                          const platform::UrlResponse* response) {
  {
    std::lock_guard lock(refreshMutex_);
    refresh_.waiting.reset();
  }
  // The first start plays whatever answered, but only a success is the last good copy.
  if (!answered || answered->isFileUrl() || !playlist::answeredWithSuccess(response)) {
    return;
  }
  if (programme::countCycleItems(*document, &*answered, 0) > 0) {
    savePlaylistCopy(bytes, "updatePlaylistCompletionHandler: ");
    keepValidators(*response, document, bytes, "updatePlaylistCompletionHandler: ");
    endRemoteRetries();
  }
}

void VornViewController::savePlaylistCopy(std::string_view bytes, const std::string& operation) {
  const size_t digest = digestOf(bytes);
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.savedDigest == digest) {
      return;
    }
  }
  if (const auto failure = platform().stateStore().write(playlist::kSavedPlaylistName, bytes)) {
    error(operation + "Error saving playlist: " + failure->description());
    return;
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedDigest = digest;
}

bool VornViewController::useSavedPlaylist() {
  std::string where;
  const JsonPtr document = readSavedPlaylist(where);
  if (document) {
    showSavedPlaylist(document, where);
  }
  return document != nullptr;
}

JsonPtr VornViewController::readSavedPlaylist(std::string& where) {
  auto& store = platform().stateStore();
  where = log::renderOptional(std::optional<platform::Url>(
      platform::Url::fileUrlWithPath(store.location(playlist::kSavedPlaylistName))));
  auto saved = store.read(playlist::kSavedPlaylistName);
  if (!saved.data && !saved.error) {
    return nullptr;
  }
  const auto ignore = [&](const std::string& why) {
    error("Ignoring saved playlist " + where + ": " + why);
    return nullptr;
  };
  if (saved.error) {
    return ignore(saved.error->description());
  }
  // Saved only from the remote address, so its relative stream addresses are the remote's.
  const std::optional<platform::Url> base = PLAYLIST_NSURL_REMOTE();
  auto parsed = programme::parsePlaylist(*saved.data, base ? &*base : nullptr);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    return ignore((*parseError)->description());
  }
  JsonPtr document = std::get<JsonPtr>(std::move(parsed));
  if (const auto why = unplayable(*document, base ? &*base : nullptr)) {
    return ignore(*why);
  }
  // The validators saved with these very bytes, if any: the refresh asks on their condition.
  std::optional<RefreshState::Validators> validators;
  if (auto kept = store.read(playlist::kSavedValidatorsName); kept.data) {
    const auto json = nlohmann::json::parse(*kept.data, nullptr, false);
    if (json.is_object() && json.value("digest", "") == stableDigest(*saved.data) &&
        json["etag"].is_string() && json["last_modified"].is_string()) {
      validators = RefreshState::Validators{json["etag"].get<std::string>(),
                                            json["last_modified"].get<std::string>(), document};
    }
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedDigest = digestOf(*saved.data);
  refresh_.waiting.reset();
  if (validators && (!validators->etag.empty() || !validators->lastModified.empty())) {
    refresh_.validators = std::move(validators);
  }
  return document;
}

void VornViewController::showSavedPlaylist(const JsonPtr& document, const std::string& where) {
  // Announced as the packaged copy is; the file is read from the store, not downloaded.
  debug("Using saved playlist file " + where);
  debug("updatePlaylist");
  notePlaylistAddress(document, PLAYLIST_NSURL_REMOTE());
  notePlaylistSource(document, "saved",
                     platform::Url::fileUrlWithPath(
                         platform().stateStore().location(playlist::kSavedPlaylistName)));
  setPlaylist(document);
  debug("Loaded playlist from " + where);
  loadVideos(false);
}

}  // namespace vorn
