// Memory over many queue reloads: `vorn --headless` plays a tiny programme (three 1 s streams,
// 160x90) over loopback HTTPS, reloading its queue at every queue end, next to a bare mpv command
// line looping the same streams with the same playback options in the same run. Every `--every`
// reloads it prints both processes' resident memory (VmRSS) and peaks (VmHWM) from /proc, read
// once that queue's first frame is on screen, vorn's level (the median of its last ten such
// reads), and at the end the CPU both used.
// Targets: after the first 20 reloads vorn's RSS level grows by at most 8 MB; vorn's peak stays
// within 40 MB of mpv's.
//
// Usage: vorn_bench_soak [--reloads N] [--every K] [--vorn PATH] [--no-mpv]
//   (defaults: 1000 reloads, a line every 50, the vorn built next to this program)
// The environment passes through to both children (MALLOC_ARENA_MAX for a try, for example).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/linux/test_https_server.h"
#include "vorn/build_config.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using vorn::linuxtest::TempDir;
using vorn::linuxtest::TestCertificates;
using vorn::linuxtest::TestHttpsServer;

constexpr int kStreams = 3;
constexpr int kBaselineReload = 20;
constexpr size_t kLevelReads = 10;
constexpr double kGrowthTargetMb = 8.0;
constexpr double kPeakMarginMb = 40.0;

// What the channel's mpv core sets that changes how media is read, decoded or buffered; the bare
// mpv gets the same so that the two differ only by the channel around the player.
const std::vector<std::string> kSharedMpvOptions = {
    "--vo=null",
    "--ao=null",
    "--ytdl=no",
    "--demuxer=lavf",
    "--prefetch-playlist=yes",
    "--keep-open=no",
    "--tls-verify=yes",
    "--network-timeout=10",
    "--cache-secs=1",
    "--demuxer-readahead-secs=1",
    "--demuxer-max-bytes=32MiB",
    "--demuxer-max-back-bytes=0",
};

// VmRSS and VmHWM of a process, in MB; nothing once it has gone.
struct Memory {
  double rss = 0.0;
  double peak = 0.0;
};

std::optional<Memory> memoryOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) {
    return std::nullopt;
  }
  Memory memory;
  bool found = false;
  std::string line;
  while (std::getline(status, line)) {
    long kb = 0;
    if (std::sscanf(line.c_str(), "VmRSS: %ld kB", &kb) == 1) {
      memory.rss = static_cast<double>(kb) / 1024.0;
      found = true;
    } else if (std::sscanf(line.c_str(), "VmHWM: %ld kB", &kb) == 1) {
      memory.peak = static_cast<double>(kb) / 1024.0;
    }
  }
  if (!found) {
    return std::nullopt;
  }
  return memory;
}

// User and system CPU seconds a process has used so far.
double cpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')': state is field 3, utime 14.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return 0.0;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) {
      utime = std::stoull(field);
    } else if (index == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Starts a child with its standard output and error on `outFd` (or discarded when -1).
pid_t spawn(const std::vector<std::string>& args, int outFd,
            const std::vector<std::pair<std::string, std::string>>& extraEnv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outFd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<std::string> envText;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const auto& pair) {
      return text.rfind(pair.first + "=", 0) == 0;
    });
    if (!replaced) {
      envText.push_back(text);
    }
  }
  for (const auto& [name, value] : extraEnv) {
    envText.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& text : envText) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

void stop(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      return;
    }
    usleep(50000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool makeStream(const std::string& dir, int n) {
  std::filesystem::create_directories(dir);
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=160x90:rate=25"
      ":duration=1 -f lavfi -i sine=frequency=" +
      std::to_string(300 + 100 * n) +
      ":sample_rate=48000:duration=1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25"
      " -sc_threshold 0 -c:a aac -shortest -f hls -hls_time 1 -hls_playlist_type vod"
      " -hls_segment_filename " +
      dir + "/segment-%03d.ts " + dir + "/index.m3u8";
  return std::system(command.c_str()) == 0;
}

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
  interrupted = 1;
}

struct Sample {
  int reloads = 0;
  double minutes = 0.0;
  double vornCpu = 0.0;
  double mpvCpu = 0.0;
  double vornLevel = 0.0;  // median of the last reads at first frames
  Memory vorn;
  std::optional<Memory> mpv;
};

}  // namespace

int main(int argc, char** argv) {
  int reloads = 1000;
  int every = 50;
  bool withMpv = true;
  std::string vorn = VORN_CHANNEL_BINARY;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--reloads" && i + 1 < argc) {
      reloads = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--every" && i + 1 < argc) {
      every = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--vorn" && i + 1 < argc) {
      vorn = argv[++i];
    } else if (arg == "--no-mpv") {
      withMpv = false;
    } else {
      std::fprintf(stderr, "usage: %s [--reloads N] [--every K] [--vorn PATH] [--no-mpv]\n",
                   argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  // Ctrl-C ends the run early but still stops both players and removes the media.
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  TempDir folder;
  const auto remote = vorn::linuxtest::remotePlaylistAddress();
  const auto certificates =
      TestCertificates::generate(folder.path(), "soak", {"localhost", remote.host});
  std::vector<std::string> streamPaths;
  for (int n = 1; n <= kStreams; ++n) {
    const std::string dir = folder.file("media/stream-" + std::to_string(n));
    if (!makeStream(dir, n)) {
      std::fprintf(stderr, "could not make the media with ffmpeg\n");
      return 1;
    }
    streamPaths.push_back("/media/stream-" + std::to_string(n) + "/index.m3u8");
  }

  TestHttpsServer server(certificates);
  const std::string mediaRoot = folder.file("media");
  auto playlistPort = std::make_shared<int>(0);
  server.server().Get(remote.path, [playlistPort, streamPaths](const httplib::Request&,
                                                               httplib::Response& response) {
    std::string json = "[";
    for (size_t i = 0; i < streamPaths.size(); ++i) {
      json += std::string(i > 0 ? "," : "") +
              "{\"hls_url\": \"https://127.0.0.1:" + std::to_string(*playlistPort) +
              streamPaths[i] +
              "\", \"duration\": 1, \"play_count\": 1, \"description_attribution\": \"Soak " +
              std::to_string(i + 1) + "\"}";
    }
    response.set_content(json + "]", "application/json");
  });
  server.server().Get(
      R"(/media/(.+))", [mediaRoot](const httplib::Request& request, httplib::Response& response) {
        const std::string path = mediaRoot + "/" + request.matches[1].str();
        if (path.find("..") != std::string::npos || !std::filesystem::is_regular_file(path)) {
          response.status = 404;
          return;
        }
        const bool isPlaylist = path.size() > 5 && path.substr(path.size() - 5) == ".m3u8";
        response.set_content(vorn::linuxtest::readFile(path),
                             isPlaylist ? "application/vnd.apple.mpegurl" : "video/mp2t");
      });
  server.start();
  *playlistPort = server.port();

  // The packaged copy: never needed while the server answers, but the channel wants one.
  std::filesystem::create_directories(folder.file("data"));
  vorn::linuxtest::writeFile(folder.file("data/vorn-vimeo-playlist.json"), "[]");

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("pipe");
    return 1;
  }
  const pid_t vornPid =
      spawn({vorn, "--headless"}, fds[1],
            {{"VORN_CA_FILE", certificates.caFile},
             {"VORN_CONNECT_TO", remote.host + ":" + std::to_string(remote.port) +
                                     ":127.0.0.1:" + std::to_string(server.port())},
             {"VORN_DATA_DIR", folder.file("data")},
             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-soak-bus"}});
  close(fds[1]);
  if (vornPid <= 0) {
    std::fprintf(stderr, "cannot start %s\n", vorn.c_str());
    return 1;
  }
  pid_t mpvPid = -1;
  if (withMpv) {
    std::vector<std::string> args = {"mpv", "--no-config", "--idle=no", "--loop-playlist=inf",
                                     "--tls-ca-file=" + certificates.caFile};
    args.insert(args.end(), kSharedMpvOptions.begin(), kSharedMpvOptions.end());
    for (const auto& path : streamPaths) {
      args.push_back("https://127.0.0.1:" + std::to_string(server.port()) + path);
    }
    mpvPid = spawn(args, -1, {});
    if (mpvPid <= 0) {
      std::fprintf(stderr, "cannot start mpv; going on without it\n");
    }
  }

  std::printf("%8s %8s %10s %10s %10s %10s %10s\n", "reloads", "minutes", "vorn_rss", "vorn_level",
              "vorn_peak", "mpv_rss", "mpv_peak");
  std::fflush(stdout);
  const auto started = Clock::now();
  std::vector<Sample> samples;
  // RSS read at a first frame still depends on what mpv has open at that instant (the next item
  // may be opening already): the level is the median of the reads at the last kLevelReads first
  // frames, which a leak moves and that jitter does not.
  std::deque<double> recent;
  auto readMemory = [&](int count, bool print) {
    const auto vornMemory = memoryOf(vornPid);
    if (!vornMemory) {
      return false;
    }
    recent.push_back(vornMemory->rss);
    if (recent.size() > kLevelReads) {
      recent.pop_front();
    }
    if (!print) {
      return true;
    }
    std::vector<double> sorted(recent.begin(), recent.end());
    std::sort(sorted.begin(), sorted.end());
    Sample s{count,
             std::chrono::duration<double>(Clock::now() - started).count() / 60.0,
             cpuSecondsOf(vornPid),
             mpvPid > 0 ? cpuSecondsOf(mpvPid) : 0.0,
             sorted[sorted.size() / 2],
             *vornMemory,
             mpvPid > 0 ? memoryOf(mpvPid) : std::nullopt};
    samples.push_back(s);
    char mpvText[64] = "         -          -";
    if (s.mpv) {
      std::snprintf(mpvText, sizeof mpvText, "%10.1f %10.1f", s.mpv->rss, s.mpv->peak);
    }
    std::printf("%8d %8.1f %10.1f %10.1f %10.1f %s\n", s.reloads, s.minutes, s.vorn.rss,
                s.vornLevel, s.vorn.peak, mpvText);
    std::fflush(stdout);
    return true;
  };

  // A reload is a queue loaded after a queue end; the first load is reload 0. Memory is read
  // at the same point of every sampled queue: once its first frame is on screen.
  static const std::string kLoad = "loadVideos: Seeking to ";
  static const std::string kFirstFrame = "boundaryTimeObserver callback for first video";
  int loads = 0;
  int current = -1;  // the reload whose first frame comes next
  bool done = false;
  int sinceProgress = 0;
  std::string buffer;
  bool failed = false;
  while (!done && !interrupted) {
    pollfd pfd{fds[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, 1000);
    if (ready <= 0) {
      // A queue lasts about 3 s; a minute without a load means the channel has stalled.
      if (++sinceProgress > 60) {
        std::fprintf(stderr, "no queue load for a minute after %d reloads\n", loads - 1);
        failed = true;
        break;
      }
      continue;
    }
    char chunk[8192];
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n <= 0) {
      std::fprintf(stderr, "vorn exited after %d reloads\n", loads - 1);
      failed = true;
      break;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    size_t end;
    while (!done && (end = buffer.find('\n')) != std::string::npos) {
      const std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (line.find("ERROR:") != std::string::npos) {
        std::fprintf(stderr, "%s\n", line.c_str());
      }
      if (line.find(kLoad) != std::string::npos) {
        sinceProgress = 0;
        current = loads++;
      } else if (current >= 0 && line.find(kFirstFrame) != std::string::npos) {
        const bool print = current == 0 || current == kBaselineReload || current % every == 0 ||
                           current >= reloads;
        if (!readMemory(current, print)) {
          failed = true;
          break;
        }
        done = current >= reloads;
        current = -1;
      }
    }
    if (failed) {
      break;
    }
  }
  if (interrupted) {
    std::fprintf(stderr, "interrupted after %d reloads\n", loads - 1);
    failed = true;
  }
  close(fds[0]);
  stop(vornPid);
  stop(mpvPid);

  if (samples.empty()) {
    return 1;
  }
  const Sample& last = samples.back();
  double vornPeak = 0.0;
  double mpvPeak = 0.0;
  for (const auto& s : samples) {
    vornPeak = std::max(vornPeak, s.vorn.peak);
    if (s.mpv) {
      mpvPeak = std::max(mpvPeak, s.mpv->peak);
    }
  }
  const auto baseline = std::find_if(samples.begin(), samples.end(),
                                     [](const Sample& s) { return s.reloads == kBaselineReload; });
  bool met = !failed;
  if (baseline != samples.end() && last.reloads > kBaselineReload) {
    const double growth = last.vornLevel - baseline->vornLevel;
    std::printf(
        "vorn RSS level (median of %zu first frames) at reload %d: %.1f MB, at reload %d: %.1f "
        "MB: growth %+.1f MB (target <= %.0f MB)\n",
        kLevelReads, kBaselineReload, baseline->vornLevel, last.reloads, last.vornLevel, growth,
        kGrowthTargetMb);
    met = met && growth <= kGrowthTargetMb;
  }
  if (mpvPeak > 0.0) {
    std::printf(
        "peak RSS: vorn %.1f MB, bare mpv %.1f MB: difference %+.1f MB (target <= %.0f "
        "MB)\n",
        vornPeak, mpvPeak, vornPeak - mpvPeak, kPeakMarginMb);
    met = met && vornPeak <= mpvPeak + kPeakMarginMb;
  } else {
    std::printf("peak RSS: vorn %.1f MB\n", vornPeak);
  }
  const Sample& first = samples.front();
  const double wall = (last.minutes - first.minutes) * 60.0;
  if (wall > 0.0) {
    std::printf("CPU over the run, %% of one core: vorn %.1f",
                100.0 * (last.vornCpu - first.vornCpu) / wall);
    if (last.mpv) {
      std::printf(", bare mpv %.1f", 100.0 * (last.mpvCpu - first.mpvCpu) / wall);
    }
    std::printf("\n");
  }
  std::printf("%s\n", met ? "targets met" : "targets NOT met");
  return met ? 0 : 1;
}
