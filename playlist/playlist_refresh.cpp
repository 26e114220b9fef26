#include "playlist/playlist_refresh.h"

#include <cmath>
#include <functional>

#include "channel/programme_clock.h"
#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "playlist/playlist_document.h"

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

}  // namespace vorn::playlist

namespace vorn {

namespace {

size_t digestOf(std::string_view bytes) {
  return std::hash<std::string_view>{}(bytes);
}

// Why a document cannot be played as it is, or nothing when it can.
std::optional<std::string> unplayable(const Json& document, const platform::Url* base) {
  if (!document.is_array()) {
    return "the top level is not an array";
  }
  if (programme::countCycleItems(document, base) > programme::kMaxCycleItems) {
    return playlist::tooManyItemsError()->description();
  }
  if (programme::countCycleItems(document, base, 0) == 0) {
    return "no playable entries";
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
    self->noteRefreshScheduled(self->platform().bundle().playlistRefreshInterval());
    self->platform().timers().scheduledTimer(
        self->platform().bundle().playlistRefreshInterval(),
        platform::TimerAction::strong(self,
                                      "refreshPlaylist:", &VornViewController::refreshPlaylist));
  });
}

void VornViewController::refreshPlaylist(platform::Timer& timer) {
  (void)timer;
  noteClockSync();
  // The next one is due an interval after this one started, however long this one takes.
  scheduleRefresh();
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.inFlight) {
      return;
    }
    refresh_.inFlight = true;
  }
  platform().urlSession().startDataTask(
      *PLAYLIST_NSURL_REMOTE(), [self = self()](std::optional<platform::Bytes> data,
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
  auto parsed = playlist::parseDocument(*data);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    this->error("refreshPlaylist: Error parsing JSON: " + (*parseError)->description());
    noteFetch(false, "not a playlist: " + (*parseError)->message(), true);
    return;
  }
  const JsonPtr document = std::get<JsonPtr>(std::move(parsed));
  std::optional<platform::Url> answered;
  if (urlresponse) {
    answered = urlresponse->url();
  }
  const std::optional<platform::Url> base = answered ? answered : PLAYLIST_NSURL_REMOTE();
  if (const auto why = unplayable(*document, base ? &*base : nullptr)) {
    if (*why == "no playable entries") {
      this->error(
          "updatePlaylistCompletionHandler: playlist has no playable entries; keeping the "
          "current playlist");
    } else {
      this->error("refreshPlaylist: " + *why + "; keeping the current playlist");
    }
    return;
  }
  savePlaylistCopy(*data);
  noteFetch(true, {}, true);

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

  const JsonPtr current = playlist();
  if (current && playlistAddressOf(current) == base &&
      playlist::sameDocument(*current, *document)) {
    {
      std::lock_guard lock(refreshMutex_);
      refresh_.waiting.reset();
    }
    debug("refreshPlaylist: playlist unchanged");
    return;
  }
  bool stillWaiting = false;
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
  }
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

void VornViewController::playlistAccepted(std::string_view bytes, const Json& document,
                                          const std::optional<platform::Url>& answered) {
  {
    std::lock_guard lock(refreshMutex_);
    refresh_.waiting.reset();
  }
  if (!answered || answered->isFileUrl()) {
    return;
  }
  if (programme::countCycleItems(document, &*answered, 0) > 0) {
    savePlaylistCopy(bytes);
  }
}

void VornViewController::savePlaylistCopy(std::string_view bytes) {
  const size_t digest = digestOf(bytes);
  {
    std::lock_guard lock(refreshMutex_);
    if (refresh_.savedDigest == digest) {
      return;
    }
  }
  if (const auto failure = platform().stateStore().write(playlist::kSavedPlaylistName, bytes)) {
    error("Error saving playlist: " + failure->description());
    return;
  }
  std::lock_guard lock(refreshMutex_);
  refresh_.savedDigest = digest;
}

bool VornViewController::useSavedPlaylist() {
  auto& store = platform().stateStore();
  const std::string where = store.location(playlist::kSavedPlaylistName);
  auto saved = store.read(playlist::kSavedPlaylistName);
  if (!saved.data && !saved.error) {
    return false;
  }
  const auto ignore = [&](const std::string& why) {
    error("Ignoring saved playlist " + where + ": " + why);
    return false;
  };
  if (saved.error) {
    return ignore(saved.error->description());
  }
  auto parsed = playlist::parseDocument(*saved.data);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    return ignore((*parseError)->description());
  }
  const JsonPtr document = std::get<JsonPtr>(std::move(parsed));
  // Saved only from the remote address, so its relative stream addresses are the remote's.
  const std::optional<platform::Url> base = PLAYLIST_NSURL_REMOTE();
  if (const auto why = unplayable(*document, base ? &*base : nullptr)) {
    return ignore(*why);
  }
  {
    std::lock_guard lock(refreshMutex_);
    refresh_.savedDigest = digestOf(*saved.data);
    refresh_.waiting.reset();
  }
  debug("Using saved playlist file " + where);
  notePlaylistAddress(document, base);
  notePlaylistSource(document, "saved", base);
  setPlaylist(document);
  loadVideos(false);
  return true;
}

}  // namespace vorn
