// Broken streams while `vorn --headless` plays four 10 s HLS streams (a 40 s cycle on the UTC
// day; 30 s streams for a hole and a stall inside one slot) from a loopback HTTPS server, one
// stream failing in one way at a moment the clock chooses.
// The player reads two 2 s segments when it opens a stream, so mid-item faults start at segment 2
// and the picture stops 4 s into the slot (or where the last segment served ends, for a server
// taken away). The limits are the constants below.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/linux/channel_process.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kStreams = 4;
// Every stream's slot: 10 s, or 30 s for the cases that need room inside one slot. One length
// for all the scenarios of a test.
double kSlot = 10.0;
double kCycle = kStreams * kSlot;
void useSlot(double seconds) {
  kSlot = seconds;
  kCycle = kStreams * seconds;
}
constexpr double kLongSlot = 30.0;
constexpr int kShortSeconds = 6, kLongSeconds = 16;  // than listed
constexpr double kMidItemFault = 4.0;
constexpr int kHoleFirstSegment = 5, kHoleSegments = 2;  // 10 s to 14 s, in a long slot
constexpr double kStallFor = 12.0;                       // in a long slot, ending well before it
constexpr double kSlateWithin = 3.0;
constexpr double kOnClock = 1.0;
// From a stream's or its server's return to its picture, on the clock.
constexpr double kBackWithin = 10.0;
// A server gone in a long slot comes back this long after the slate: after the first attempt
// (5 s on) has found it gone, and well before the next one (15 s on).
constexpr double kServerBackAfterSlate = 6.5;
// From the first probe that finds the server back to the picture: an attempt at once, not the
// next one on the schedule, some 5 s later.
constexpr double kBackAfterProbe = 4.0;
// The player stands still under the slate until the first attempt, 5 s on.
constexpr double kQuietAfterSlate = 4.5;
constexpr double kIdleCpu = 0.05;  // of one core
constexpr const char* kFirstFrame = "boundaryTimeObserver callback for first video";
constexpr const char* kSeek = "loadVideos: Seeking to ";
constexpr const char* kQueueEnd = "AVPlayerItemDidPlayToEndTimeNotification notifier";
constexpr const char* kBackToPlay = "itemBackToPlay: object: ";
constexpr const char* kSlateLines[] = {
    "itemFailedToPlay: object: ", "itemStalled: object: ", "itemEndedEarly: object: "};

// Seconds since the start of the UTC day the suite began on: past midnight it counts on (a day is
// a whole number of cycles, so the programme's position is unchanged).
double wallDaySeconds() {
  using std::chrono::system_clock;
  const double now = std::chrono::duration<double>(system_clock::now().time_since_epoch()).count();
  static const double dayStart = std::floor(now / 86400.0) * 86400.0;
  return now - dayStart;
}

// The channel's log lines on the same count: a line stamped after midnight goes on from 86400.
std::vector<LogLine> linesOf(const ChannelProcess& channel, const std::string& text = "") {
  std::vector<LogLine> lines = text.empty() ? channel.lines() : channel.linesContaining(text);
  const double now = wallDaySeconds();
  for (auto& line : lines) {
    while (line.daySeconds < now - 43200.0) {
      line.daySeconds += 86400.0;
    }
  }
  return lines;
}

// The clock's stream (1-based) and offset into it at a UTC day second.
std::pair<int, double> clockAt(double daySeconds) {
  const double position = std::fmod(daySeconds, kCycle);
  const int index = static_cast<int>(position / kSlot);
  return {index + 1, position - index * kSlot};
}

// The first start of stream `n`'s slot at or after `daySeconds`.
double nextSlotStart(int n, double daySeconds) {
  double start = daySeconds - std::fmod(daySeconds, kCycle) + (n - 1) * kSlot;
  while (start < daySeconds) {
    start += kCycle;
  }
  return start;
}

int streamOf(const std::string& record) {
  static const std::regex stream(R"(stream-(\d+)/index\.m3u8)");
  std::smatch match;
  return std::regex_search(record, match, stream) ? std::stoi(match[1]) : 0;
}

// User and system CPU seconds of a process so far, from /proc/PID/stat.
double cpuSeconds(pid_t pid) {
  const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = text.rfind(')');
  std::istringstream fields(close == std::string::npos ? "" : text.substr(close + 2));
  std::string skipped;
  double user = 0.0, system = 0.0;
  for (int index = 3; index < 14; ++index) {
    fields >> skipped;
  }
  return fields >> user >> system ? (user + system) / sysconf(_SC_CLK_TCK) : -1.0;
}

// When the picture next shows a stream after `after` (joined at a position, or the first frame of
// a queue loaded from the clock), and in `problem` how that is more than kOnClock off the clock.
struct Back {
  LogLine line;
  std::string problem;
};
std::optional<Back> pictureBack(const std::vector<LogLine>& lines, double after) {
  std::optional<LogLine> seek;
  std::optional<LogLine> queueEnd;
  for (const auto& line : lines) {
    if (line.daySeconds < after) {
      continue;
    }
    if (line.record.find(kSeek) != std::string::npos) {
      seek = line;
      continue;
    }
    if (line.record.find(kQueueEnd) != std::string::npos) {
      queueEnd = line;
      continue;
    }
    static const std::regex joined(R"(joined at ([0-9.]+) seconds)");
    static const std::regex seekValue(R"(value: (\d+), timescale: 1)");
    const bool join = line.record.find(kBackToPlay) != std::string::npos;
    if (!join && (line.record.find(kFirstFrame) == std::string::npos || !seek || !queueEnd)) {
      continue;
    }
    const std::string& record = join ? line.record : seek->record;
    std::smatch match;
    if (!std::regex_search(record, match, join ? joined : seekValue)) {
      return Back{line, "no position in " + record};
    }
    // A queue starts with the stream after its last; its first frame, or an attempt's, is seen
    // 1/3 s past the seek.
    const int stream = join ? streamOf(line.record) : streamOf(queueEnd->record) % kStreams + 1;
    const double offset = std::stod(match[1]) + 1.0 / 3.0;
    const auto [clockStream, clockOffset] = clockAt(line.daySeconds);
    // Compared as positions in the cycle, so that a frame just before a slot boundary compares
    // with the clock just after it.
    const double apart = std::fmod((stream - 1) * kSlot + offset -
                                       ((clockStream - 1) * kSlot + clockOffset) + 1.5 * kCycle,
                                   kCycle) -
                         kCycle / 2;
    if (stream < 1 || std::abs(apart) > kOnClock) {
      return Back{line, "picture back with stream " + std::to_string(stream) + " at " +
                            std::to_string(offset) + " s; the clock: stream " +
                            std::to_string(clockStream) + " at " + std::to_string(clockOffset) +
                            " s"};
    }
    return Back{line, ""};
  }
  return std::nullopt;
}

enum class Target { firstLoaded, middle, last };
enum class Fault {
  none,
  notFound,
  segmentNotFound,
  hole,
  serverStalls,
  stallThenReturn,
  serverGone,
  shorter,
  longer
};

struct Scenario {
  std::string name;
  Target target;
  Fault fault;
};

// What the server does to the target stream; the test thread sets it, handler threads read it.
struct FaultState {
  std::mutex mutex;
  int target = 0;  // 1-based; 0 until chosen
  bool active = false;
  bool chooseFirstRequested = false;
  Fault fault = Fault::notFound;
  std::atomic<int> hits{0};  // requests the fault acted on
  int segmentsServed = 0;    // of the target, from its start, while the fault is active
  // Day second from which the target's segments count as served: its slot's start, less a
  // second. A late first frame can leave the target's slot of the cycle before still playing.
  double servedFrom = 0.0;
  std::vector<double> segmentRequests;  // day seconds of every segment request, any stream
  // Day seconds of the target's playlist requests for a closed byte range: the channel's probes
  // (the player asks for open ranges).
  std::vector<double> closedRangeRequests;
  RequestGate gate;
};

class StreamFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = std::make_unique<TempDir>();
    remote = std::make_unique<RemoteAddress>(linuxtest::remotePlaylistAddress());
    certificates = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "streams", {"localhost", remote->host}));
    auto make = [](const std::string& dir, int seconds, int n) {
      fs::create_directories(dir);
      const std::string length = std::to_string(seconds);
      return runCommand(
          "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
          "testsrc2=size=160x90:rate=25:duration=" +
          length + " -f lavfi -i sine=frequency=" + std::to_string(300 + 100 * n) +
          ":sample_rate=48000:duration=" + length +
          " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 50 -sc_threshold 0 -c:a aac"
          " -shortest -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename " +
          dir + "/segment-%03d.ts " + dir + "/index.m3u8");
    };
    for (const double slot : {10.0, kLongSlot}) {
      for (int n = 1; n <= kStreams; ++n) {
        ASSERT_TRUE(make(folder->file(mediaDir(slot, n)), static_cast<int>(slot), n));
      }
    }
    ASSERT_TRUE(make(folder->file("short"), kShortSeconds, 9));
    ASSERT_TRUE(make(folder->file("long"), kLongSeconds, 9));
    fs::create_directories(folder->file("data"));
    writeFile(folder->file("data/vorn-vimeo-playlist.json"), "[]");
  }

  static void serveMedia(FaultState& state, const httplib::Request& request,
                         httplib::Response& reply) {
    const int n = std::stoi(request.matches[1].str());
    const std::string file = request.matches[2].str();
    std::string dir = folder->file(mediaDir(kSlot, n));
    bool hold = false;
    {
      std::lock_guard lock(state.mutex);
      if (file.rfind("segment-", 0) == 0) {
        state.segmentRequests.push_back(wallDaySeconds());
      }
      static const std::regex closedRange(R"(bytes=0-\d+)");
      if (n == state.target && file == "index.m3u8" &&
          std::regex_match(request.get_header_value("Range"), closedRange)) {
        state.closedRangeRequests.push_back(wallDaySeconds());
      }
      if (state.chooseFirstRequested && state.target == 0) {
        state.target = n;
      }
      const Fault fault = n == state.target && state.active ? state.fault : Fault::none;
      const bool segment = file.rfind("segment-", 0) == 0;
      const bool laterSegment = segment && file >= "segment-002";
      const bool inHole = fault == Fault::hole && segment &&
                          std::stoi(file.substr(8, 3)) >= kHoleFirstSegment &&
                          std::stoi(file.substr(8, 3)) < kHoleFirstSegment + kHoleSegments;
      if (fault == Fault::notFound || (fault == Fault::segmentNotFound && laterSegment) || inHole) {
        ++state.hits;
        reply.status = 404;
        return;
      }
      if (fault == Fault::shorter || fault == Fault::longer) {
        dir = folder->file(fault == Fault::shorter ? "short" : "long");
        ++state.hits;
      }
      hold = (fault == Fault::serverStalls || fault == Fault::stallThenReturn) && laterSegment;
      if (fault == Fault::serverGone && segment && wallDaySeconds() >= state.servedFrom) {
        state.segmentsServed = std::max(state.segmentsServed, std::stoi(file.substr(8, 3)) + 1);
      }
    }
    if (hold) {
      ++state.hits;
      state.gate.pass();
    }
    if (const std::string path = dir + "/" + file; fs::is_regular_file(path)) {
      reply.set_content(readFile(path), "application/octet-stream");
    } else {
      reply.status = 404;
    }
  }

  static std::string mediaDir(double slot, int n) {
    return "media-" + std::to_string(static_cast<int>(slot)) + "/stream-" + std::to_string(n);
  }

  static std::unique_ptr<TestHttpsServer> makeServer(const std::shared_ptr<FaultState>& state,
                                                     std::shared_ptr<int> port, int onPort = 0) {
    auto server = std::make_unique<TestHttpsServer>(*certificates);
    // One request a connection, so that taking the server away ends every connection at once.
    server->server().set_keep_alive_max_count(1);
    server->server().Get(remote->path, [port](const httplib::Request&, httplib::Response& reply) {
      std::string json = "[";
      for (int n = 1; n <= kStreams; ++n) {
        json += std::string(n > 1 ? "," : "") +
                "{\"hls_url\": \"https://127.0.0.1:" + std::to_string(*port) + "/media/stream-" +
                std::to_string(n) +
                "/index.m3u8\", \"duration\": " + std::to_string(static_cast<int>(kSlot)) +
                ", \"play_count\": 1, \"description_attribution\": \"Stream " + std::to_string(n) +
                "\"}";
      }
      reply.set_content(json + "]", "application/json");
    });
    server->server().Get(R"(/media/stream-(\d)/(.+))",
                         [state](const httplib::Request& request, httplib::Response& reply) {
                           serveMedia(*state, request, reply);
                         });
    server->start(onPort);
    *port = server->port();
    return server;
  }

  // One scenario in a channel process of its own: empty when it held, else what failed and the log.
  static std::string run(const Scenario& scenario) {
    TempDir state;
    auto faults = std::make_shared<FaultState>();
    faults->fault = scenario.fault;
    faults->chooseFirstRequested = faults->active = scenario.target == Target::firstLoaded;
    auto port = std::make_shared<int>(0);
    auto server = makeServer(faults, port);
    ChannelProcess channel(state.file("vorn.log"), {"--headless"},
                           {{"VORN_CA_FILE", certificates->caFile},
                            {"VORN_CONNECT_TO", remote->host + ":" + std::to_string(remote->port) +
                                                    ":127.0.0.1:" + std::to_string(*port)},
                            {"VORN_DATA_DIR", folder->file("data")},
                            {"XDG_STATE_HOME", state.path()},
                            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus"}});
    std::vector<std::pair<double, double>> cpu;  // day second, CPU seconds
    cpu.emplace_back(wallDaySeconds(), cpuSeconds(channel.pid()));
    auto failure = [&](const std::string& what) {
      return scenario.name + ": " + what + "\n" + channel.log();
    };
    for (const char* awaited : {kQueueEnd, kFirstFrame}) {
      if (!channel.waitFor(awaited, 1, 30s)) {
        return failure(std::string("never logged: ") + awaited);
      }
    }
    // The queue runs from the clock's stream round the cycle; its last names the order.
    const auto load = linesOf(channel, kSeek).front();
    const int last = streamOf(linesOf(channel, kQueueEnd).front().record);
    const auto order = [last](int i) { return (last + i) % kStreams + 1; };  // 0-based

    int target = 0;
    double slotStart = 0.0;
    const double now = wallDaySeconds();
    if (scenario.target == Target::firstLoaded) {
      for (int i = 0; i < 200 && target == 0; ++i) {
        std::this_thread::sleep_for(50ms);
        std::lock_guard lock(faults->mutex);
        target = faults->target;
      }
      if (target == 0) {
        return failure("no stream requested");
      }
      slotStart = nextSlotStart(target, load.daySeconds - kSlot);
    } else {
      // Far enough ahead that its stream is not opened yet; never the queue's last for "middle".
      for (int i : scenario.target == Target::last ? std::vector{3} : std::vector{1, 2}) {
        if (target == 0 && nextSlotStart(order(i), now) - now >= 5.0) {
          target = order(i);
        }
      }
      slotStart = nextSlotStart(target, now);
      std::lock_guard lock(faults->mutex);
      faults->target = target;
      faults->servedFrom = slotStart - 1.0;
      faults->active = true;
    }
    const double slotEnd = slotStart + kSlot;
    // The first item fails at the load; the others when their slot starts or the picture stops.
    const bool gone = scenario.fault == Fault::serverGone;
    const bool stalls = scenario.fault == Fault::serverStalls;
    const bool hole = scenario.fault == Fault::hole;
    const bool stallReturns = scenario.fault == Fault::stallThenReturn;
    double faultAt = scenario.fault == Fault::segmentNotFound || stalls || gone || stallReturns
                         ? slotStart + kMidItemFault
                     : hole                             ? slotStart + 2.0 * kHoleFirstSegment
                     : scenario.fault == Fault::shorter ? slotStart + kShortSeconds
                                                        : std::max(slotStart, load.daySeconds);
    // When the stream delivers again after a hole or a stall that ends inside its slot.
    const bool streamReturns = hole || stallReturns;
    const double streamBack = hole ? faultAt + 2.0 * kHoleSegments : faultAt + kStallFor;
    if (stalls || stallReturns) {
      faults->gate.close();
    }

    // Live: CPU samples every 200 ms, the server taken away and brought back.
    std::optional<double> returnedAt;
    const double goneAt = slotStart + 2.5;
    // In a long slot, back in the same slot between two attempts (once the slate is seen); else
    // in the next slot.
    const bool backInSlot = gone && kSlot == kLongSlot;
    const std::string targetName = "stream-" + std::to_string(target) + "/index.m3u8";
    const auto slateFor = [&](const std::vector<LogLine>& lines) {
      return std::find_if(lines.begin(), lines.end(), [&](const LogLine& line) {
        return line.daySeconds >= faultAt - 1.5 &&
               line.record.find(targetName) != std::string::npos &&
               std::any_of(std::begin(kSlateLines), std::end(kSlateLines), [&](const char* kind) {
                 return line.record.find(kind) != std::string::npos;
               });
      });
    };
    double returnAt = backInSlot ? slotEnd : slotEnd + 4.0;
    const double until = gone ? returnAt + kBackWithin + 5.0 : slotEnd + 5.0;
    while (wallDaySeconds() < until && !channel.hasExited()) {
      const double t = wallDaySeconds();
      if (backInSlot && !server && !returnedAt && returnAt == slotEnd) {
        const auto lines = linesOf(channel);
        if (const auto slate = slateFor(lines); slate != lines.end()) {
          returnAt = slate->daySeconds + kServerBackAfterSlate;
        }
      }
      cpu.emplace_back(t, cpuSeconds(channel.pid()));
      const int served = [&] {
        std::lock_guard lock(faults->mutex);
        return faults->segmentsServed;
      }();
      // Gone once the target's second segment is out (a starved test thread must not let the
      // player fetch the whole stream first), or halfway into that segment at the latest.
      if (gone && server && !returnedAt && (t >= goneAt || served >= 2)) {
        server.reset();
        // The player reads ahead, so the picture stops where the last segment served ends.
        std::lock_guard lock(faults->mutex);
        faultAt = slotStart + 2.0 * faults->segmentsServed;
      } else if (gone && !server && !returnedAt && t >= returnAt) {
        try {
          server = makeServer(faults, port, *port);
        } catch (const std::exception& error) {
          return failure(std::string("the server could not come back: ") + error.what());
        }
        returnedAt = t;
      }
      if ((stalls && t >= slotEnd + 2.0) || (stallReturns && t >= streamBack)) {
        faults->gate.open();
      }
      // Once the picture is back after the fault (and the server's or the stream's return), the
      // case is decided.
      const double settled = std::max(
          {faultAt, returnedAt.value_or(gone ? until : 0), streamReturns ? streamBack : 0.0});
      if (t > settled + 1.0) {
        const auto frames = linesOf(channel, kFirstFrame);
        const auto joins = linesOf(channel, kBackToPlay);
        if ((!frames.empty() && frames.back().daySeconds > settled) ||
            (!joins.empty() && joins.back().daySeconds > settled)) {
          std::this_thread::sleep_for(1s);
          break;
        }
      }
      std::this_thread::sleep_for(200ms);
    }
    faults->gate.open();
    cpu.emplace_back(wallDaySeconds(), cpuSeconds(channel.pid()));
    channel.stop(SIGTERM, 10s);

    if (cpu.size() < 2 || cpu.front().second < 0.0 || cpu.back().second <= cpu.front().second) {
      return failure("no CPU time read from /proc for the channel");
    }
    if (gone ? !returnedAt : faults->hits.load() == 0) {
      return failure("the server never applied the fault to stream " + std::to_string(target));
    }
    const auto lines = linesOf(channel);
    const auto slate = slateFor(lines);
    const auto slateLine = slate == lines.end() ? std::nullopt : std::optional<LogLine>(*slate);

    double backAfter = faultAt;
    if (scenario.fault == Fault::longer) {
      // Cut at its listed end: no slate, the queue ends on the cycle's boundary.
      if (slateLine) {
        return failure("a slate for a stream longer than listed: " + slateLine->record);
      }
      const auto ends = linesOf(channel, "lastVideoPlayedToEnd: object: ");
      const auto end = std::find_if(ends.begin(), ends.end(), [&](const LogLine& line) {
        return line.daySeconds > slotStart + 1.0;
      });
      if (end == ends.end() || std::abs(end->daySeconds - slotEnd) > kOnClock) {
        return failure("the long stream did not end at its slot's end " + std::to_string(slotEnd));
      }
      backAfter = end->daySeconds;
    } else if (!(hole && !slateLine)) {
      // (A hole the player skips quickly enough leaves no slate at all.)
      if (!slateLine || slateLine->daySeconds - faultAt > kSlateWithin) {
        return failure("no slate for " + targetName + " within 3 s of " + std::to_string(faultAt));
      }
      static const std::regex untilTime(R"(showing slate until (\d\d):(\d\d):(\d\d))");
      std::smatch m;
      if (!std::regex_search(slateLine->record, m, untilTime) ||
          std::abs(std::stoi(m[1]) * 3600.0 + std::stoi(m[2]) * 60.0 + std::stoi(m[3]) -
                   std::fmod(slotEnd, 86400.0)) > 1.0) {
        return failure("the slate is not up until day second " + std::to_string(slotEnd) + ": " +
                       slateLine->record);
      }
      backAfter = slateLine->daySeconds;
    }

    if (hole && !slateLine) {
      return std::string();
    }
    const auto back = pictureBack(lines, backAfter);
    if (!back || !back->problem.empty()) {
      return failure(back ? back->problem : "the picture never came back");
    }
    if (const double at = back->line.daySeconds;
        gone ? at - *returnedAt > kBackWithin
        : streamReturns
            ? at - streamBack > kBackWithin
            : scenario.fault != Fault::longer && std::abs(at - slotEnd) > kSlateWithin) {
      return failure("back at " + std::to_string(at) + "; the slot ended at " +
                     std::to_string(slotEnd) + ", the server returned at " +
                     std::to_string(returnedAt.value_or(0.0)) + ", the stream at " +
                     std::to_string(streamReturns ? streamBack : 0.0));
    }

    if (backInSlot) {
      // Found back by a probe of its address, and shown at once.
      std::lock_guard lock(faults->mutex);
      const auto& probes = faults->closedRangeRequests;
      const auto probe =
          std::find_if(probes.begin(), probes.end(), [&](double at) { return at >= *returnedAt; });
      if (probe == probes.end() || *probe > back->line.daySeconds) {
        return failure("no probe of the stream's address between its return and its picture");
      }
      if (back->line.daySeconds - *probe > kBackAfterProbe) {
        return failure("back " + std::to_string(back->line.daySeconds - *probe) +
                       " s after the probe that found the server back");
      }
    }

    // Quiet under the slate, less half a second at each end: it ends where the next stream starts
    // opening (the slot's end, or the server's return). Samples inside the window only: the
    // nearest one outside may be the process's start.
    if (slateLine) {
      // Nothing read behind the slate: the player stopped, and the first attempt comes later (and
      // the next slot's stream opens at the slot's end).
      const double slateAt = slateLine->daySeconds;
      const double quietUntil =
          std::min({slateAt + kQuietAfterSlate, back->line.daySeconds - 0.5, slotEnd - 0.25});
      std::lock_guard lock(faults->mutex);
      for (const double request : faults->segmentRequests) {
        if (request > slateAt + 0.5 && request < quietUntil) {
          return failure("a segment read " + std::to_string(request - slateAt) +
                         " s after the slate, before any attempt");
        }
      }
    }
    if (slateLine) {
      const double from = slateLine->daySeconds + 0.5;
      const double to = std::min({back->line.daySeconds, gone ? *returnedAt : slotEnd,
                                  slateLine->daySeconds + kQuietAfterSlate + 0.5}) -
                        0.5;
      const auto start =
          std::find_if(cpu.begin(), cpu.end(), [&](auto& s) { return s.first >= from; });
      const auto end =
          std::find_if(cpu.rbegin(), cpu.rend(), [&](auto& s) { return s.first <= to; });
      if (start != cpu.end() && end != cpu.rend() && end->first - start->first >= 2.0) {
        const double share = (end->second - start->second) / (end->first - start->first);
        if (share < 0.0 || share > kIdleCpu) {
          return failure("CPU under the slate: " + std::to_string(100 * share) + " % of one core");
        }
      }
    }
    return std::string();
  }

  static void runAll(const std::vector<Scenario>& scenarios) {
    std::vector<std::future<std::string>> results;
    for (const auto& scenario : scenarios) {
      results.push_back(std::async(std::launch::async, [scenario] { return run(scenario); }));
    }
    for (auto& result : results) {
      const std::string problem = result.get();
      EXPECT_TRUE(problem.empty()) << problem;
    }
  }

  static inline std::unique_ptr<TempDir> folder;
  static inline std::unique_ptr<RemoteAddress> remote;
  static inline std::unique_ptr<TestCertificates> certificates;
};

TEST_F(StreamFaultTest, dead_streams_and_segments_leave_their_slot_to_the_slate) {
  useSlot(10.0);
  runAll({{"first item 404", Target::firstLoaded, Fault::notFound},
          {"middle item 404", Target::middle, Fault::notFound},
          {"last item 404", Target::last, Fault::notFound},
          {"segment 404", Target::middle, Fault::segmentNotFound}});
}

TEST_F(StreamFaultTest, stalls_outages_and_wrong_lengths_keep_the_programme_on_the_clock) {
  useSlot(10.0);
  runAll({{"server stalls mid-item", Target::middle, Fault::serverStalls},
          {"shorter than listed", Target::middle, Fault::shorter},
          {"longer than listed", Target::last, Fault::longer},
          {"server gone and back", Target::middle, Fault::serverGone}});
}

// In slots of 30 s: a hole of two missing segments, a stall of 12 s that ends inside the slot, and
// a server gone and back inside it. The picture is back within 10 s of the return, on the clock.
TEST_F(StreamFaultTest,
       a_hole_a_stall_or_a_server_gone_that_ends_in_its_slot_brings_the_picture_back) {
  useSlot(kLongSlot);
  runAll({{"4 s hole", Target::middle, Fault::hole},
          {"12 s stall, then back", Target::middle, Fault::stallThenReturn},
          {"server gone and back in the slot", Target::middle, Fault::serverGone}});
}

}  // namespace
}  // namespace vorn::linuxtest
