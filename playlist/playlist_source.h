#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "channel/json.h"
#include "platform/error.h"
#include "platform/url.h"

namespace vorn {
class VornViewController;
}

namespace vorn::playlist {

// Where a document comes from. It decides what its relative stream addresses resolve against when
// no address answered, and whether a document with nothing to play is refused.
enum class Origin {
  fetch,    // a download of the fetch course: the first, a retry, or the packaged copy
  refresh,  // the background refresh of the remote address
  saved,    // the last good remote copy, read back from the state store
};

// Why a document is refused. The first three are the parser's refusals and carry its error.
enum class Refusal {
  notJson,          // bytes that are not JSON, or not an array or object at the top
  tooManyItems,     // a cycle of more than programme::kMaxCycleItems items
  tooLarge,         // more than playlist::kMaxValues values
  notAnArray,       // a JSON object at the top
  nothingPlayable,  // no usable entry that plays at least once
};

// A document taken, with what its users need to know of it, worked out once.
struct Accepted {
  JsonPtr document;
  // What its relative stream addresses resolve against.
  std::optional<platform::Url> base;
  // Whether its cycle holds at least one item.
  bool playable = false;
};

struct Refused {
  Refusal reason;
  std::shared_ptr<platform::Error> error;  // the parser's, for its refusals; else null

  bool byParser() const { return error != nullptr; }
  // As the log says it: the parser's error in full, or the reason in words.
  std::string words() const;
  // As the operator's status says it: "not a playlist: " and the parser's message, or the words.
  std::string summary() const;
};

using Verdict = std::variant<Accepted, Refused>;

// The channel's one door for playlist documents, owned by its controller: every document, fetched,
// refreshed or read back from disk, comes in through accept(), and the controller keeps only what
// accept() took. Also remembers, for the last two documents taken, their base address and whether
// they play, so neither is worked out again. Any thread.
class PlaylistSource {
 public:
  explicit PlaylistSource(VornViewController& owner) : owner_(owner) {}
  PlaylistSource(const PlaylistSource&) = delete;
  PlaylistSource& operator=(const PlaylistSource&) = delete;

  // The document in `bytes`, answered from `answered` (none when nothing says), or why not. The
  // caps apply before anything is built: a refused body costs a scan, not a document. A fetched
  // document with nothing to play is taken unless the current playlist plays; a refreshed or saved
  // one never is. The entries are read once, for `playable`.
  Verdict accept(std::string_view bytes, const std::optional<platform::Url>& answered,
                 Origin origin) const;

  // `document` is about to become the playlist, resolved against `base`.
  void note(const Accepted& accepted);
  // What was noted of `document`, when it is one of the last two noted.
  std::optional<platform::Url> addressOf(const JsonPtr& document) const;
  // Whether `document` plays: as noted, or counted for a document set some other way.
  bool playable(const JsonPtr& document) const;
  void forget();

 private:
  struct Note {
    std::weak_ptr<const Json> document;
    std::optional<platform::Url> base;
    bool playable = false;
  };
  // The note of `document`, if it has one (lock held).
  const Note* noteOf(const JsonPtr& document) const;

  VornViewController& owner_;
  // Two are kept: a load on the main thread may still read the document before the one just noted.
  mutable std::mutex mutex_;
  Note latest_;
  Note previous_;
};

}  // namespace vorn::playlist
