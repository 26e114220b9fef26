#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/error.h"
#include "platform/url.h"
#include "platform/url_session.h"
#include "programme/json.h"

namespace vorn::platform {
class Timer;
}

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
  tooLarge,         // more than programme::kMaxValues values
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

// Where the channel's playlist comes from, owned by its controller: the fetch course (the first
// download, its retries 2.0 s apart, then the saved copy or the packaged one), the background
// refresh of the remote address, and the saved copy of the last good remote document. Every
// document, fetched, refreshed or read back from disk, comes in through accept(); the controller
// keeps only what accept() took.
//
// The controller's own operations (updatePlaylistThenLoadVideos, setTimerRetryUpdatePlaylist,
// updatePlaylistCompletionHandler, refreshPlaylist, ...) stay its own, overridable, and call in
// here; what happens next is called back through them, so a subclass still sees every step. Any
// thread, as those operations are: downloads end on the completion thread.
class PlaylistSource {
 public:
  explicit PlaylistSource(VornViewController& owner) : owner_(owner) {}
  PlaylistSource(const PlaylistSource&) = delete;
  PlaylistSource& operator=(const PlaylistSource&) = delete;

  // The document in `bytes`, answered from `answered` (none when nothing says), or why not. The
  // saved copy was only ever saved from the remote address, and resolves against it. The caps apply
  // before anything is built: a refused body costs a scan, not a document. A fetched document with
  // nothing to play is taken unless the current playlist plays; a refreshed or saved one never is.
  // The entries are read once, for `playable`.
  Verdict accept(std::string_view bytes, const std::optional<platform::Url>& answered,
                 Origin origin) const;

  // `document` is about to become the playlist, resolved against `base`.
  void note(const Accepted& accepted);
  // What was noted of `document`, when it is one of the last two noted.
  std::optional<platform::Url> addressOf(const JsonPtr& document) const;
  // Whether `document` plays: as noted, or counted for a document set some other way.
  bool playable(const JsonPtr& document) const;
  // Forgets every note.
  void forget();

  // The fetch course (playlist_fetch.cpp).
  // Starts the download of the playlist address. `mayReturnToRemote`: with no address and no
  // packaged copy, start a new course at the remote address instead of giving up.
  void fetch(bool mayReturnToRemote);
  // A download of the course has ended.
  void fetched(std::optional<platform::Bytes> data, std::shared_ptr<platform::UrlResponse> response,
               std::shared_ptr<platform::Error> error);
  // A download of the course has failed: a retry in 2.0 s while the budget lasts, then the saved
  // copy or the packaged one.
  void failed();

  // The refresh and the saved copy (playlist_refresh.cpp).
  // Arms the refresh once, when the view first comes on screen.
  void startRefresh();
  // The refresh timer has fired.
  void refreshDue();
  void refreshed(std::optional<platform::Bytes> data,
                 std::shared_ptr<platform::UrlResponse> response,
                 std::shared_ptr<platform::Error> error);
  // The operator's new settings; the remote address has already moved from `previous`.
  void settingsChanged(const std::optional<platform::Url>& previous, bool moved, bool newInterval);
  // Main thread: puts a waiting document on screen unless the channel is paused. `queueEnds`: the
  // item that just ended was the queue's last, whose own reload will build from it. True when the
  // document was taken.
  bool applyWaiting(bool queueEnds);

 private:
  struct Note {
    std::weak_ptr<const Json> document;
    std::optional<platform::Url> base;
    bool playable = false;
  };
  // The note of `document`, if it has one (lock held).
  const Note* noteOf(const JsonPtr& document) const;

  std::shared_ptr<VornViewController> owner() const;
  // Posts the scheduling of the 2.0 s retry timer to the main queue.
  void scheduleRetry();
  // Completion thread: a first remote document had nothing to play; the saved copy, else the
  // packaged copy, is shown instead.
  void fallBackFromRemote();
  void scheduleRefresh();
  // Fetches the remote address for the refresh, unless a refresh fetch is in flight.
  void startRefreshFetch();
  // Completion thread: `accepted` was taken from `answered`. A good remote one is saved; any
  // waiting one is older and dropped.
  void taken(std::string_view bytes, const Accepted& accepted,
             const std::optional<platform::Url>& answered, const platform::UrlResponse* response);
  // Completion thread, when the first start's attempts have failed: loads the saved copy, if
  // there is a sound one. False when there is none (a damaged one is logged and ignored).
  bool useSavedCopy();
  // Its two halves: the sound saved copy, or nothing (a damaged one is logged), with `where` it
  // lives; and putting it on screen.
  JsonPtr readSavedCopy(std::string& where);
  void showSavedCopy(const JsonPtr& document, const std::string& where);
  // `operation` leads any error line.
  void saveCopy(std::string_view bytes, const std::string& operation);
  // The validators of `response`, the answer that brought `document` (`bytes`): kept for the
  // next refresh's condition, and saved next to the copy.
  void keepValidators(const platform::UrlResponse& response, const JsonPtr& document,
                      std::string_view bytes, const std::string& operation);
  // A good answer of the remote address at a refresh: a fall-back copy is left.
  void remoteAnsweredAgain();
  // After a start on a fall-back copy, the remote address is refreshed sooner, at growing
  // delays, until it answers well.
  void beginRemoteRetries();
  void endRemoteRetries();

  VornViewController& owner_;
  // Two are kept: a load on the main thread may still read the document before the one just noted.
  mutable std::mutex mutex_;
  Note latest_;
  Note previous_;

  struct RefreshState {
    struct Validators {
      std::string etag;
      std::string lastModified;
      std::weak_ptr<const Json> document;  // what the answer brought
    };
    bool started = false;
    bool inFlight = false;
    std::shared_ptr<platform::Timer> timer;  // the next refresh
    int backoffStep = -1;                    // retries of the remote address; -1: none
    uint64_t scheduled = 0;                  // refreshes scheduled, for the jitter
    std::optional<Validators> validators;
    std::weak_ptr<const Json> askedAbout;  // what the refresh in flight asked on condition
    std::string savedValidators;           // as last written
    Accepted waiting;                      // a new document for the next item boundary
    std::optional<platform::Url> waitingFrom;
    std::optional<size_t> savedDigest;  // of the bytes on disk, when known
  };
  mutable std::mutex refreshMutex_;
  RefreshState refresh_;
};

}  // namespace vorn::playlist
