// Two screens on the clock, read off the picture: two `vorn --windowed` side by side on one Xvfb
// display play a programme of streams made for this run, whose every frame carries its item and
// frame number as large black and white blocks; the bench grabs the display over and over, reads
// each window's number and compares it with where the clock stands. It prints, per screen, the
// offset from the clock (median, p95, max) once the first frame has settled, in the 3 s after
// each item change, after each queue end and after a slate, the difference between the two
// screens, and the black and frozen picture at each item change and queue end with the gap they
// make; first with --sync frame, then with --sync second as the baseline, in the same run. Once a
// run, one stream is taken off the server for its slot, so both screens show the slate and load
// the next item after it.
// Usage: vorn_bench_sync [SECONDS_PER_MODE] [VORN]   (defaults: 60, the built vorn)
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// The programme: kItems streams of kItemSeconds, 25 frames a second, 320x180; a cycle divides a
// day, so the clock's position in it is plain arithmetic.
constexpr int kItems = 3;
constexpr double kItemSeconds = 8.0;
constexpr double kCycle = kItems * kItemSeconds;
constexpr double kFps = 25.0;
constexpr int kBits = 16;          // 12 bits of frame number, 4 of item
constexpr int kWindowWidth = 960;  // vorn --windowed
constexpr int kWindowHeight = 540;
constexpr double kSettle = 3.0;  // seconds after a load or change before "settled"
constexpr double kOutage = 2.0;  // no programme frame for this long after the first: a slate
constexpr int kBrokenItem = 1;   // the stream taken off the server for one slot

double wallClock() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& output) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (const auto& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

void stop(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    usleep(50000);
  }
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
      text += buffer;
    }
    pclose(pipe);
  }
  return text;
}

// What one window showed in one capture.
struct Reading {
  enum Kind { frame, black, other } kind = other;
  int item = 0;
  int number = 0;  // frame number within the item
};

// Reads the blocks: kBits columns of 20 source pixels; the upper half carries the bits, the lower
// half their complement, so a torn or half-drawn picture (or anything that is not a frame of the
// programme: the cover's text, the slate) reads as "other" rather than as a wrong number.
// `luma(x, y)` gives the luminance at window coordinates.
template <typename Luma>
Reading decode(const Luma& luma) {
  const double scale = kWindowWidth / 320.0;
  Reading reading;
  int value = 0;
  int dark = 0;
  bool clean = true;
  for (int bit = 0; bit < kBits; ++bit) {
    const int x = static_cast<int>((bit * 20 + 10) * scale);
    const int top = static_cast<int>(45 * scale);
    const int bottom = static_cast<int>(135 * scale);
    const double upper = luma(x, top);
    const double lower = luma(x, bottom);
    dark += (upper < 40.0) + (lower < 40.0);
    const bool one = upper > 128.0;
    if ((upper > 80.0 && upper < 170.0) || (lower > 80.0 && lower < 170.0) ||
        one == (lower > 128.0)) {
      clean = false;
    }
    value |= (one ? 1 : 0) << bit;
  }
  if (dark == 2 * kBits) {
    reading.kind = Reading::black;
  } else if (clean) {
    reading.kind = Reading::frame;
    reading.item = value >> 12;
    reading.number = value & 0xfff;
  }
  return reading;
}

struct Sample {
  double time = 0.0;  // middle of the capture
  double took = 0.0;  // how long the capture took
  std::array<Reading, 2> screens;
};

// Picture minus clock, seconds, for a frame read at `time`: the frame's own span is
// [n/25, (n+1)/25), so its middle is compared; wrapped into half a cycle either way.
double offsetOf(const Reading& reading, double time) {
  const double picture = reading.item * kItemSeconds + (reading.number + 0.5) / kFps;
  double offset = picture - std::fmod(time, kCycle);
  offset -= kCycle * std::round(offset / kCycle);
  return offset;
}

struct Figures {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  std::string text() const {
    if (values.empty()) {
      return "no samples";
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) {
      return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
    };
    char text[128];
    std::snprintf(text, sizeof text, "median %.3f  p95 %.3f  max %.3f s  (%zu)", at(0.5), at(0.95),
                  sorted.back(), sorted.size());
    return text;
  }
};

// The display grabbed over the rows that hold the blocks of both windows, in one request, so
// both screens are read at the same instant.
class Grabber {
 public:
  explicit Grabber(Display* display) : display_(display), root_(DefaultRootWindow(display)) {}
  std::optional<Sample> grab() {
    Sample sample;
    const int top = static_cast<int>(45 * kWindowWidth / 320.0);
    const int bottom = static_cast<int>(135 * kWindowWidth / 320.0);
    const double before = wallClock();
    XImage* image = XGetImage(display_, root_, 0, top - 2, 2 * kWindowWidth, bottom - top + 5,
                              AllPlanes, ZPixmap);
    const double after = wallClock();
    if (image == nullptr) {
      return std::nullopt;
    }
    sample.time = (before + after) / 2.0;
    sample.took = after - before;
    for (int screen = 0; screen < 2; ++screen) {
      sample.screens[screen] = decode([&](int x, int y) {
        // A 5x5 patch: scaling blurs the blocks' edges, never their middles.
        double sum = 0.0;
        for (int dy = -2; dy <= 2; ++dy) {
          for (int dx = -2; dx <= 2; ++dx) {
            const unsigned long pixel =
                XGetPixel(image, screen * kWindowWidth + x + dx, y - (top - 2) + dy);
            const double r = (pixel >> 16) & 0xff;
            const double g = (pixel >> 8) & 0xff;
            const double b = pixel & 0xff;
            sum += 0.299 * r + 0.587 * g + 0.114 * b;
          }
        }
        return sum / 25.0;
      });
    }
    XDestroyImage(image);
    return sample;
  }

 private:
  Display* display_;
  Window root_;
};

// Checks the decoder on frames ffmpeg itself takes out of the made streams, scaled to the window
// as mpv scales them: every one must read back as its own item and number.
bool checkDecoder(const std::string& dir, int& checked) {
  for (int item = 0; item < kItems; ++item) {
    for (const int number : {0, 1, 37, 101, 199}) {
      const std::string raw = dir + "/check.gray";
      if (!run("ffmpeg -nostdin -loglevel error -y -i " + dir + "/s" + std::to_string(item) +
               "/index.m3u8 -vf 'select=eq(n\\," + std::to_string(number) +
               "),scale=960:540' -frames:v 1 -f rawvideo -pix_fmt gray " + raw)) {
        return false;
      }
      std::ifstream in(raw, std::ios::binary);
      std::vector<unsigned char> pixels((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
      if (pixels.size() != static_cast<size_t>(kWindowWidth * kWindowHeight)) {
        return false;
      }
      const Reading reading = decode([&](int x, int y) {
        double sum = 0.0;
        for (int dy = -2; dy <= 2; ++dy) {
          for (int dx = -2; dx <= 2; ++dx) {
            sum += pixels[static_cast<size_t>((y + dy) * kWindowWidth + x + dx)];
          }
        }
        return sum / 25.0;
      });
      if (reading.kind != Reading::frame || reading.item != item || reading.number != number) {
        std::fprintf(stderr, "decoder check: item %d frame %d read as kind %d item %d frame %d\n",
                     item, number, reading.kind, reading.item, reading.number);
        return false;
      }
      ++checked;
    }
  }
  // And a black picture reads as black, not as frame 0.
  const Reading black = decode([](int, int) { return 0.0; });
  return black.kind == Reading::black;
}

bool makeStreams(const std::string& dir) {
  for (int item = 0; item < kItems; ++item) {
    const std::string folder = dir + "/s" + std::to_string(item);
    mkdir(folder.c_str(), 0755);
    // Bit b of item*4096+frame in the column b; the lower half the complement.
    const std::string value = "(" + std::to_string(item * 4096) + "+N)";
    const std::string bit = "mod(floor(" + value + "/pow(2,floor(X/20))),2)";
    std::ofstream(folder + "/filter")
        << "geq=lum='16+219*if(lt(Y,90)," << bit << ",1-" << bit << ")':cb=128:cr=128";
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%g", kItemSeconds);
    if (!run("ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=gray:s=320x180:r=25:d=" +
             std::string(seconds) + " -f lavfi -i sine=frequency=440:sample_rate=48000:d=" +
             seconds + " -filter_script:v " + folder +
             "/filter -c:v libx264 -preset ultrafast -g 50 -sc_threshold 0 -pix_fmt yuv420p "
             "-c:a aac -b:a 64k -shortest -f hls -hls_time 2 -hls_playlist_type vod " +
             folder + "/index.m3u8")) {
      return false;
    }
  }
  return true;
}

// The windows of the two channels, left and right; found by their title.
std::vector<std::string> windows(const std::string& display) {
  std::istringstream ids(output("DISPLAY=" + display +
                                " xdotool search --onlyvisible --name 'Vorn Channel' 2>/dev/null"));
  std::vector<std::string> found;
  for (std::string id; ids >> id;) {
    found.push_back(id);
  }
  return found;
}

void report(const std::string& mode, const std::vector<Sample>& samples,
            const std::array<double, 2>& launched) {
  std::printf("\n== --sync %s: %zu captures ==\n", mode.c_str(), samples.size());
  std::array<std::optional<double>, 2> firstFrame;
  std::array<int, 2> startItem{0, 0};
  for (const Sample& s : samples) {
    for (int i = 0; i < 2; ++i) {
      if (!firstFrame[i] && s.screens[i].kind == Reading::frame) {
        firstFrame[i] = s.time;
        startItem[i] = s.screens[i].item;
      }
    }
  }
  // Item boundaries on the clock over the run, each an item change or (at the start item's own
  // slot start) a queue end.
  const double from = samples.empty() ? 0.0 : samples.front().time;
  const double to = samples.empty() ? 0.0 : samples.back().time;
  for (int screen = 0; screen < 2; ++screen) {
    std::printf("screen %d: ", screen);
    if (!firstFrame[screen]) {
      std::printf("no frame read\n");
      continue;
    }
    std::printf("first frame %.2f s after launch\n", *firstFrame[screen] - launched[screen]);
    // Stretches without a programme frame after the first one (the slate, say): from the last
    // frame before to the first frame after.
    std::vector<std::pair<double, double>> outages;
    {
      std::optional<double> lastFrame;
      for (const Sample& s : samples) {
        if (s.time < *firstFrame[screen] || s.screens[screen].kind != Reading::frame) {
          continue;
        }
        if (lastFrame && s.time - *lastFrame >= kOutage) {
          outages.push_back({*lastFrame, s.time});
        }
        lastFrame = s.time;
      }
    }
    const auto nearOutage = [&](double t) {
      for (const auto& [a, b] : outages) {
        if (t >= a - 0.5 && t <= b + 0.5) {
          return true;
        }
      }
      return false;
    };
    std::vector<std::pair<double, bool>> boundaries;  // time, queue end
    for (double t = std::ceil(from / kItemSeconds) * kItemSeconds; t < to; t += kItemSeconds) {
      const int item = static_cast<int>(std::lround(std::fmod(t, kCycle) / kItemSeconds)) % kItems;
      if (t > *firstFrame[screen] + 0.5) {
        boundaries.push_back({t, item == startItem[screen]});
      }
    }
    Figures settled;
    Figures signedSettled;
    Figures afterChange;
    Figures afterEnd;
    Figures afterSlate;
    for (const Sample& s : samples) {
      const Reading& r = s.screens[screen];
      if (r.kind != Reading::frame || s.time < *firstFrame[screen] + kSettle) {
        continue;
      }
      const double offset = std::abs(offsetOf(r, s.time));
      if (s.time >= *firstFrame[screen] + kSettle) {
        signedSettled.add(offsetOf(r, s.time));
      }
      bool near = false;
      for (const auto& [a, b] : outages) {
        if (s.time >= b && s.time < b + kSettle) {
          afterSlate.add(offset);
          near = true;
        }
      }
      for (const auto& [t, end] : boundaries) {
        if (!near && s.time >= t && s.time < t + kSettle && !nearOutage(t)) {
          (end ? afterEnd : afterChange).add(offset);
          near = true;
        }
      }
      if (!near) {
        settled.add(offset);
      }
    }
    std::printf("  |offset| settled (3 s after first frame, away from changes): %s\n",
                settled.text().c_str());
    std::printf("  offset (picture - clock, signed, 3 s after first frame on): %s\n",
                signedSettled.text().c_str());
    std::printf("  |offset| in the 3 s after an item change:                  %s\n",
                afterChange.text().c_str());
    std::printf("  |offset| in the 3 s after a queue end:                     %s\n",
                afterEnd.text().c_str());
    std::printf("  |offset| in the 3 s after a slate:                         %s\n",
                afterSlate.text().c_str());
    for (const auto& [a, b] : outages) {
      std::printf("  slate from %.1f to %.1f (%.1f s without a programme frame)\n",
                  std::fmod(a, 86400.0), std::fmod(b, 86400.0), b - a);
    }
    // Black, and the gap (black plus the time the picture stood beyond its own frame), at the
    // healthy item changes and queue ends.
    Figures changeBlack;
    Figures changeGap;
    Figures endBlack;
    Figures endGap;
    // Around each boundary: black captures and the longest stretch the picture stood still.
    for (const auto& [t, end] : boundaries) {
      double black = 0.0;
      double frozen = 0.0;
      double lastTime = -1.0;
      std::optional<Reading> still;
      double stillSince = 0.0;
      double previous = 0.0;
      for (const Sample& s : samples) {
        if (s.time < t - 0.5 || s.time > t + kSettle) {
          continue;
        }
        const Reading& r = s.screens[screen];
        if (lastTime >= 0.0 && r.kind == Reading::black) {
          black += s.time - lastTime;
        }
        if (r.kind == Reading::frame) {
          if (still && still->item == r.item && still->number == r.number) {
            frozen = std::max(frozen, s.time - stillSince);
          } else {
            still = r;
            stillSince = previous > 0.0 ? (previous + s.time) / 2.0 : s.time;
          }
        }
        previous = s.time;
        lastTime = s.time;
      }
      const bool slate = nearOutage(t);
      std::printf("  %s at %.0f: black %.3f s, longest still picture %.3f s%s\n",
                  end ? "queue end  " : "item change", std::fmod(t, 86400.0), black, frozen,
                  slate ? " (by a slate)" : "");
      if (!slate) {
        const double gap = black + std::max(0.0, frozen - 1.0 / kFps);
        (end ? endBlack : changeBlack).add(black);
        (end ? endGap : changeGap).add(gap);
      }
    }
    std::printf("  black at item changes: %s\n", changeBlack.text().c_str());
    std::printf("  gap at item changes:   %s\n", changeGap.text().c_str());
    std::printf("  black at queue ends:   %s\n", endBlack.text().c_str());
    std::printf("  gap at queue ends:     %s\n", endGap.text().c_str());
  }
  Figures between;
  for (const Sample& s : samples) {
    if (s.screens[0].kind == Reading::frame && s.screens[1].kind == Reading::frame) {
      between.add(std::abs(offsetOf(s.screens[0], s.time) - offsetOf(s.screens[1], s.time)));
    }
  }
  std::printf("between the screens |a - b|: %s\n", between.text().c_str());
  Figures took;
  for (const Sample& s : samples) {
    took.add(s.took);
  }
  std::printf("capture time (each capture is stamped at its middle): %s\n", took.text().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const std::string vorn = argc > 2 ? argv[2] : VORN_CHANNEL_BINARY;
  char pattern[] = "/tmp/vorn-bench-sync-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) {
    return 1;
  }
  const std::string dir = made;
  std::printf("streams: %d items of %.0f s, 25 fps, 320x180, item and frame number as blocks\n",
              kItems, kItemSeconds);
  if (!makeStreams(dir)) {
    std::fprintf(stderr, "ffmpeg could not make the streams\n");
    return 1;
  }
  int checked = 0;
  if (!checkDecoder(dir, checked)) {
    std::fprintf(stderr, "decoder check failed\n");
    return 1;
  }
  std::printf(
      "decoder check: %d frames taken out by ffmpeg and scaled to the window read back "
      "as their own item and number; black reads as black\n",
      checked);

  const int port = 20000 + getpid() % 20000;
  std::ofstream(dir + "/playlist.json") << [&] {
    std::string json = "[";
    for (int item = 0; item < kItems; ++item) {
      json += std::string(item ? "," : "") +
              "{\"hls_url\": \"http://127.0.0.1:" + std::to_string(port) + "/s" +
              std::to_string(item) +
              "/index.m3u8\", \"duration\": " + std::to_string(kItemSeconds) + "}";
    }
    return json + "]";
  }();
  const pid_t server = spawn({"python3", "-m", "http.server", std::to_string(port), "--bind",
                              "127.0.0.1", "--directory", dir},
                             {}, dir + "/server.log");
  const std::string display = ":" + std::to_string(70 + getpid() % 20);
  const pid_t xvfb =
      spawn({"Xvfb", display, "-screen", "0", "1920x540x24", "-br", "-nolisten", "tcp"}, {},
            dir + "/xvfb.log");
  Display* x = nullptr;
  for (int i = 0; i < 100 && x == nullptr; ++i) {
    usleep(100000);
    x = XOpenDisplay(display.c_str());
  }
  if (x == nullptr) {
    std::fprintf(stderr, "Xvfb did not start\n");
    stop(server);
    stop(xvfb);
    return 1;
  }
  std::printf("machine: %u cores, load average %s", std::thread::hardware_concurrency(),
              output("cut -d' ' -f1-3 /proc/loadavg").c_str());

  Grabber grabber(x);
  const std::string runtime = dir + "/runtime";
  mkdir(runtime.c_str(), 0700);
  for (const std::string mode : {"frame", "second"}) {
    std::array<pid_t, 2> channels{};
    std::array<double, 2> launched{};
    for (int screen = 0; screen < 2; ++screen) {
      const std::string state = dir + "/state-" + mode + std::to_string(screen);
      launched[screen] = wallClock();
      channels[screen] = spawn(
          {vorn, "--windowed", "--mute", "--sync", mode, "--playlist-url",
           "http://127.0.0.1:" + std::to_string(port) + "/playlist.json", "--state-dir", state},
          {"DISPLAY=" + display, "XDG_RUNTIME_DIR=" + runtime},
          dir + "/vorn-" + mode + std::to_string(screen) + ".log");
    }
    // Side by side: without a window manager both open at the top left.
    std::vector<std::string> ids;
    for (int i = 0; i < 200 && ids.size() < 2; ++i) {
      usleep(50000);
      ids = windows(display);
    }
    if (ids.size() == 2) {
      run("DISPLAY=" + display + " xdotool windowmove " + ids[0] + " 0 0 windowmove " + ids[1] +
          " " + std::to_string(kWindowWidth) + " 0");
    } else {
      std::fprintf(stderr, "found %zu windows\n", ids.size());
    }
    // One slot of kBrokenItem, well after the start, whose stream is off the server from before
    // the item before it starts (so no early open finds it) to the middle of its slot.
    const double firstLaunch = std::min(launched[0], launched[1]);
    double brokenSlot = std::floor(firstLaunch / kCycle) * kCycle + kBrokenItem * kItemSeconds;
    while (brokenSlot < firstLaunch + 14.0) {
      brokenSlot += kCycle;
    }
    const double breakAt = brokenSlot - kItemSeconds - 1.0;
    const double mendAt = brokenSlot + kItemSeconds / 2.0;
    const std::string stream = dir + "/s" + std::to_string(kBrokenItem);
    bool broken = false;
    bool mended = false;
    std::vector<Sample> samples;
    const double end = wallClock() + seconds;
    while (wallClock() < end) {
      if (auto sample = grabber.grab()) {
        samples.push_back(*sample);
      }
      const double now = wallClock();
      if (!broken && now >= breakAt && brokenSlot + kItemSeconds + kSettle < end) {
        broken = std::rename(stream.c_str(), (stream + "-off").c_str()) == 0;
      } else if (broken && !mended && now >= mendAt) {
        mended = std::rename((stream + "-off").c_str(), stream.c_str()) == 0;
      }
      usleep(15000);
    }
    if (broken && !mended) {
      std::rename((stream + "-off").c_str(), stream.c_str());
    }
    if (broken) {
      std::printf("\nstream %d off the server for its slot at %.0f\n", kBrokenItem,
                  std::fmod(brokenSlot, 86400.0));
    }
    for (const pid_t pid : channels) {
      stop(pid);
    }
    report(mode, samples, launched);
    std::fflush(stdout);
  }
  XCloseDisplay(x);
  stop(server);
  stop(xvfb);
  if (std::getenv("VORN_BENCH_KEEP") != nullptr) {
    std::printf("kept: %s (the channels' logs, the streams)\n", dir.c_str());
  } else {
    run("rm -rf " + dir);
  }
  return 0;
}
