#include <limits>
#include <variant>

#include "channel/vorn_view_controller.h"
#include "log/render.h"
#include "playlist/playlist_source.h"

namespace vorn {

// The controller's operations of the fetch course: each logs as it always has and hands the work
// to the playlist source, which calls back through them.

void VornViewController::viewDidAppear(bool animated) {
  (void)animated;
  debug("viewDidAppear:");
  noteStatus();
  updatePlaylistThenLoadVideos();
  playlistSource_.startRefresh();
}

void VornViewController::updatePlaylistThenLoadVideos() {
  debug("updatePlaylist");
  playlistSource_.fetch(true);
}

void VornViewController::updatePlaylistCompletionHandler(
    std::optional<platform::Bytes> data, std::shared_ptr<platform::UrlResponse> urlresponse,
    std::shared_ptr<platform::Error> error) {
  debug("updatePlaylistCompletionHandler:");
  playlistSource_.fetched(std::move(data), std::move(urlresponse), std::move(error));
}

void VornViewController::setTimerRetryUpdatePlaylist() {
  playlistSource_.failed();
}

void VornViewController::retryUpdatePlaylistThenLoadVideos(platform::Timer& timer) {
  (void)timer;
  debug("retryUpdatePlaylist:");
  updatePlaylistThenLoadVideos();
}

}  // namespace vorn

namespace vorn::playlist {

std::shared_ptr<VornViewController> PlaylistSource::owner() const {
  return owner_.self();
}

void PlaylistSource::fetch(bool mayReturnToRemote) {
  VornViewController& c = owner_;
  const std::optional<platform::Url> address = [&]() -> std::optional<platform::Url> {
    if (auto current = c.playlistNSURL()) {
      return current;
    }
    const std::optional<platform::Url>& remoteAddress = c.PLAYLIST_NSURL_REMOTE();
    if (!mayReturnToRemote || c.PLAYLIST_NSURL_LOCAL() || c.DEVELOPER_MODE() || !remoteAddress) {
      return std::nullopt;
    }
    // With no packaged copy a failed course leaves no address; the remote one is the only way
    // back to a programme, so a new request starts a new course there.
    const platform::Url remote = *remoteAddress;
    c.debug("updatePlaylist: no local playlist file; trying " +
            log::renderOptional(std::optional<platform::Url>(remote)) + " again");
    c.setPlaylistNSURL(remote);
    c.setFetchPlaylistRetries(VornViewController::kFetchPlaylistRetries);
    return remote;
  }();
  if (!address) {
    // No packaged copy and nowhere else to go: say so and start nothing. Without a download
    // there is no completion and so no retry; the next foreground return tries again.
    c.error("updatePlaylist: no playlist address; not downloading");
    return;
  }
  c.platform().urlSession().startDataTask(
      *address, [self = owner()](std::optional<platform::Bytes> data,
                                 std::shared_ptr<platform::UrlResponse> response,
                                 std::shared_ptr<platform::Error> failure) {
        self->updatePlaylistCompletionHandler(std::move(data), std::move(response),
                                              std::move(failure));
      });
}

void PlaylistSource::fetched(std::optional<platform::Bytes> data,
                             std::shared_ptr<platform::UrlResponse> response,
                             std::shared_ptr<platform::Error> error) {
  VornViewController& c = owner_;
  if (!data || error) {
    c.error("Error fetching playlist: " + log::renderOptional(error));
    c.noteFetch(false, error ? error->message() : "no data", false);
    c.setTimerRetryUpdatePlaylist();
    return;
  }
  std::optional<platform::Url> answered;
  if (response) {
    answered = response->url();
  }
  auto verdict = accept(*data, answered, Origin::fetch);
  if (const auto* refused = std::get_if<Refused>(&verdict)) {
    switch (refused->reason) {
      case Refusal::notJson:
      case Refusal::tooManyItems:
      case Refusal::tooLarge:
        c.error("Error parsing JSON: " + refused->words());
        c.noteFetch(false, refused->summary(), false);
        c.setTimerRetryUpdatePlaylist();
        return;
      case Refusal::notAnArray:
        c.setTimerRetryUpdatePlaylist();
        return;
      case Refusal::nothingPlayable:
        // Not a failed download: the programme on screen goes on, and nothing is retried.
        c.error("updatePlaylistCompletionHandler: " + refused->words() +
                "; keeping the current playlist");
        return;
    }
  }
  auto& accepted = std::get<Accepted>(verdict);
  const std::optional<platform::Url>& base = accepted.base;
  taken(*data, accepted, answered, response.get());
  note(accepted);
  c.notePlaylistSource(
      accepted.document,
      base && base->isFileUrl() && base != c.PLAYLIST_NSURL_REMOTE() ? "packaged" : "remote", base);
  if (!base || !base->isFileUrl() || base == c.PLAYLIST_NSURL_REMOTE()) {
    c.noteFetch(true, {}, false);
  }
  const bool nothingPlayable = !accepted.playable;
  c.setPlaylist(std::move(accepted.document));
  c.debug("Loaded playlist from " + log::renderOptional(answered));
  c.loadVideos(false);
  // A remote document with nothing to play leaves the screen black: what is shown is chosen as
  // after a failed fetch, while the refresh keeps asking the remote address.
  if (nothingPlayable && (!answered || !answered->isFileUrl()) && !c.DEVELOPER_MODE() &&
      c.playlistNSURL() == c.PLAYLIST_NSURL_REMOTE()) {
    fallBackFromRemote();
  }
}

void PlaylistSource::failed() {
  VornViewController& c = owner_;
  const int64_t previous = c.fetchPlaylistRetries();
  const bool packagedFailed = c.playlistNSURL() && c.playlistNSURL() == c.PLAYLIST_NSURL_LOCAL();
  // The budget only falls; stop at the bottom of the range rather than overflow.
  c.setFetchPlaylistRetries(previous > std::numeric_limits<int64_t>::min() ? previous - 1
                                                                           : previous);
  if (previous >= 1) {
    c.debug("updatePlaylistCompletionHandler: re-trying in 2.0 seconds");
    scheduleRetry();
    return;
  }
  // The last good remote document comes before the packaged copy: it is what the operator last
  // published.
  const bool fromRemote = c.playlistNSURL() && c.playlistNSURL() == c.PLAYLIST_NSURL_REMOTE();
  if (fromRemote && !c.DEVELOPER_MODE() && useSavedCopy()) {
    beginRemoteRetries();
    return;
  }
  c.debug("Using local playlist file " + log::renderOptional(c.PLAYLIST_NSURL_LOCAL()));
  c.setPlaylistNSURL(c.PLAYLIST_NSURL_LOCAL());
  if (fromRemote && c.PLAYLIST_NSURL_LOCAL()) {
    beginRemoteRetries();
  }
  if (!c.PLAYLIST_NSURL_LOCAL()) {
    // Nothing to fall back to: the course ends here, and the next foreground return starts
    // another one at the remote address.
    c.debug("updatePlaylist");
    fetch(false);
    return;
  }
  if (previous < 0 && packagedFailed) {
    // The packaged copy itself has failed since the switch (a damaged file). Fetching it again at
    // once would spin for as long as it stays damaged, filling the log; wait as a retry does.
    scheduleRetry();
    return;
  }
  c.updatePlaylistThenLoadVideos();
}

void PlaylistSource::fallBackFromRemote() {
  // The load of the document with nothing to play is already posted; the copy follows it on the
  // main queue, so that load still finds that document.
  std::string where;
  if (const JsonPtr saved = readSavedCopy(where)) {
    owner_.platform().mainQueue().post(
        [this, self = owner(), saved, where] { showSavedCopy(saved, where); });
    beginRemoteRetries();
    return;
  }
  if (!owner_.PLAYLIST_NSURL_LOCAL()) {
    return;
  }
  beginRemoteRetries();
  owner_.platform().mainQueue().post([self = owner()] {
    self->debug("Using local playlist file " + log::renderOptional(self->PLAYLIST_NSURL_LOCAL()));
    self->setPlaylistNSURL(self->PLAYLIST_NSURL_LOCAL());
    self->updatePlaylistThenLoadVideos();
  });
}

void PlaylistSource::scheduleRetry() {
  owner_.platform().mainQueue().post([self = owner()] {
    self->platform().timers().scheduledTimer(
        2.0, platform::TimerAction::strong(self, "retryUpdatePlaylistThenLoadVideos:",
                                           &VornViewController::retryUpdatePlaylistThenLoadVideos));
  });
}

}  // namespace vorn::playlist
