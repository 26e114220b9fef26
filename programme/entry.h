#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/url.h"
#include "programme/json.h"

// The rules for one element of a playlist array: what makes it an entry the channel queues, how
// often, and why it is skipped when it is not. This is the one place an entry's fields are read;
// the queue, the cycle cap, the operator's check and schedule, and the simulation all go through
// readEntry, so none of them can judge an element differently.
namespace vorn::programme {

inline constexpr int64_t kMaxPlayCount = 5;

// The members readEntry reads, and nothing else does: the parser's first pass keeps these of each
// entry and no others.
inline constexpr std::string_view kAddressField = "hls_url";
inline constexpr std::string_view kDurationField = "duration";
inline constexpr std::string_view kPlayCountField = "play_count";
inline constexpr std::string_view kEntryFields[] = {kAddressField, kDurationField, kPlayCountField};

// Numbers in a playlist: JSON numbers, and true/false as 1/0.
bool isNumber(const Json& value);
double numberValue(const Json& value);

// How many times in a row an entry is queued, from its "play_count" value (null when missing):
// missing or not a number gives 1; the value taken as a whole number (towards zero) gives 0 below
// 0, itself from 0 to 5, and 1 above 5. Values far outside any integer range are fine.
int64_t playCount(const Json* value);

// Why an element is not queued, in the order the rules are tested.
enum class EntrySkip : uint8_t {
  notAnObject,
  missingAddress,      // no "hls_url"
  addressNotText,      // "hls_url" is not a text
  addressUnparsable,   // the text is no address, even against the playlist's own
  missingDuration,     // no "duration"
  durationNotANumber,  // "duration" is neither a number nor true/false
  queuesNothing,       // "play_count" below 1 ...
  negativePlayCount,   // ... written as a negative number
};

// What the operator is told about a usable entry's "play_count" when it is not taken as written.
enum class PlayCountNote : uint8_t {
  none,
  notANumber,    // queued once
  aboveMaximum,  // above kMaxPlayCount: queued once
};

// A playlist element the channel queues: a dictionary with a "hls_url" text that parses as a URL
// (resolved against the playlist's own address when there is one), a numeric "duration", and a
// play count of at least 1.
struct UsableEntry {
  platform::Url url;
  double duration;
  int64_t plays;
};

// An element read by the rules: a usable entry, or the reason it is skipped with the value the
// reason names. Refers into the element's document, which has to outlive it.
class EntryReading {
 public:
  // A usable entry (`skip` unused), or (plays 0) one skipped for its play count alone.
  EntryReading(UsableEntry entry, EntrySkip skip, PlayCountNote note, const Json* value,
               std::string_view address)
      : entry_(std::move(entry)), skip_(skip), note_(note), value_(value), address_(address) {}
  EntryReading(EntrySkip skip, const Json* value, std::string_view address)
      : skip_(skip), value_(value), address_(address) {}

  explicit operator bool() const { return entry_ && entry_->plays > 0; }
  const UsableEntry& operator*() const { return *entry_; }
  const UsableEntry* operator->() const { return &*entry_; }
  // The usable entry, moved out of the reading.
  UsableEntry take() && { return std::move(*entry_); }

  // Only for a skipped element.
  EntrySkip skip() const { return skip_; }
  // Only for a usable entry.
  PlayCountNote playCountNote() const { return note_; }
  // For a skipped element the value its reason names (null when missing); for a usable entry its
  // "play_count" as written (null when missing).
  const Json* value() const { return value_; }
  // Why the element is skipped, as the operator reads it ("missing duration", "duration is not a
  // number (a text)"...). Empty for a usable entry.
  std::string words() const;
  // The notes about a usable entry as the operator reads them: a play count not taken as written,
  // a listed duration that takes no time. Empty for a skipped element.
  std::vector<std::string> notes() const;
  // The "hls_url" text as written, when it is a text (usable or not); empty otherwise.
  std::string_view address() const { return address_; }
  // The address and the listed duration when the element has both: a usable entry, or one
  // skipped for its play count alone (then with plays 0). Null otherwise.
  const UsableEntry* listed() const { return entry_ ? &*entry_ : nullptr; }

 private:
  std::optional<UsableEntry> entry_;
  EntrySkip skip_ = EntrySkip::notAnObject;
  PlayCountNote note_ = PlayCountNote::none;
  const Json* value_ = nullptr;
  std::string_view address_;
};

EntryReading readEntry(const Json& element, const platform::Url* base = nullptr);

// How the operator's tools write a number of seconds: a whole number without a fraction, anything
// else with one decimal when that is exact, else three.
std::string secondsText(double value);
// The kind of a value in the operator's words: "a number", "a text", "null"...
std::string typeName(const Json& value);

}  // namespace vorn::programme
