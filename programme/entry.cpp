#include "programme/entry.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <utility>

namespace vorn::programme {

bool isNumber(const Json& value) {
  return value.isNumber() || value.isBoolean();
}

double numberValue(const Json& value) {
  if (value.isBoolean()) {
    return value.get<bool>() ? 1.0 : 0.0;
  }
  return value.get<double>();
}

namespace {

// The play count of a numeric value and whether it was above the maximum.
std::pair<int64_t, bool> countOf(const Json& value) {
  if (value.isUnsigned()) {
    const auto count = value.get<uint64_t>();
    return count <= static_cast<uint64_t>(kMaxPlayCount)
               ? std::pair{static_cast<int64_t>(count), false}
               : std::pair{int64_t{1}, true};
  }
  if (value.isInteger()) {
    const auto count = value.get<int64_t>();
    if (count < 0) {
      return {0, false};
    }
    return count <= kMaxPlayCount ? std::pair{count, false} : std::pair{int64_t{1}, true};
  }
  // Compare as a double before converting: 1e300 has no integer value.
  const double whole = std::trunc(numberValue(value));
  if (whole < 0.0) {
    return {0, false};
  }
  return whole <= static_cast<double>(kMaxPlayCount) ? std::pair{static_cast<int64_t>(whole), false}
                                                     : std::pair{int64_t{1}, true};
}

}  // namespace

int64_t playCount(const Json* value) {
  if (value == nullptr || !isNumber(*value)) {
    return 1;
  }
  return countOf(*value).first;
}

EntryReading readEntry(const Json& element, const platform::Url* base) {
  if (!element.isObject()) {
    return {EntrySkip::notAnObject, &element, {}};
  }
  const auto address = element.find(kAddressField);
  if (address == element.end()) {
    return {EntrySkip::missingAddress, nullptr, {}};
  }
  if (!address->isString()) {
    return {EntrySkip::addressNotText, &*address, {}};
  }
  const auto text = address->get<std::string_view>();
  auto url = base ? platform::Url::resolve(text, *base) : platform::Url::parse(text);
  if (!url) {
    return {EntrySkip::addressUnparsable, &*address, text};
  }
  const auto duration = element.find(kDurationField);
  if (duration == element.end()) {
    return {EntrySkip::missingDuration, nullptr, text};
  }
  if (!isNumber(*duration)) {
    return {EntrySkip::durationNotANumber, &*duration, text};
  }
  const auto found = element.find(kPlayCountField);
  const Json* count = found == element.end() ? nullptr : &*found;
  UsableEntry entry{std::move(*url), numberValue(*duration), 1};
  if (count == nullptr) {
    return {std::move(entry), EntrySkip::notAnObject, PlayCountNote::none, count, text};
  }
  if (!isNumber(*count)) {
    return {std::move(entry), EntrySkip::notAnObject, PlayCountNote::notANumber, count, text};
  }
  const auto [plays, above] = countOf(*count);
  entry.plays = plays;
  if (plays == 0) {
    const auto skip =
        numberValue(*count) < 0.0 ? EntrySkip::negativePlayCount : EntrySkip::queuesNothing;
    return {std::move(entry), skip, PlayCountNote::none, count, text};
  }
  return {std::move(entry), EntrySkip::notAnObject,
          above ? PlayCountNote::aboveMaximum : PlayCountNote::none, count, text};
}

std::string EntryReading::words() const {
  if (*this) {
    return {};
  }
  switch (skip_) {
    case EntrySkip::notAnObject:
      return "not an object (" + typeName(*value_) + ")";
    case EntrySkip::missingAddress:
      return "missing hls_url";
    case EntrySkip::addressNotText:
      return "hls_url is not text (" + typeName(*value_) + ")";
    case EntrySkip::addressUnparsable:
      return "hls_url \"" + std::string(address_) + "\" does not parse as an address";
    case EntrySkip::missingDuration:
      return "missing duration";
    case EntrySkip::durationNotANumber:
      return "duration is not a number (" + typeName(*value_) + ")";
    case EntrySkip::queuesNothing:
      return "play_count " + secondsText(std::trunc(numberValue(*value_))) + " queues nothing";
    case EntrySkip::negativePlayCount:
      return "play_count " + secondsText(std::trunc(numberValue(*value_))) +
             " is negative: queues nothing";
  }
  return {};
}

std::vector<std::string> EntryReading::notes() const {
  std::vector<std::string> notes;
  if (!*this) {
    return notes;
  }
  switch (note_) {
    case PlayCountNote::none:
      break;
    case PlayCountNote::notANumber:
      notes.push_back("play_count is not a number (" + typeName(*value_) + "): queued once");
      break;
    case PlayCountNote::aboveMaximum:
      notes.push_back("play_count " + secondsText(std::trunc(numberValue(*value_))) + " is above " +
                      std::to_string(kMaxPlayCount) + ": queued once");
      break;
  }
  if (entry_->duration <= 0.0) {
    notes.push_back("a listed duration of " + secondsText(entry_->duration) +
                    " s takes no time on the clock");
  }
  return notes;
}

std::string secondsText(double value) {
  std::ostringstream text;
  if (value == std::floor(value) && std::abs(value) < 1e15) {
    text << static_cast<long long>(value);
  } else {
    text << std::fixed << std::setprecision(value == std::round(value * 10) / 10 ? 1 : 3) << value;
  }
  return text.str();
}

std::string typeName(const Json& value) {
  if (value.isFloat() || value.isInteger()) {
    return "a number";
  }
  if (value.isBoolean()) {
    return "a boolean";
  }
  if (value.isString()) {
    return "a text";
  }
  if (value.isArray()) {
    return "an array";
  }
  if (value.isObject()) {
    return "an object";
  }
  return "null";
}

}  // namespace vorn::programme
