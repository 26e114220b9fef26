#include "tools/check/check.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/settings.h"
#include "tools/check/playlist_check.h"
#include "tools/check/playlist_input.h"
#include "tools/check/stream_probe.h"

namespace vorn::app {
namespace {

inline constexpr size_t kMaxParallelProbes = 4;

// One probe per usable entry, at most four at a time; entries not probed stay empty.
std::vector<std::optional<StreamProbe>> probeEntries(const CheckReport& report,
                                                     const CheckOptions& options,
                                                     std::ostream& err) {
  std::vector<size_t> targets;
  for (size_t i = 0; i < report.entries.size(); ++i) {
    if (report.entries[i].usable) {
      targets.push_back(i);
    }
  }
  std::vector<std::optional<StreamProbe>> probes(report.entries.size());
  ProbeOptions probeOptions;
  probeOptions.caFile = options.caFile;
  // A probe opens several resources (playlists, then segments of each variant).
  probeOptions.timeout = std::max(options.fetchTimeout, 1.0) * 3.0;

  std::atomic<size_t> next{0};
  std::mutex progressMutex;
  size_t finished = 0;
  const auto reportProgress = [&] {
    if (options.progress) {
      err << "\rprobing streams: " << finished << " of " << targets.size() << std::flush;
    }
  };
  reportProgress();
  const auto work = [&] {
    for (size_t n = next++; n < targets.size(); n = next++) {
      const size_t index = targets[n];
      StreamProbe probe = probeStream(report.entries[index].address, probeOptions);
      std::lock_guard lock(progressMutex);
      probes[index] = std::move(probe);
      ++finished;
      reportProgress();
    }
  };
  std::vector<std::thread> workers;
  const size_t count = std::min(kMaxParallelProbes, targets.size());
  for (size_t i = 0; i < count; ++i) {
    workers.emplace_back(work);
  }
  for (auto& worker : workers) {
    worker.join();
  }
  if (options.progress) {
    err << '\n';
  }
  return probes;
}

}  // namespace

int runCheck(const CheckOptions& options, std::ostream& out, std::ostream& err) {
  std::string error;
  std::optional<platform::Url> address;
  const JsonPtr document =
      loadPlaylist({options.playlist, options.caFile, options.fetchTimeout}, error, &address);
  CheckReport report;
  if (document) {
    report = lintPlaylist(*document, address ? &*address : nullptr);
  } else {
    report.error = error;
  }
  report.playlist = options.playlist;
  if (options.probe && checkStatus(report) != 2) {
    applyProbes(report, probeEntries(report, options, err));
  }
  const int status = checkStatus(report);
  if (status == 2) {
    err << "vorn check: "
        << oneLine(!report.error.empty()
                       ? report.error
                       : "the playlist " + options.playlist + " has nothing playable")
        << '\n';
  }
  if (options.json) {
    writeCheckJson(report, out);
  } else {
    writeCheckText(report, out);
  }
  return status;
}

}  // namespace vorn::app
