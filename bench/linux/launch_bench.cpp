// Launch to first picture: `vorn --headless --developer-mode` (packaged demo programme, clock
// pinned to 0, so its first item from offset 0) against the mpv command line on the same stream
// and offset, run alternately. Both are timed from process start to the moment playback crosses
// a third of a second, the point vorn logs as "boundaryTimeObserver callback for first video";
// mpv reports its playback time through its status line.
// Usage: vorn_bench_launch [RUNS] [VORN] [PLAYLIST]   (defaults: 5, <build>/vorn, the demo
// programme)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts `args`, reads its output until `found` accepts it or `timeout`, then stops it with
// SIGTERM (as a user would) and reaps it. Seconds from start to the find, or nothing.
std::optional<double> timeUntil(const std::vector<std::string>& args,
                                const std::function<bool(const std::string&)>& found,
                                double timeout) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> argv;
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const auto started = Clock::now();
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    return std::nullopt;
  }
  std::optional<double> result;
  std::string buffer;
  while (!result) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    if (elapsed > timeout) {
      break;
    }
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) {
      continue;
    }
    char chunk[4096];
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    // Status lines end in a carriage return, log lines in a line feed.
    size_t end;
    while ((end = buffer.find_first_of("\r\n")) != std::string::npos) {
      const std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (found(line)) {
        result = std::chrono::duration<double>(Clock::now() - started).count();
        break;
      }
    }
  }
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    // Keep the pipe drained so the process is never blocked writing while it shuts down.
    char chunk[4096];
    while (read(fds[0], chunk, sizeof chunk) > 0) {
    }
    usleep(50000);
  }
  if (waitpid(pid, &status, WNOHANG) == 0) {
    std::fprintf(stderr, "%s did not exit on SIGTERM within 5 s\n", args[0].c_str());
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(fds[0]);
  return result;
}

using vorn::bench::median;

// The first "hls_url" of the packaged playlist (the demo script writes one entry per object).
std::string firstStream(const std::string& playlist) {
  std::ifstream in(playlist);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  const size_t key = s.find("\"hls_url\"");
  if (key == std::string::npos) {
    return {};
  }
  const size_t open = s.find('"', s.find(':', key) + 1);
  const size_t close = s.find('"', open + 1);
  return s.substr(open + 1, close - open - 1);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string vorn = argc > 2 ? argv[2] : std::string(VORN_BINARY_DIR) + "/vorn";
  const std::string playlist =
      argc > 3 ? argv[3] : std::string(VORN_BINARY_DIR) + "/share/vorn/vorn-vimeo-playlist.json";
  // Both play the packaged programme from this folder.
  setenv("VORN_DATA_DIR", playlist.substr(0, playlist.find_last_of('/')).c_str(), 0);
  const std::string stream = firstStream(playlist);
  if (access(vorn.c_str(), X_OK) != 0 || stream.empty()) {
    std::fprintf(stderr, "needs %s and the demo programme %s (targets vorn, vorn_demo_media)\n",
                 vorn.c_str(), playlist.c_str());
    return 1;
  }
  std::vector<double> vornTimes;
  std::vector<double> mpvTimes;
  for (int run = 0; run < runs; ++run) {
    const auto v = timeUntil(
        {vorn, "--headless", "--developer-mode"},
        [](const std::string& line) {
          return line.find("boundaryTimeObserver callback for first video") != std::string::npos;
        },
        30.0);
    const auto m = timeUntil(
        {"mpv", "--no-config", "--vo=null", "--ao=null", "--ytdl=no", "--demuxer=lavf", "--start=0",
         "--term-status-msg=VORNBENCH ${=playback-time}", stream},
        [](const std::string& line) {
          const size_t at = line.find("VORNBENCH ");
          return at != std::string::npos && std::atof(line.c_str() + at + 10) >= 1.0 / 3.0;
        },
        30.0);
    if (v) {
      vornTimes.push_back(*v);
    }
    if (m) {
      mpvTimes.push_back(*m);
    }
    std::printf("run %d: vorn %s ms, mpv %s ms\n", run + 1,
                v ? std::to_string(static_cast<int>(*v * 1000)).c_str() : "-",
                m ? std::to_string(static_cast<int>(*m * 1000)).c_str() : "-");
  }
  const double vMedian = median(vornTimes);
  const double mMedian = median(mpvTimes);
  std::printf(
      "launch to first picture (+1/3 s), median of %d: vorn %.0f ms, mpv %.0f ms, ratio %.2f\n",
      runs, vMedian * 1000, mMedian * 1000, vMedian / mMedian);
  return vornTimes.empty() || mpvTimes.empty() ? 1 : 0;
}
