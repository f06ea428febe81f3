// The same sonar rays applied as our markReading and as OctoMap's ray insertion into an
// OcTree of 0.1 m resolution in the plane z = 0. Prints the ratio of rays per second.
#include <octomap/octomap.h>

#include "bench/map_bench_support.h"

namespace {

using mapbench::Ray;

std::vector<Ray> raysFor(const benchmark::State& state) {
  return mapbench::makeRays(1 << 16, static_cast<double>(state.range(0)), static_cast<double>(state.range(1)));
}

void BM_Ours(benchmark::State& state) { mapbench::applyRays(state, raysFor(state), markReading); }

octomap::point3d metres(const ArPose& p) {
  return octomap::point3d(static_cast<float>(p.getX() / 1000), static_cast<float>(p.getY() / 1000), 0.0f);
}

// insertRay: every cell on the ray updated free, the end cell occupied, inner nodes kept
// up to date as it goes.
void BM_OctoMap(benchmark::State& state) {
  const std::vector<Ray> rays = raysFor(state);
  octomap::OcTree tree(0.1);
  size_t i = 0;
  for (auto _ : state) {
    const Ray& r = rays[i++ & (rays.size() - 1)];
    benchmark::DoNotOptimize(tree.insertRay(metres(r.robot), metres(r.hit)));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// The cheaper path: computeRayKeys and lazy updateNode calls, inner nodes left stale.
void BM_OctoMapLazyKeys(benchmark::State& state) {
  const std::vector<Ray> rays = raysFor(state);
  octomap::OcTree tree(0.1);
  octomap::KeyRay keys;
  size_t i = 0;
  for (auto _ : state) {
    const Ray& r = rays[i++ & (rays.size() - 1)];
    if (tree.computeRayKeys(metres(r.robot), metres(r.hit), keys)) {
      for (const octomap::OcTreeKey& k : keys) tree.updateNode(k, false, true);
    }
    benchmark::DoNotOptimize(tree.updateNode(metres(r.hit), true, true));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_Ours)->Args({500, 5000})->Args({5000, 5000});
BENCHMARK(BM_OctoMap)->Args({500, 5000})->Args({5000, 5000});
BENCHMARK(BM_OctoMapLazyKeys)->Args({500, 5000})->Args({5000, 5000});

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mapbench::RatioReporter reporter({{"BM_Ours/500/5000", "BM_OctoMap/500/5000"},
                                    {"BM_Ours/5000/5000", "BM_OctoMap/5000/5000"},
                                    {"BM_Ours/500/5000", "BM_OctoMapLazyKeys/500/5000"},
                                    {"BM_Ours/5000/5000", "BM_OctoMapLazyKeys/5000/5000"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
