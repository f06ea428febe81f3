// How long exploration takes to plan: the worker's whole step (the observed region of
// the team map found and copied, frontiers, travel costs from the robot and two
// teammates, the choice of target), asked from robot poses spread over a half-explored
// office, with the plan time's 50th and 99th percentiles as counters. The same after
// poses from four far corners grew the map to its bound (about 4000 x 4000 cells), and,
// beside it, the planner over the whole grown map, as it planned before it kept to the
// observed region.
//   cmake -S . -B build-bench -DBUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target bench_plan && build-bench/bench/bench_plan
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "map/map_file.h"
#include "map/map_updates.h"
#include "nav/plan/frontier_target.h"
#include "nav/plan_worker.h"
#include "sim/truth.h"
#include "sim/world.h"

namespace {

// The office's ground truth with the rooms of its right half still unseen, as the team
// map reads about two minutes into a mission.
bool halfExploredOffice(OccupancyMap& map) {
  sim::World world;
  std::string error;
  const std::string file = "/tmp/bench_plan_truth." + std::to_string(getpid()) + ".ppm";
  const bool read = sim::loadWorld(MCAGENT_SOURCE_DIR "/worlds/office.world", world, error) &&
                    sim::writeTruthMaps(world, false, sim::TruthFrame::World, file, error) &&
                    readMapFile(map, file.c_str());
  std::remove(file.c_str());
  if (!read) {
    std::fprintf(stderr, "bench_plan: no office map: %s\n", error.c_str());
    return false;
  }
  for (int32_t x = 1 - map.minx; x < map.maxx; ++x) {
    for (int32_t y = 1 - map.miny; y < map.maxy; ++y) {
      const bool unseenRoom = x >= 100 && (y < 60 || y >= 90);
      if (unseenRoom) map.cellAt(x, y) = CELL_UNKNOWN;
    }
  }
  return true;
}

void growFar(OccupancyMap& map) {
  constexpr double FAR = MAP_COORD_BOUND_MM - 100;
  for (double x : {-FAR, FAR}) {
    for (double y : {-FAR, FAR}) markPeerPose(map, ArPose(x, y));
  }
}

// Free cells of the known part, 1 m apart: where the robot asks from.
std::vector<ArPose> robotPoses(const OccupancyMap& map) {
  std::vector<ArPose> poses;
  for (int32_t x = 5; x < 100; x += 10) {
    for (int32_t y = 5; y < 150; y += 10) {
      if (map.inBounds(x, y) && map.cellValue(x, y) == 0) poses.emplace_back(x * 100.0 + 50, y * 100.0 + 50);
    }
  }
  return poses;
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

void planFrom(benchmark::State& state, bool grown) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  if (!halfExploredOffice(map)) {
    state.SkipWithError("no office map");
    return;
  }
  if (grown) growFar(map);
  const std::vector<ArPose> poses = robotPoses(map);
  const std::vector<ArPose> peers = {ArPose(2050, 7550), ArPose(10050, 7550)};
  PlanWorker worker(map);
  std::vector<double> ms, cpuMs;
  size_t next = 0;
  double now = 0;
  for (auto _ : state) {
    worker.ask({poses[next++ % poses.size()], peers, {}, now += 0.5, false, std::nullopt});
    std::optional<PlanWorker::Answer> answer;
    while (!(answer = worker.take())) std::this_thread::yield();
    ms.push_back(answer->seconds * 1000);
    cpuMs.push_back(answer->cpuSeconds * 1000);
    benchmark::DoNotOptimize(answer->choice.found);
  }
  state.counters["p50_ms"] = percentile(ms, 0.50);
  state.counters["p99_ms"] = percentile(ms, 0.99);
  state.counters["cpu_p50_ms"] = percentile(cpuMs, 0.50);
  state.counters["cpu_p99_ms"] = percentile(cpuMs, 0.99);
  state.counters["cells"] = static_cast<double>(map.minx + map.maxx - 1) * (map.miny + map.maxy - 1);
}

void BM_PlanOffice(benchmark::State& state) { planFrom(state, false); }
void BM_PlanOfficeGrownFar(benchmark::State& state) { planFrom(state, true); }

// The planner over every cell the grown map addresses.
void BM_PlanOfficeGrownFar_WholeMap(benchmark::State& state) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  if (!halfExploredOffice(map)) {
    state.SkipWithError("no office map");
    return;
  }
  growFar(map);
  FrontierPlanner planner;
  MapWindow whole;
  for (auto _ : state) {
    whole.copyFrom(map);
    benchmark::DoNotOptimize(planner.choose(whole, ArPose(2050, 7550), {ArPose(10050, 7550)}, 0).found);
  }
}

}  // namespace

BENCHMARK(BM_PlanOffice)->Unit(benchmark::kMillisecond)->Iterations(400);
BENCHMARK(BM_PlanOfficeGrownFar)->Unit(benchmark::kMillisecond)->Iterations(400);
BENCHMARK(BM_PlanOfficeGrownFar_WholeMap)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
