// Throughput of the occupancy map: ray updates, pose stamps, and map file writing and
// reading on the built-in map and on a map grown to about 1000 x 1000 cells.
#include <unistd.h>

#include <string>

#include "bench/map_bench_support.h"

namespace {

// Rays of range(0)..range(1) mm from robots spread over +-10 m.
void BM_MarkReading(benchmark::State& state) {
  mapbench::applyRays(state,
                      mapbench::makeRays(1 << 16, static_cast<double>(state.range(0)), static_cast<double>(state.range(1))),
                      markReading);
}
BENCHMARK(BM_MarkReading)->Args({500, 5000})->Args({5000, 5000})->Args({500, 500});

void BM_MarkPeerReading(benchmark::State& state) {
  mapbench::applyRays(state, mapbench::makeRays(1 << 16, 500, 5000), markPeerReading);
}
BENCHMARK(BM_MarkPeerReading);

void BM_MarkPose(benchmark::State& state) {
  const std::vector<mapbench::Ray> rays = mapbench::makeRays(1 << 16, 0, 0);
  OccupancyMap map = mapbench::builtInMap();
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(markPose(map, rays[i++ & (rays.size() - 1)].robot));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_MarkPose);

// range(0): approximate cells per side. Items are cells.
void BM_WriteMapFile(benchmark::State& state) {
  OccupancyMap map = mapbench::builtInMap();
  mapbench::fillMap(map, static_cast<int>(state.range(0)));
  const std::string file = mapbench::benchFile("bench_map");
  for (auto _ : state) {
    if (!writeMapFile(map, file.c_str())) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations() * mapbench::cellCount(map));
  state.counters["cells_per_side"] = map.minx + map.maxx - 1;
  unlink(file.c_str());
}
BENCHMARK(BM_WriteMapFile)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_ReadMapFile(benchmark::State& state) {
  const std::string file = mapbench::writeFilledMap(static_cast<int>(state.range(0)), "read");
  OccupancyMap map = mapbench::builtInMap();
  for (auto _ : state) {
    if (!readMapFile(map, file.c_str())) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations() * mapbench::cellCount(map));
  state.counters["cells_per_side"] = map.minx + map.maxx - 1;
  unlink(file.c_str());
}
BENCHMARK(BM_ReadMapFile)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
