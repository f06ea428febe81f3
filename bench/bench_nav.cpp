// Planner and field costs on furnished local maps.
//   cmake -S . -B build-nav-bench -DBUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-nav-bench --target bench_nav && build-nav-bench/bench/bench_nav
#include <benchmark/benchmark.h>

#include "bench/nav_bench_maps.h"
#include "nav/plan/flood_path.h"
#include "nav/plan/pot_field.h"

namespace {

void floodOn(benchmark::State& state, void (*build)(OccupancyMap&)) {
  OccupancyMap map(100, 150, 2500);
  build(map);
  FloodPath planner(ArPose(1050, 1050, 0), 100, 200, &map);
  for (auto _ : state) {
    planner.computeFlood();
    benchmark::DoNotOptimize(planner.floodGrid.cellValue(0, 0));
  }
  state.counters["cells"] = static_cast<double>(planner.floodGrid.minx + planner.floodGrid.maxx - 1) *
                            (planner.floodGrid.miny + planner.floodGrid.maxy - 1);
}

void BM_ComputeFlood_249(benchmark::State& state) { floodOn(state, navbench::buildSmall); }
void BM_ComputeFlood_1000(benchmark::State& state) { floodOn(state, navbench::buildLarge); }

// One field computation per iteration: the cache is cleared each time.
void fieldAt(benchmark::State& state, OccupancyMap& map, double x, double y) {
  PotField field(ArPose(3000, 2000, 0), 200, &map);
  for (auto _ : state) {
    field.cacheValid = false;
    field.computeField(x, y);
    benchmark::DoNotOptimize(field.forceX);
  }
}

// Known free space all round: every sample reads a cell, none repels.
void BM_ComputeField_Open(benchmark::State& state) {
  OccupancyMap map(100, 150, 2500);
  navbench::markFree(map);
  fieldAt(state, map, 350.0, 250.0);
}
// Near a partition wall and its doorway in the furnished map.
void BM_ComputeField_Obstacles(benchmark::State& state) {
  OccupancyMap map(100, 150, 2500);
  navbench::buildSmall(map);
  fieldAt(state, map, 350.0, 250.0);
}

}  // namespace

BENCHMARK(BM_ComputeFlood_249)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComputeFlood_1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComputeField_Open)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ComputeField_Obstacles)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
