// Decoding cost of a 1080p stream: `vorn --headless --developer-mode` playing a one-item programme
// of a 1080p HLS stream (made by ffmpeg for this run) and the mpv command line playing the same
// stream in a loop with the options the channel gives mpv, both at the same time for the same
// wall-clock span, so the machine's other load falls on both alike. Prints the CPU seconds (user +
// system) and the peak RSS of each, from wait4, and the CPU ratio (target: at most 1.05).
// Usage: vorn_bench_decode [SECONDS] [VORN]   (defaults: 30, <build>/vorn)
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Usage {
  double cpuSeconds = 0;
  double peakRssMiB = 0;
  int status = 0;
};

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Starts `args` with `extraEnvironment` added, standard error into `logFile`.
std::optional<pid_t> start(const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnvironment,
                           const std::string& logFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv;
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment = extraEnvironment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.emplace_back(*variable);
  }
  std::vector<char*> envp;
  for (auto& variable : environment) {
    envp.push_back(variable.data());
  }
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "cannot start %s\n", args[0].c_str());
    return std::nullopt;
  }
  return pid;
}

// Ends the process as a service manager would (SIGTERM, SIGKILL after 10 s) and reads its usage.
Usage stop(pid_t pid) {
  kill(pid, SIGTERM);
  Usage usage;
  rusage resources{};
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (wait4(pid, &status, WNOHANG, &resources) == pid) {
      usage.cpuSeconds = seconds(resources.ru_utime) + seconds(resources.ru_stime);
      usage.peakRssMiB = static_cast<double>(resources.ru_maxrss) / 1024.0;
      usage.status = status;
      return usage;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::fprintf(stderr, "process %d did not exit on SIGTERM within 10 s\n", static_cast<int>(pid));
  kill(pid, SIGKILL);
  wait4(pid, &status, 0, &resources);
  usage.cpuSeconds = seconds(resources.ru_utime) + seconds(resources.ru_stime);
  usage.peakRssMiB = static_cast<double>(resources.ru_maxrss) / 1024.0;
  usage.status = status;
  return usage;
}

std::string commandOutput(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) {
      text += buffer;
    }
    pclose(pipe);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int span = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
  const std::string vorn = argc > 2 ? argv[2] : std::string(VORN_BINARY_DIR) + "/vorn";
  if (access(vorn.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "needs %s (target vorn)\n", vorn.c_str());
    return 1;
  }
  char folderTemplate[] = "/tmp/vorn-bench-decode-XXXXXX";
  const char* made = mkdtemp(folderTemplate);
  if (made == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = made;
  const std::string data = folder + "/data";
  const std::string streamFolder = folder + "/stream";
  std::filesystem::create_directories(data);
  std::filesystem::create_directories(streamFolder);

  // 20 s of 1080p25 with motion and sound, as a VOD HLS stream of 2-second segments.
  std::printf("making a 1080p HLS stream with ffmpeg...\n");
  std::fflush(stdout);
  const std::string encode =
      "ffmpeg -nostdin -hide_banner -loglevel error -y"
      " -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=20"
      " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=20"
      " -c:v libx264 -preset veryfast -crf 23 -pix_fmt yuv420p -g 50 -keyint_min 50"
      " -sc_threshold 0 -c:a aac -b:a 128k -shortest -f hls -hls_time 2 -hls_playlist_type vod"
      " -hls_segment_filename " +
      streamFolder + "/segment-%03d.ts " + streamFolder + "/index.m3u8";
  if (std::system(encode.c_str()) != 0) {
    std::fprintf(stderr, "ffmpeg failed\n");
    return 1;
  }
  const std::string stream = streamFolder + "/index.m3u8";
  const std::string duration = commandOutput(
      "ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " + stream);
  std::ofstream(data + "/vorn-vimeo-playlist.json")
      << "[{\"hls_url\": \"file://" << stream << "\", \"duration\": " << duration
      << ", \"description_attribution\": \"1080p test card\"}]\n";

  // What the channel sets on its mpv core for headless playback (the rest are mpv's defaults).
  const std::vector<std::string> mpv = {"mpv",
                                        "--no-config",
                                        "--really-quiet",
                                        "--vo=null",
                                        "--ao=null",
                                        "--hwdec=auto-safe",
                                        "--ytdl=no",
                                        "--load-scripts=no",
                                        "--osc=no",
                                        "--demuxer=lavf",
                                        "--prefetch-playlist=yes",
                                        "--keep-open=no",
                                        "--input-default-bindings=no",
                                        "--osd-level=0",
                                        "--tls-verify=yes",
                                        "--network-timeout=10",
                                        "--audio-fallback-to-null=yes",
                                        "--volume=100",
                                        "--mute=no",
                                        "--loop-playlist=inf",
                                        stream};
  const auto vornPid =
      start({vorn, "--headless", "--developer-mode"},
            {"VORN_DATA_DIR=" + data, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bench-bus"},
            folder + "/vorn.log");
  const auto mpvPid = start(mpv, {}, folder + "/mpv.log");
  if (!vornPid || !mpvPid) {
    return 1;
  }
  std::printf("playing side by side for %d s...\n", span);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(span));
  const Usage v = stop(*vornPid);
  const Usage m = stop(*mpvPid);
  // Figures of a channel that never played would flatter it.
  std::ifstream vornLog(folder + "/vorn.log");
  const std::string log((std::istreambuf_iterator<char>(vornLog)),
                        std::istreambuf_iterator<char>());
  const bool played =
      log.find("boundaryTimeObserver callback for first video") != std::string::npos;
  std::filesystem::remove_all(folder);
  if (!played) {
    std::fprintf(stderr, "vorn never showed the stream's first picture; its log:\n%s\n",
                 log.c_str());
    return 1;
  }

  std::printf("1080p25 H.264, hwdec=auto-safe, %d s side by side:\n", span);
  std::printf("  vorn --headless  CPU %6.2f s  peak RSS %6.1f MiB\n", v.cpuSeconds, v.peakRssMiB);
  std::printf("  mpv              CPU %6.2f s  peak RSS %6.1f MiB\n", m.cpuSeconds, m.peakRssMiB);
  std::printf("  CPU ratio vorn/mpv %.3f (target <= 1.05), RSS ratio %.3f\n",
              v.cpuSeconds / m.cpuSeconds, v.peakRssMiB / m.peakRssMiB);
  return 0;
}
