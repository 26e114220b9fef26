#include "playlist/playlist_document.h"

#include <optional>
#include <variant>

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

}  // namespace vorn::playlist

namespace vorn {

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
  // Relative stream addresses are resolved against the address that answered.
  const std::optional<platform::Url> base = answered ? answered : playlistNSURL();
  const platform::Url* const basePointer = base ? &*base : nullptr;
  auto parsed = programme::parsePlaylist(*data, basePointer);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    this->error("Error parsing JSON: " + (*parseError)->description());
    noteFetch(false, "not a playlist: " + (*parseError)->message(), false);
    setTimerRetryUpdatePlaylist();
    return;
  }
  auto document = std::get<JsonPtr>(std::move(parsed));
  if (!document->is_array()) {
    setTimerRetryUpdatePlaylist();
    return;
  }
  // A document with nothing to play never replaces one that has something: the programme on
  // screen goes on. Only a first document (or one replacing another unplayable one) is taken.
  if (const JsonPtr current = playlist();
      current && programme::countCycleItems(*document, basePointer, 0) == 0) {
    const auto currentBase = playlistAddressOf(current);
    if (programme::countCycleItems(*current, currentBase ? &*currentBase : nullptr, 0) > 0) {
      this->error(
          "updatePlaylistCompletionHandler: playlist has no playable entries; keeping the "
          "current playlist");
      return;
    }
  }
  const bool nothingPlayable = programme::countCycleItems(*document, basePointer, 0) == 0;
  playlistAccepted(*data, document, answered, urlresponse.get());
  notePlaylistAddress(document, base);
  notePlaylistSource(
      document,
      base && base->isFileUrl() && base != PLAYLIST_NSURL_REMOTE() ? "packaged" : "remote", base);
  if (!base || !base->isFileUrl() || base == PLAYLIST_NSURL_REMOTE()) {
    noteFetch(true, {}, false);
  }
  setPlaylist(std::move(document));
  debug("Loaded playlist from " + log::renderOptional(answered));
  loadVideos(false);
  // A remote document with nothing to play leaves the screen black: what is shown is chosen as
  // after a failed fetch, while the refresh keeps asking the remote address.
  if (nothingPlayable && (!answered || !answered->isFileUrl()) && !DEVELOPER_MODE() &&
      playlistNSURL() == PLAYLIST_NSURL_REMOTE()) {
    fallBackFromRemote();
  }
}

}  // namespace vorn
