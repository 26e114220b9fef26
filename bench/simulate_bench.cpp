// Figures of a long `vorn simulate` run: 30 simulated days (or the days given as the argument) of
// a 30 s programme kept playing by a tap every 50 minutes, its output counted and dropped. Prints
// the wall time, the peak resident memory and the lines printed. Targets: at most 64 MB and under
// 10 s for 30 days.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "simulate/simulate.h"

namespace {

// Counts what is written and keeps nothing.
class CountingBuffer : public std::streambuf {
 public:
  size_t bytes = 0;
  size_t lines = 0;

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) {
      ++bytes;
      lines += c == '\n' ? 1 : 0;
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    bytes += static_cast<size_t>(count);
    for (std::streamsize i = 0; i < count; ++i) {
      lines += text[i] == '\n' ? 1 : 0;
    }
    return count;
  }
};

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

}  // namespace

int main(int argc, char** argv) {
  const int days = argc > 1 ? std::atoi(argv[1]) : 30;
  const auto playlist = std::filesystem::temp_directory_path() /
                        ("vorn-simulate-bench-" + std::to_string(::getpid()) + ".json");
  std::ofstream(playlist) << R"([{"hls_url": "https://s.invalid/a", "duration": 10},
    {"hls_url": "https://s.invalid/b", "duration": 12},
    {"hls_url": "https://s.invalid/c", "duration": 8}])";

  std::vector<std::string> args = {"--playlist", playlist.string(), "--for",
                                   std::to_string(days * 86400)};
  for (int at = 3000; at < days * 86400; at += 3000) {
    args.push_back("--event");
    args.push_back(std::to_string(at) + ":tap");
  }
  const double rssBefore = peakRssMegabytes();
  CountingBuffer buffer;
  std::ostream out(&buffer);
  std::ostringstream err;
  const auto start = std::chrono::steady_clock::now();
  const int status = vorn::app::runSimulateCommand(args, out, err);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::filesystem::remove(playlist);
  const double rss = peakRssMegabytes();

  std::printf("vorn simulate, %d days of a 30 s programme, a tap every 50 minutes\n", days);
  std::printf("  status         %d%s%s", status, err.str().empty() ? "" : "  ", err.str().c_str());
  std::printf("\n  lines printed  %zu (%.1f MB)\n", buffer.lines, buffer.bytes / 1048576.0);
  std::printf("  wall time      %.2f s   (target < 10 s for 30 days)\n", seconds);
  std::printf("  peak RSS       %.1f MB  (target <= 64 MB; %.1f MB before the run)\n", rss,
              rssBefore);
  return status;
}
