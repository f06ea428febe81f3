#pragma once
// Shared inputs of the map benchmarks: a fixed set of sonar rays spread over the map,
// maps with content, and a reporter that prints side-by-side ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "map/map_file.h"
#include "map/map_updates.h"
#include "map/occupancy_map.h"

namespace mapbench {

struct Ray {
  ArPose robot, hit;  // mm
};

// Robots spread over a square of +-spread mm, each ray of random direction and a length
// drawn from [minLen, maxLen] mm.
inline std::vector<Ray> makeRays(size_t count, double minLen, double maxLen, double spread = 10000, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> place(-spread, spread), angle(0, 2 * M_PI), length(minLen, maxLen);
  std::vector<Ray> rays;
  rays.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    double x = place(rng), y = place(rng), a = angle(rng), l = length(rng);
    rays.push_back({ArPose(x, y), ArPose(x + l * std::cos(a), y + l * std::sin(a))});
  }
  return rays;
}

inline OccupancyMap builtInMap() { return OccupancyMap(100, 150, 2500); }

// A built-in map, grown to about `cells` x `cells` when that is larger, with readings
// that stay far enough inside it not to grow it further.
inline void fillMap(OccupancyMap& map, int cells) {
  const int32_t half = cells / 2 - map.growStep;
  if (half > 0) {
    map.growToCover(half, half);
    map.growToCover(-half, -half);
  }
  const double spread = (map.maxx - map.margin - 5) * map.res - 5000;
  for (const Ray& r : makeRays(20000, 500, 5000, spread)) markReading(map, r.hit, r.robot);
}

using RayUpdate = bool (*)(OccupancyMap&, const ArPose&, const ArPose&);

// Applies the rays round and round to a built-in map, one call per iteration; items are
// calls. The map grows to hold the rays within the first calls, then never allocates.
inline void applyRays(benchmark::State& state, const std::vector<Ray>& rays, RayUpdate update) {
  OccupancyMap map = builtInMap();
  const size_t mask = rays.size() - 1;  // a power of two
  size_t i = 0;
  for (auto _ : state) {
    const Ray& r = rays[i++ & mask];
    benchmark::DoNotOptimize(update(map, r.hit, r.robot));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// A file name of this process in /tmp.
inline std::string benchFile(const char* what) {
  return std::string("/tmp/bench_map_") + what + "." + std::to_string(getpid()) + ".ppm";
}

// A map of about `cells` per side with readings in it, written to a file of this process.
inline std::string writeFilledMap(int cells, const char* what) {
  OccupancyMap map = builtInMap();
  fillMap(map, cells);
  const std::string file = benchFile(what);
  if (!writeMapFile(map, file.c_str())) std::fprintf(stderr, "cannot write %s\n", file.c_str());
  return file;
}

inline int64_t cellCount(const OccupancyMap& m) { return int64_t{m.minx + m.maxx - 1} * (m.miny + m.maxy - 1); }

// The console output plus, at the end, the ratio of each pair's items per second.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Each pair: (ours, theirs) benchmark name prefixes.
  explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
      : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular), myPairs(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) myRates[run.benchmark_name()] = it->second;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [ours, theirs] : myPairs) {
      if (myRates.count(ours) && myRates.count(theirs)) {
        std::printf("ratio %s / %s = %.2f\n", ours.c_str(), theirs.c_str(), myRates[ours] / myRates[theirs]);
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> myPairs;
  std::map<std::string, double> myRates;
};

}  // namespace mapbench
