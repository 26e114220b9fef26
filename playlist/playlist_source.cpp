#include "playlist/playlist_source.h"

#include "channel/vorn_view_controller.h"
#include "playlist/playlist_refresh.h"
#include "programme/cycle.h"
#include "programme/document.h"

namespace vorn::playlist {

std::string Refused::words() const {
  switch (reason) {
    case Refusal::notJson:
    case Refusal::tooManyItems:
    case Refusal::tooLarge:
      break;
    case Refusal::notAnArray:
      return "the top level is not an array";
    case Refusal::nothingPlayable:
      return "playlist has no playable entries";
  }
  return error ? error->description() : std::string();
}

std::string Refused::summary() const {
  return byParser() ? "not a playlist: " + error->message() : words();
}

Verdict PlaylistSource::accept(std::string_view bytes, const std::optional<platform::Url>& answered,
                               Origin origin) const {
  // Relative stream addresses resolve against the address that answered, else the one asked. The
  // saved copy is only ever saved from the remote address.
  std::optional<platform::Url> base;
  switch (origin) {
    case Origin::fetch:
      base = answered ? answered : owner_.playlistNSURL();
      break;
    case Origin::refresh:
      base = answered ? answered : owner_.PLAYLIST_NSURL_REMOTE();
      break;
    case Origin::saved:
      base = owner_.PLAYLIST_NSURL_REMOTE();
      break;
  }
  const platform::Url* const basePointer = base ? &*base : nullptr;
  auto parsed = programme::parsePlaylist(bytes, basePointer);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    const Refusal reason = programme::isTooManyItems(**parseError) ? Refusal::tooManyItems
                           : programme::isTooLarge(**parseError)   ? Refusal::tooLarge
                                                                   : Refusal::notJson;
    return Refused{reason, std::move(*parseError)};
  }
  JsonPtr document = std::get<JsonPtr>(std::move(parsed));
  if (!document->isArray()) {
    return Refused{Refusal::notAnArray, nullptr};
  }
  const bool plays = programme::countCycleItems(*document, basePointer, 0) > 0;
  if (!plays) {
    // A document with nothing to play never replaces one that has something: the programme on
    // screen goes on. A first fetch takes it all the same, as its fall-back copies are chosen after
    // a load.
    const bool keepCurrent = origin != Origin::fetch || playable(owner_.playlist());
    if (keepCurrent) {
      return Refused{Refusal::nothingPlayable, nullptr};
    }
  }
  return Accepted{std::move(document), std::move(base), plays};
}

void PlaylistSource::note(const Accepted& accepted) {
  std::lock_guard lock(mutex_);
  previous_ = std::move(latest_);
  latest_ = {accepted.document, accepted.base, accepted.playable};
}

const PlaylistSource::Note* PlaylistSource::noteOf(const JsonPtr& document) const {
  for (const Note* note : {&latest_, &previous_}) {
    if (document && note->document.lock() == document) {
      return note;
    }
  }
  return nullptr;
}

std::optional<platform::Url> PlaylistSource::addressOf(const JsonPtr& document) const {
  std::lock_guard lock(mutex_);
  const Note* note = noteOf(document);
  return note ? note->base : std::nullopt;
}

bool PlaylistSource::playable(const JsonPtr& document) const {
  if (!document) {
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (const Note* note = noteOf(document)) {
      return note->playable;
    }
  }
  // Set without coming through the door (a test, a benchmark): counted, as it stands.
  return programme::countCycleItems(*document, nullptr, 0) > 0;
}

void PlaylistSource::forget() {
  std::lock_guard lock(mutex_);
  latest_ = {};
  previous_ = {};
}

}  // namespace vorn::playlist
