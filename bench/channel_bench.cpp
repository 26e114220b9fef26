// Figures of the channel's logic on the simulated platform: a whole queue load for playlists of
// 1k to 100k entries (entries play 1 to 3 times, so 100k entries make 200k items), and parsing a
// 100k-entry document of about 20 MB. Targets: a 100k-entry load within 50 ms, the parse within
// 200 ms.
#include <benchmark/benchmark.h>

#include <string>

#include "channel/vorn_view_controller.h"
#include "platform/sim/world.h"
#include "playlist/playlist_document.h"

namespace {

std::string makeDocument(int entries) {
  std::string text = "[";
  for (int i = 0; i < entries; ++i) {
    if (i > 0) {
      text += ",\n";
    }
    text += R"({"hls_url": "https://streams.vorn.invalid/programme/)" + std::to_string(i) +
            R"(/index.m3u8", "duration": )" + std::to_string(30 + i % 600) + R"(, "play_count": )" +
            std::to_string(1 + i % 3) + R"(, "description_attribution": "Programme )" +
            std::to_string(i) +
            R"( \u2014 an example entry with a description of ordinary length"})";
  }
  return text + "]";
}

void BM_QueueLoad(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  vorn::sim::World world(vorn::sim::WorldOptions{3800.0});
  auto controller = std::make_shared<vorn::VornViewController>(world, std::nullopt, nullptr);
  controller->loadViewIfNeeded();
  const auto parsed = vorn::playlist::parseDocument(makeDocument(entries));
  controller->setPlaylist(std::get<vorn::JsonPtr>(parsed));
  for (auto _ : state) {
    controller->loadVideosOnMainThread(false);
    state.PauseTiming();
    world.scheduler().runUntilIdle();
    state.ResumeTiming();
  }
  state.counters["items"] = static_cast<double>(world.media().latestPlayer()->items().size());
}
BENCHMARK(BM_QueueLoad)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The first load of a newly accepted document, which also reads and checks every entry.
void BM_FirstLoadOfANewDocument(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  vorn::sim::World world(vorn::sim::WorldOptions{3800.0});
  auto controller = std::make_shared<vorn::VornViewController>(world, std::nullopt, nullptr);
  controller->loadViewIfNeeded();
  const std::string document = makeDocument(entries);
  for (auto _ : state) {
    state.PauseTiming();
    controller->setPlaylist(std::get<vorn::JsonPtr>(vorn::playlist::parseDocument(document)));
    state.ResumeTiming();
    controller->loadVideosOnMainThread(false);
    state.PauseTiming();
    world.scheduler().runUntilIdle();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstLoadOfANewDocument)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ParseDocument(benchmark::State& state) {
  const std::string document = makeDocument(static_cast<int>(state.range(0)));
  // One untimed parse first: the first in a process also pays the kernel for faulting in fresh
  // heap pages, which measures the machine more than the parser.
  benchmark::DoNotOptimize(vorn::playlist::parseDocument(document));
  for (auto _ : state) {
    auto result = vorn::playlist::parseDocument(document);
    benchmark::DoNotOptimize(result);
    state.PauseTiming();
    result = {};  // freeing the tree is not parsing
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}
BENCHMARK(BM_ParseDocument)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
