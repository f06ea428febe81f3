// FloodPath::computeFlood (map scan, obstacle growth, wavefront, write-back into the
// quadrant grid) against a plain breadth-first search over a flat array that already
// holds the same grown obstacles. Both must give identical wave numbers; the program
// checks that first and prints the ratio of CPU times at the end.
//   cmake --build build-nav-bench --target bench_vs_bfs && build-nav-bench/bench/bench_vs_bfs
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/nav_bench_maps.h"
#include "nav/plan/flood_path.h"

namespace {

const ArPose GOAL(1050, 1050, 0);  // in a room of both floor plans, clear of pillars

// Distances by a textbook breadth-first search on a width x height array, 4-connected,
// with bounds tests; -1 unreached, -2 blocked.
struct ReferenceBfs {
  int32_t width = 0, height = 0, originX = 0, originY = 0;
  std::vector<uint8_t> blocked;
  std::vector<int32_t> distance;
  std::vector<int32_t> queue;

  explicit ReferenceBfs(const QuadrantGrid& grid)
      : width(grid.minx + grid.maxx - 1), height(grid.miny + grid.maxy - 1), originX(grid.minx - 1), originY(grid.miny - 1) {
    blocked.resize(static_cast<size_t>(width) * height);
    for (int32_t x = 1 - grid.minx; x < grid.maxx; ++x) {
      for (int32_t y = 1 - grid.miny; y < grid.maxy; ++y) blocked[index(x, y)] = grid.cellValue(x, y) == FLOOD_OBSTACLE;
    }
    distance.resize(blocked.size());
    queue.resize(blocked.size());
  }
  size_t index(int32_t x, int32_t y) const { return static_cast<size_t>(x + originX) * height + (y + originY); }

  void run(int32_t goalX, int32_t goalY) {
    for (size_t i = 0; i < blocked.size(); ++i) distance[i] = blocked[i] ? -2 : -1;
    size_t head = 0, tail = 0;
    distance[index(goalX, goalY)] = 0;
    queue[tail++] = static_cast<int32_t>(index(goalX, goalY));
    while (head < tail) {
      const int32_t at = queue[head++];
      const int32_t x = at / height, y = at % height;
      const int32_t nx[4] = {x - 1, x + 1, x, x};
      const int32_t ny[4] = {y, y, y - 1, y + 1};
      for (int k = 0; k < 4; ++k) {
        if (nx[k] < 0 || nx[k] >= width || ny[k] < 0 || ny[k] >= height) continue;
        const int32_t next = nx[k] * height + ny[k];
        if (distance[static_cast<size_t>(next)] != -1) continue;
        distance[static_cast<size_t>(next)] = distance[static_cast<size_t>(at)] + 1;
        queue[tail++] = next;
      }
    }
  }

  bool sameWaves(const QuadrantGrid& grid, int32_t goalX, int32_t goalY) const {
    for (int32_t x = 1 - grid.minx; x < grid.maxx; ++x) {
      for (int32_t y = 1 - grid.miny; y < grid.maxy; ++y) {
        const int32_t d = distance[index(x, y)];
        const int32_t expected = (x == goalX && y == goalY) ? 1 : d == -2 ? FLOOD_OBSTACLE : d + 1;
        if (grid.cellValue(x, y) != expected) return false;
      }
    }
    return true;
  }
};

// Builds the map first, so that the planner's first flood already sees it.
const ArPose& goalAfterBuilding(OccupancyMap& map, void (*build)(OccupancyMap&)) {
  build(map);
  return GOAL;
}

struct Fixture {
  OccupancyMap map{100, 150, 2500};
  FloodPath planner;
  ReferenceBfs reference;
  int32_t goalX, goalY;
  explicit Fixture(void (*build)(OccupancyMap&))
      : planner(goalAfterBuilding(map, build), 100, 200, &map),
        reference(planner.floodGrid),
        goalX(planner.floodGrid.toCell(GOAL.getX())),
        goalY(planner.floodGrid.toCell(GOAL.getY())) {
    reference.run(goalX, goalY);
  }
};

Fixture& fixture(int size) {
  static Fixture small(navbench::buildSmall);
  static Fixture large(navbench::buildLarge);
  return size == 249 ? small : large;
}

void BM_Planner(benchmark::State& state) {
  Fixture& f = fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    f.planner.computeFlood();
    benchmark::DoNotOptimize(f.planner.floodGrid.cellValue(0, 0));
  }
  if (!f.reference.sameWaves(f.planner.floodGrid, f.goalX, f.goalY)) state.SkipWithError("wave numbers differ");
}

void BM_Reference(benchmark::State& state) {
  Fixture& f = fixture(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    f.reference.run(f.goalX, f.goalY);
    benchmark::DoNotOptimize(f.reference.distance.data());
  }
  if (!f.reference.sameWaves(f.planner.floodGrid, f.goalX, f.goalY)) state.SkipWithError("wave numbers differ");
}

// Keeps each benchmark's time so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

BENCHMARK(BM_Planner)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference)->Arg(249)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (int size : {249, 1000}) {
    char plannerName[32], referenceName[32];
    std::snprintf(plannerName, sizeof plannerName, "BM_Planner/%d", size);
    std::snprintf(referenceName, sizeof referenceName, "BM_Reference/%d", size);
    const auto planner = reporter.times.find(plannerName);
    const auto reference = reporter.times.find(referenceName);
    if (planner == reporter.times.end() || reference == reporter.times.end()) continue;
    std::printf("computeFlood / reference BFS, %d cells a side: %.2fx\n", size, planner->second / reference->second);
  }
  benchmark::Shutdown();
  return 0;
}
