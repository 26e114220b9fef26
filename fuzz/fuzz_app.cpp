// The whole application on the simulated platform, fed from the fuzz bytes: the remote playlist's
// body at start, a second body the remote address serves from kSecondBodyAt on (reached by the
// periodic refresh and by returns to the foreground), a packaged copy, short media so the queue
// plays out and reloads, and a script of viewer and life-cycle input.
//
// Input: BODY1 "\n%%\n" BODY2 "\n%%\n" SCRIPT. A missing separator leaves the later parts empty.
// SCRIPT, byte by byte (missing bytes read as 0):
//   [0]    media length: 1 + b % 60 seconds for every stream
//   [1]    bit 0: developer mode; bit 1: BODY2 is also the packaged copy;
//          bits 2-3: how many first requests fail before BODY1 is served
//   then   events of 3 bytes each, at most kMaxEvents: the seconds since the previous event
//          (b * 2), the action (an index into the events of `vorn simulate`, modulo their count)
//          and, for a resize, the size (W and H from 1 to 100,000 points, both from that byte).
// Every run lasts kRunSeconds of virtual time and stops early past kMaxRecords log records;
// records go to a sink that counts them and keeps nothing.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"
#include "fuzz/fuzz_input.h"
#include "platform/error.h"
#include "platform/sim/world.h"
#include "simulate/simulate_events.h"
#include "simulate/simulate_trace.h"

namespace {

using vorn::app::simulate::eventKinds;
using vorn::app::simulate::EventTarget;
using vorn::fuzz::takePart;

constexpr double kStart = 3600.0;  // 01:00 UTC, an hour into the programme day
constexpr double kSecondBodyAt = 300.0;
constexpr double kRunSeconds = 700.0;
constexpr double kStep = 10.0;
constexpr size_t kMaxEvents = 32;
constexpr size_t kMaxRecords = 20'000;
constexpr const char* kRemote = "https://playlists.vorn.invalid/playlist.json";
constexpr const char* kPackagedPath = "/usr/share/vorn/vorn-vimeo-playlist.json";

// Discards what is printed: the trace printer still renders every line.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

uint8_t byteAt(std::string_view script, size_t index) {
  return index < script.size() ? static_cast<uint8_t>(script[index]) : 0;
}

// 1 to 100,000 points, spread over the byte logarithmically so tiny, ordinary and huge sizes all
// come up.
double pointsFrom(uint8_t byte) {
  return std::round(std::pow(100'000.0, byte / 255.0));
}

struct ScriptedEvent {
  double at;
  const vorn::app::simulate::EventKind* kind;
  vorn::platform::Size size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string first(takePart(rest));
  const std::string second(takePart(rest));
  const std::string_view script = rest;

  const double mediaLength = 1.0 + byteAt(script, 0) % 60;
  const uint8_t flags = byteAt(script, 1);
  const bool developerMode = (flags & 1) != 0;
  const bool packaged = (flags & 2) != 0;
  const int failures = (flags >> 2) & 3;

  const auto& kinds = eventKinds();
  std::vector<ScriptedEvent> events;
  double at = 0.0;
  for (size_t i = 2; i < script.size() && events.size() < kMaxEvents; i += 3) {
    at += byteAt(script, i) * 2.0;
    const auto& kind = kinds[byteAt(script, i + 1) % kinds.size()];
    const double points = pointsFrom(byteAt(script, i + 2));
    events.push_back({at, &kind, {points, std::max(1.0, std::round(points * 9.0 / 16.0))}});
  }

  vorn::sim::World world(
      vorn::sim::WorldOptions{.startTime = kStart, .defaultMediaLength = mediaLength});
  world.bundle().setRemotePlaylistAddress(kRemote);
  for (int i = 0; i < failures; ++i) {
    world.network().serveOnce(
        kRemote, {.error = vorn::platform::Error::make(vorn::platform::kUrlErrorDomain, -1001,
                                                       "The request timed out.")});
  }
  const std::string* served = &first;
  world.network().serve(kRemote, {.data = first});
  if (packaged) {
    world.network().writeFile(kPackagedPath, second);
    world.bundle().setResource("vorn-vimeo-playlist", "json", std::string(kPackagedPath));
  }

  NullBuffer nothing;
  std::ostream out(&nothing);
  vorn::app::simulate::TracePrinter printer(out, true);
  size_t records = 0;
  world.log().setSink([&](double time, std::string_view text) {
    ++records;
    printer.record(time, text);
  });
  world.trace().setSink(
      [&printer](double time, const std::string& line) { printer.platformEvent(time, line); });
  world.trace().setViewTreeHook([&printer, &world] {
    printer.viewTreeMaybeChanged(world.scheduler().now(), world.application().rootViewController());
  });

  world.launch(vorn::app::classRegistry(), vorn::app::kDelegateClassName,
               vorn::app::mainInterface(),
               [developerMode](vorn::platform::ViewController& controller) {
                 if (developerMode) {
                   vorn::app::enableDeveloperMode(controller);
                 }
               });
  world.scheduler().runUntilIdle();

  bool hung = false;
  EventTarget target{world.application(),
                     [&](bool reachable) {
                       if (reachable) {
                         world.network().serve(kRemote, {.data = *served});
                       } else {
                         world.network().serve(
                             kRemote, {.error = vorn::platform::Error::make(
                                           vorn::platform::kUrlErrorDomain, -1009,
                                           "The Internet connection appears to be offline.")});
                       }
                       // Requests left hanging get the answer of the moment.
                       if (hung) {
                         hung = false;
                         world.network().release(kRemote);
                       }
                     },
                     [&] {
                       hung = true;
                       world.network().hold(kRemote);
                     }};
  // The script, the switch to the second body and the end, in time order, in steps so a run that
  // logs without end is cut short.
  size_t next = 0;
  bool switched = false;
  for (double now = 0.0; now < kRunSeconds && records < kMaxRecords;) {
    double until = std::min(now + kStep, kRunSeconds);
    if (!switched) {
      until = std::min(until, kSecondBodyAt);
    }
    if (next < events.size()) {
      until = std::min(until, events[next].at);
    }
    world.scheduler().advanceTo(kStart + until);
    now = until;
    if (!switched && now >= kSecondBodyAt) {
      switched = true;
      served = &second;
      world.network().serve(kRemote, {.data = second});
    }
    while (next < events.size() && events[next].at <= now) {
      vorn::app::simulate::Event event;
      event.at = events[next].at;
      event.kind = events[next].kind;
      event.size = events[next].size;
      event.kind->perform(target, event);
      world.trace().viewTreeMaybeChanged();
      world.scheduler().runUntilIdle();
      ++next;
    }
  }
  world.trace().clear();
  world.log().setSink(nullptr);
  return 0;
}
