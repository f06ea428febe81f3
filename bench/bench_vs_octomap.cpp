// The same sonar rays applied as our markReading, as our sonar model's cone update
// (markSonarReading) and as OctoMap's ray insertion into an OcTree of 0.1 m resolution in
// the plane z = 0. Prints the ratios of rays per second.
#include <octomap/octomap.h>

#include <algorithm>
#include <memory>

#include "bench/map_bench_support.h"
#include "map/sonar_model.h"

namespace {

using mapbench::Ray;

// Every benchmark here does a fixed amount of work per iteration, so that its rate does
// not depend on how many iterations the library chooses on a fast or a slow machine:
// an OctoMap tree that is still growing (new nodes for rays into unseen space) costs
// several times more per ray than one that only updates nodes it has, and a rate taken
// over "however many rays fitted into the time" mixed the two in proportions that
// changed with the machine's speed and load.
//   Build: a fresh map or tree per iteration, every ray of the set applied once.
//   Update: the map or tree already holds every ray of the set (applied once before the
//           timing starts); each iteration applies the whole set again.
constexpr size_t kRayCount = 1 << 16;

std::vector<Ray> raysFor(const benchmark::State& state) {
  return mapbench::makeRays(kRayCount, static_cast<double>(state.range(0)), static_cast<double>(state.range(1)));
}

octomap::point3d metres(const ArPose& p) {
  return octomap::point3d(static_cast<float>(p.getX() / 1000), static_cast<float>(p.getY() / 1000), 0.0f);
}

void applyOurs(OccupancyMap& map, const std::vector<Ray>& rays) {
  for (const Ray& r : rays) benchmark::DoNotOptimize(markReading(map, r.hit, r.robot));
}

// The sonar model as a receiver applies an E message: the beam found from the point and
// the robot's pose (these random rays match no disc of the ring, so each is a beam from
// the robot's centre), then the cone: free evidence inside it, occupied on the arc. A
// sonar reports nothing at 5 m, so the 5 m rays are taken as echoes at 4.99 m.
void applySonar(OccupancyMap& map, const std::vector<Ray>& rays) {
  for (const Ray& r : rays) {
    SonarBeam beam = beamOfReading(r.hit, r.robot);
    beam.range = std::min(beam.range, SONAR_NO_ECHO_MM - 10);
    benchmark::DoNotOptimize(markSonarReading(map, beam, r.robot, FootprintStyle::Own));
  }
}

// insertRay: every cell on the ray updated free, the end cell occupied, inner nodes kept
// up to date as it goes.
void applyInsertRay(octomap::OcTree& tree, const std::vector<Ray>& rays) {
  for (const Ray& r : rays) benchmark::DoNotOptimize(tree.insertRay(metres(r.robot), metres(r.hit)));
}

// The cheaper path: computeRayKeys and lazy updateNode calls, inner nodes left stale.
void applyLazyKeys(octomap::OcTree& tree, const std::vector<Ray>& rays) {
  octomap::KeyRay keys;
  for (const Ray& r : rays) {
    if (tree.computeRayKeys(metres(r.robot), metres(r.hit), keys)) {
      for (const octomap::OcTreeKey& k : keys) tree.updateNode(k, false, true);
    }
    benchmark::DoNotOptimize(tree.updateNode(metres(r.hit), true, true));
  }
}

void countRays(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRayCount));
}

template <class MakeMap, class Apply>
void build(benchmark::State& state, MakeMap makeMap, Apply apply) {
  const std::vector<Ray> rays = raysFor(state);
  for (auto _ : state) {
    state.PauseTiming();
    auto map = makeMap();
    state.ResumeTiming();
    apply(*map, rays);
    state.PauseTiming();
    map.reset();
    state.ResumeTiming();
  }
  countRays(state);
}

template <class MakeMap, class Apply>
void update(benchmark::State& state, MakeMap makeMap, Apply apply) {
  const std::vector<Ray> rays = raysFor(state);
  auto map = makeMap();
  apply(*map, rays);
  for (auto _ : state) apply(*map, rays);
  countRays(state);
}

// The built-in map's parameters (100 mm cells, R = 1, S = 25) and a tree of 0.1 m.
std::unique_ptr<OccupancyMap> ourMap() {
  return std::make_unique<OccupancyMap>(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
}
std::unique_ptr<octomap::OcTree> theirTree() { return std::make_unique<octomap::OcTree>(0.1); }

void BM_OursBuild(benchmark::State& s) { build(s, ourMap, applyOurs); }
void BM_SonarBuild(benchmark::State& s) { build(s, ourMap, applySonar); }
void BM_SonarUpdate(benchmark::State& s) { update(s, ourMap, applySonar); }
void BM_OctoMapBuild(benchmark::State& s) { build(s, theirTree, applyInsertRay); }
void BM_OctoMapLazyKeysBuild(benchmark::State& s) { build(s, theirTree, applyLazyKeys); }
void BM_OursUpdate(benchmark::State& s) { update(s, ourMap, applyOurs); }
void BM_OctoMapUpdate(benchmark::State& s) { update(s, theirTree, applyInsertRay); }
void BM_OctoMapLazyKeysUpdate(benchmark::State& s) { update(s, theirTree, applyLazyKeys); }

#define RAY_SETS ->Args({500, 5000})->Args({5000, 5000})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_OursBuild) RAY_SETS;
BENCHMARK(BM_SonarBuild) RAY_SETS;
BENCHMARK(BM_OctoMapBuild) RAY_SETS;
BENCHMARK(BM_OctoMapLazyKeysBuild) RAY_SETS;
BENCHMARK(BM_OursUpdate) RAY_SETS;
BENCHMARK(BM_SonarUpdate) RAY_SETS;
BENCHMARK(BM_OctoMapUpdate) RAY_SETS;
BENCHMARK(BM_OctoMapLazyKeysUpdate) RAY_SETS;

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const char* phase : {"Build", "Update"}) {
    for (const char* rays : {"/500/5000", "/5000/5000"}) {
      for (const char* model : {"BM_Ours", "BM_Sonar"}) {
        const std::string ours = std::string(model) + phase + rays;
        pairs.emplace_back(ours, std::string("BM_OctoMap") + phase + rays);
        pairs.emplace_back(ours, std::string("BM_OctoMapLazyKeys") + phase + rays);
      }
    }
  }
  mapbench::RatioReporter reporter(pairs);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
