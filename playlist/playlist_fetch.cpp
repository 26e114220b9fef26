#include <limits>
#include <variant>

#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn {

void VornViewController::viewDidAppear(bool animated) {
  (void)animated;
  debug("viewDidAppear:");
  noteStatus();
  updatePlaylistThenLoadVideos();
  startPlaylistRefresh();
}

void VornViewController::updatePlaylistThenLoadVideos() {
  fetchPlaylist(true);
}

void VornViewController::fetchPlaylist(bool mayReturnToRemote) {
  debug("updatePlaylist");
  const std::optional<platform::Url> address = [&]() -> std::optional<platform::Url> {
    if (auto current = playlistNSURL()) {
      return current;
    }
    const std::optional<platform::Url>& remoteAddress = PLAYLIST_NSURL_REMOTE();
    if (!mayReturnToRemote || PLAYLIST_NSURL_LOCAL() || DEVELOPER_MODE() || !remoteAddress) {
      return std::nullopt;
    }
    // With no packaged copy a failed course leaves no address; the remote one is the only way
    // back to a programme, so a new request starts a new course there.
    const platform::Url remote = *remoteAddress;
    debug("updatePlaylist: no local playlist file; trying " +
          log::renderOptional(std::optional<platform::Url>(remote)) + " again");
    setPlaylistNSURL(remote);
    setFetchPlaylistRetries(kFetchPlaylistRetries);
    return remote;
  }();
  if (!address) {
    // No packaged copy and nowhere else to go: say so and start nothing. Without a download
    // there is no completion and so no retry; the next foreground return tries again.
    error("updatePlaylist: no playlist address; not downloading");
    return;
  }
  platform().urlSession().startDataTask(
      *address, [self = self()](std::optional<platform::Bytes> data,
                                std::shared_ptr<platform::UrlResponse> response,
                                std::shared_ptr<platform::Error> failure) {
        self->updatePlaylistCompletionHandler(std::move(data), std::move(response),
                                              std::move(failure));
      });
}

void VornViewController::updatePlaylistCompletionHandler(
    std::optional<platform::Bytes> data, std::shared_ptr<platform::UrlResponse> urlresponse,
    std::shared_ptr<platform::Error> error) {
  debug("updatePlaylistCompletionHandler:");
  if (!data || error) {
    this->error("Error fetching playlist: " + log::renderOptional(error));
    noteFetch(false, error ? error->message() : "no data", false);
    setTimerRetryUpdatePlaylist();
    return;
  }
  std::optional<platform::Url> answered;
  if (urlresponse) {
    answered = urlresponse->url();
  }
  auto verdict = playlistSource_.accept(*data, answered, playlist::Origin::fetch);
  if (const auto* refused = std::get_if<playlist::Refused>(&verdict)) {
    switch (refused->reason) {
      case playlist::Refusal::notJson:
      case playlist::Refusal::tooManyItems:
      case playlist::Refusal::tooLarge:
        this->error("Error parsing JSON: " + refused->words());
        noteFetch(false, refused->summary(), false);
        setTimerRetryUpdatePlaylist();
        return;
      case playlist::Refusal::notAnArray:
        setTimerRetryUpdatePlaylist();
        return;
      case playlist::Refusal::nothingPlayable:
        // Not a failed download: the programme on screen goes on, and nothing is retried.
        this->error("updatePlaylistCompletionHandler: " + refused->words() +
                    "; keeping the current playlist");
        return;
    }
  }
  auto& accepted = std::get<playlist::Accepted>(verdict);
  const std::optional<platform::Url>& base = accepted.base;
  playlistAccepted(*data, accepted, answered, urlresponse.get());
  playlistSource_.note(accepted);
  notePlaylistSource(
      accepted.document,
      base && base->isFileUrl() && base != PLAYLIST_NSURL_REMOTE() ? "packaged" : "remote", base);
  if (!base || !base->isFileUrl() || base == PLAYLIST_NSURL_REMOTE()) {
    noteFetch(true, {}, false);
  }
  const bool nothingPlayable = !accepted.playable;
  setPlaylist(std::move(accepted.document));
  debug("Loaded playlist from " + log::renderOptional(answered));
  loadVideos(false);
  // A remote document with nothing to play leaves the screen black: what is shown is chosen as
  // after a failed fetch, while the refresh keeps asking the remote address.
  if (nothingPlayable && (!answered || !answered->isFileUrl()) && !DEVELOPER_MODE() &&
      playlistNSURL() == PLAYLIST_NSURL_REMOTE()) {
    fallBackFromRemote();
  }
}

void VornViewController::setTimerRetryUpdatePlaylist() {
  const int64_t previous = fetchPlaylistRetries();
  const bool packagedFailed = playlistNSURL() && playlistNSURL() == PLAYLIST_NSURL_LOCAL();
  // The budget only falls; stop at the bottom of the range rather than overflow.
  setFetchPlaylistRetries(previous > std::numeric_limits<int64_t>::min() ? previous - 1 : previous);
  if (previous >= 1) {
    debug("updatePlaylistCompletionHandler: re-trying in 2.0 seconds");
    scheduleRetry();
    return;
  }
  // The last good remote document comes before the packaged copy: it is what the operator last
  // published.
  const bool fromRemote = playlistNSURL() && playlistNSURL() == PLAYLIST_NSURL_REMOTE();
  if (fromRemote && !DEVELOPER_MODE() && useSavedPlaylist()) {
    beginRemoteRetries();
    return;
  }
  debug("Using local playlist file " + log::renderOptional(PLAYLIST_NSURL_LOCAL()));
  setPlaylistNSURL(PLAYLIST_NSURL_LOCAL());
  if (fromRemote && PLAYLIST_NSURL_LOCAL()) {
    beginRemoteRetries();
  }
  if (!PLAYLIST_NSURL_LOCAL()) {
    // Nothing to fall back to: the course ends here, and the next foreground return starts
    // another one at the remote address.
    fetchPlaylist(false);
    return;
  }
  if (previous < 0 && packagedFailed) {
    // The packaged copy itself has failed since the switch (a damaged file). Fetching it again at
    // once would spin for as long as it stays damaged, filling the log; wait as a retry does.
    scheduleRetry();
    return;
  }
  updatePlaylistThenLoadVideos();
}

void VornViewController::fallBackFromRemote() {
  // The load of the document with nothing to play is already posted; the copy follows it on the
  // main queue, so that load still finds that document.
  std::string where;
  if (const JsonPtr saved = readSavedPlaylist(where)) {
    platform().mainQueue().post(
        [self = self(), saved, where] { self->showSavedPlaylist(saved, where); });
    beginRemoteRetries();
    return;
  }
  if (!PLAYLIST_NSURL_LOCAL()) {
    return;
  }
  beginRemoteRetries();
  platform().mainQueue().post([self = self()] {
    self->debug("Using local playlist file " + log::renderOptional(self->PLAYLIST_NSURL_LOCAL()));
    self->setPlaylistNSURL(self->PLAYLIST_NSURL_LOCAL());
    self->updatePlaylistThenLoadVideos();
  });
}

void VornViewController::scheduleRetry() {
  platform().mainQueue().post([self = self()] {
    self->platform().timers().scheduledTimer(
        2.0, platform::TimerAction::strong(self, "retryUpdatePlaylistThenLoadVideos:",
                                           &VornViewController::retryUpdatePlaylistThenLoadVideos));
  });
}

void VornViewController::retryUpdatePlaylistThenLoadVideos(platform::Timer& timer) {
  (void)timer;
  debug("retryUpdatePlaylist:");
  updatePlaylistThenLoadVideos();
}

}  // namespace vorn
