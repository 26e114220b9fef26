// The playlist bytes through everything the channel does with them: both parsers (which must
// agree on what they accept, on the values and on how a refusal reads), the usable entries, the
// queue plan at a few clocks, the accessors the channel and the operator's check use, and the
// addresses through both URL parsers.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "interaction/overlay.h"
#include "platform/url.h"
#include "programme/cycle.h"
#include "programme/document.h"
#include "programme/entry.h"
#include "programme/json.h"
#include "programme/programme_clock.h"
#include "tools/check/playlist_check.h"

namespace {

using vorn::Json;
using vorn::platform::Url;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_playlist: %s\n", what.c_str());
  std::abort();
}

void check(bool condition, const std::string& what) {
  if (!condition) {
    fail(what);
  }
}

// The quick URL path and curl must agree on every text.
void compareUrlParsers(std::string_view text) {
  const auto quick = Url::parse(text);
  const auto curl = Url::parseWithCurl(text);
  check(quick.has_value() == curl.has_value(),
        std::string("Url::parse ") + (quick ? "accepts" : "refuses") + " a text curl " +
            (curl ? "accepts" : "refuses"));
  check(!quick || quick->text() == curl->text(), "Url::parse and curl keep different texts");
}

// Same type, same value, recursively. Objects compare by distinct names, each through find():
// simdjson keeps a repeated name once per occurrence, the reference parser once.
void compareTrees(const Json& a, const Json& b, const std::string& path) {
  check(a.type() == b.type(), "parsers disagree on the type at " + path);
  switch (a.type()) {
    case Json::Type::null:
      return;
    case Json::Type::boolean:
      check(a.get<bool>() == b.get<bool>(), "parsers disagree on a boolean at " + path);
      return;
    case Json::Type::signedInteger:
      check(a.get<int64_t>() == b.get<int64_t>(), "parsers disagree on an integer at " + path);
      return;
    case Json::Type::unsignedInteger:
      check(a.get<uint64_t>() == b.get<uint64_t>(), "parsers disagree on a number at " + path);
      return;
    case Json::Type::floating:
      check(std::bit_cast<uint64_t>(a.get<double>()) == std::bit_cast<uint64_t>(b.get<double>()),
            "parsers disagree on a float at " + path);
      return;
    case Json::Type::string:
      check(a.get<std::string_view>() == b.get<std::string_view>(),
            "parsers disagree on a text at " + path);
      return;
    case Json::Type::array:
      check(a.size() == b.size(), "parsers disagree on an array's size at " + path);
      for (size_t i = 0; i < a.size(); ++i) {
        compareTrees(a[i], b[i], path + "[" + std::to_string(i) + "]");
      }
      return;
    case Json::Type::object: {
      std::set<std::string_view> namesA;
      std::set<std::string_view> namesB;
      for (size_t i = 0; i < a.size(); ++i) {
        namesA.insert(a.key(i));
      }
      for (size_t i = 0; i < b.size(); ++i) {
        namesB.insert(b.key(i));
      }
      check(namesA == namesB, "parsers disagree on an object's names at " + path);
      for (const std::string_view name : namesA) {
        compareTrees(*a.find(name), *b.find(name), path + "." + std::string(name));
      }
      return;
    }
  }
  fail("unknown type at " + path);
}

template <typename T>
void getOrDomainError(const Json& value) {
  try {
    (void)value.get<T>();
  } catch (const std::domain_error&) {
  }
}

// Every accessor on every value; iteration and lookup must agree with each other.
void walk(const Json& value, size_t depth) {
  getOrDomainError<bool>(value);
  getOrDomainError<int64_t>(value);
  getOrDomainError<uint64_t>(value);
  getOrDomainError<double>(value);
  getOrDomainError<std::string>(value);
  getOrDomainError<std::string_view>(value);
  check(value.isNumber() == (value.isInteger() || value.isFloat()), "is_number");
  const size_t size = value.size();
  check(size == static_cast<size_t>(value.end() - value.begin()), "size() and end() differ");
  check(value[size].isNull(), "an index past the end is not null");
  check(value.find("\x01 no such name") == value.end(), "find() of a missing name");
  size_t i = 0;
  for (const Json& item : value) {
    if (value.isArray()) {
      check(&value[i] == &item, "operator[] and iteration differ");
    } else {
      const Json* found = value.find(value.key(i));
      check(found != value.end(), "find() misses a member's own name");
      check(&value[value.key(i)] == found, "operator[] and find() differ");
    }
    if (depth < 64) {
      walk(item, depth + 1);
    }
    ++i;
  }
  check(i == size, "iteration and size() differ");
}

double clockFrom(const uint8_t* data, size_t size, size_t salt) {
  uint64_t hash = 1469598103934665603ull ^ salt;
  for (size_t i = 0; i < size; ++i) {
    hash = (hash ^ data[i]) * 1099511628211ull;
  }
  return static_cast<double>(hash % 8640000000ull) / 100000.0;
}

void checkPlan(std::span<const double> durations, double daySeconds) {
  const auto plan = vorn::programme::planQueue(durations, daySeconds);
  check(plan.order.size() == durations.size(), "the queue is not the whole cycle");
  std::vector<bool> seen(durations.size());
  for (const size_t index : plan.order) {
    check(index < durations.size() && !seen[index], "the queue is not a rotation of the cycle");
    seen[index] = true;
  }
  if (durations.empty()) {
    return;
  }
  check(plan.start.index <= durations.size(), "start past the end");
  check(plan.order.front() == (plan.start.index < durations.size() ? plan.start.index : 0),
        "the queue does not begin with the covering item");
  check(plan.seek >= 0.0 && plan.seek == std::floor(plan.seek), "seek is not a whole second");
}

void exerciseEntries(const Json& root, const uint8_t* data, size_t size) {
  (void)vorn::overlay::compose("prefix\n", &root);
  std::vector<double> durations;
  for (const Json& element : root) {
    (void)vorn::overlay::descriptionOf(&element);
    const auto reading = vorn::programme::readEntry(element);
    if (!reading.address().empty()) {
      compareUrlParsers(reading.address());
    }
    check(reading.words().empty() == static_cast<bool>(reading),
          "a reading is usable or has a reason, never both");
    (void)reading.notes();
    if (!reading) {
      check(reading.listed() == nullptr || reading.listed()->plays == 0,
            "a listed entry skipped for more than its play count");
      continue;
    }
    check(reading->plays >= 1 && reading->plays <= vorn::programme::kMaxPlayCount,
          "play count out of range");
    check(vorn::programme::playCount(reading.value()) == reading->plays,
          "readEntry and playCount differ");
    for (int64_t play = 0; play < reading->plays; ++play) {
      durations.push_back(reading->duration);
    }
  }
  const auto cycle = vorn::programme::buildCycle(root, nullptr);
  check(cycle.durations == durations, "buildCycle and readEntry differ");
  check(vorn::programme::countCycleItems(root, nullptr) ==
            std::min(cycle.items.size(), vorn::programme::kMaxCycleItems + 1),
        "countCycleItems and buildCycle differ");
  const double length = vorn::programme::cycleLength(durations);
  for (const double clock : {0.0, clockFrom(data, size, 1), clockFrom(data, size, 2), length,
                             std::nextafter(length, 0.0), 86399.999}) {
    checkPlan(durations, vorn::programme::daySeconds(clock));
  }
}

void exerciseCheck(const Json& root) {
  auto report = vorn::app::lintPlaylist(root);
  (void)vorn::app::checkStatus(report);
  std::ostringstream text;
  vorn::app::writeCheckText(report, text);
  std::ostringstream json;
  vorn::app::writeCheckJson(report, json);
}

// The first pass of parsePlaylist against the parsed document: the same refusals, read the same,
// and the item limit exactly where countCycleItems puts it (small limits, so counts reach them).
void comparePlaylist(std::string_view bytes, const vorn::programme::ParseResult& parsed) {
  static const auto base = Url::parse("https://playlists.vorn.invalid/lists/p.json");
  const size_t limit = bytes.size() % 7;
  const auto playlist = vorn::programme::parsePlaylist(bytes, &*base, limit);
  if (parsed.index() == 1) {
    // The first pass stops at the item past the limit, before any fault later in the text.
    check(playlist.index() == 1, "parsePlaylist accepts a text parseDocument refuses");
    check(std::get<1>(playlist)->description() == std::get<1>(parsed)->description() ||
              vorn::programme::isTooManyItems(*std::get<1>(playlist)),
          "parsePlaylist refuses differently");
    return;
  }
  const bool tooMany =
      vorn::programme::countCycleItems(*std::get<0>(parsed), &*base, limit) > limit;
  if (tooMany) {
    check(playlist.index() == 1 && vorn::programme::isTooManyItems(*std::get<1>(playlist)),
          "parsePlaylist misses a cycle past the limit");
  } else {
    check(playlist.index() == 0, "parsePlaylist refuses a cycle within the limit");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto parsed = vorn::programme::parseDocument(bytes);
  auto reference = vorn::programme::parseDocumentWithReferenceParser(bytes);
  check(parsed.index() == reference.index(),
        std::string("parseDocument ") + (parsed.index() == 0 ? "accepts" : "refuses") +
            " a text the reference parser " + (reference.index() == 0 ? "accepts" : "refuses"));
  compareUrlParsers(bytes);
  comparePlaylist(bytes, parsed);
  if (parsed.index() == 1) {
    check(std::get<1>(parsed)->description() == std::get<1>(reference)->description(),
          "the refusals read differently");
    return 0;
  }
  const vorn::JsonPtr& root = std::get<0>(parsed);
  compareTrees(*root, *std::get<0>(reference), "$");
  walk(*root, 0);
  exerciseEntries(*root, data, size);
  exerciseCheck(*root);
  return 0;
}
