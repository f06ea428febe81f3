// Simulator costs: one sonar reading (a fan of rays) in the office world, against a scan of
// every wall as the baseline, one full 100 ms cycle of 100 robots with their SIPs, and the
// same cycle of 1000 robots on 250 copies of the office floor.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <string_view>

#include "aria/ar_packet.h"
#include "sim/session.h"
#include "sim/simulation.h"
#include "sim/wall_grid.h"

namespace {

// The worlds folder next to this file's folder (the build passes sources by absolute path).
std::string worldPath(const char* name) {
  const std::string_view file = __FILE__;
  return std::string(file.substr(0, file.rfind("/bench/"))) + "/worlds/" + name;
}

sim::World officeWorld() {
  sim::World world;
  std::string error;
  if (!sim::loadWorld(worldPath("office.world"), world, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::abort();
  }
  return world;
}

// Poses spread over the office's free floor, reproducible.
std::vector<sim::StartPose> randomPoses(const sim::World& world, size_t n) {
  std::mt19937 random(42);
  std::uniform_real_distribution<double> x(300, 19700), y(300, 14700), th(-180, 180);
  const sim::WallGrid grid(world.walls);
  std::vector<sim::StartPose> poses;
  while (poses.size() < n) {
    const sim::StartPose p{x(random), y(random), th(random)};
    bool clear = true;
    grid.forEachWallNear(p.x, p.y, 300, [&](const sim::Segment& s) {
      double cx, cy;
      sim::closestPointOnSegment(s, p.x, p.y, cx, cy);
      clear = std::hypot(cx - p.x, cy - p.y) > 300;
      return clear;
    });
    if (clear) poses.push_back(p);
  }
  return poses;
}

// Poses spread over the free floor of each of cols x rows office copies, n per copy.
std::vector<sim::StartPose> tiledPoses(const sim::World& office, int cols, int rows, size_t n, sim::World& tiled) {
  const std::vector<sim::StartPose> local = randomPoses(office, n);
  std::vector<sim::StartPose> poses;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double ox = c * 21000.0, oy = r * 16000.0;
      for (const sim::Segment& s : office.walls) tiled.walls.push_back({s.x1 + ox, s.y1 + oy, s.x2 + ox, s.y2 + oy});
      for (const sim::StartPose& p : local) poses.push_back({p.x + ox, p.y + oy, p.thDeg});
    }
  }
  return poses;
}

void BM_SonarReadingOffice(benchmark::State& state) {
  sim::SimOptions options;
  options.beamDeg = static_cast<double>(state.range(0));
  options.sonarModel = state.range(1) != 0 ? sim::SonarModel::Specular : sim::SonarModel::Ideal;
  sim::Simulation simulation(officeWorld(), options);
  sim::Robot& robot = simulation.addRobot();
  const std::vector<sim::StartPose> poses = randomPoses(simulation.world(), 256);
  size_t i = 0;
  for (auto _ : state) {
    const sim::StartPose& p = poses[i % poses.size()];
    simulation.placeRobot(robot, p.x, p.y, p.thDeg);
    benchmark::DoNotOptimize(simulation.sonarRange(robot, static_cast<int>(i % sim::kSonarCount)));
    ++i;
  }
}
BENCHMARK(BM_SonarReadingOffice)->Args({15, 0})->Args({0, 0})->Args({15, 1});

// The same single rays without the grid: every wall tested.
void BM_RayAllWallsOffice(benchmark::State& state) {
  const sim::World world = officeWorld();
  const std::vector<sim::StartPose> poses = randomPoses(world, 256);
  size_t i = 0;
  for (auto _ : state) {
    const sim::StartPose& p = poses[i % poses.size()];
    const double rad = p.thDeg * M_PI / 180;
    const double dx = std::cos(rad), dy = std::sin(rad);
    double nearest = 5001;
    for (const sim::Segment& s : world.walls) {
      const double d = sim::raySegmentDistance(p.x, p.y, dx, dy, s);
      if (d >= 0 && d < nearest) nearest = d;
    }
    benchmark::DoNotOptimize(nearest);
    ++i;
  }
}
BENCHMARK(BM_RayAllWallsOffice);

void BM_RayGridOffice(benchmark::State& state) {
  const sim::World world = officeWorld();
  const sim::WallGrid grid(world.walls);
  const std::vector<sim::StartPose> poses = randomPoses(world, 256);
  size_t i = 0;
  for (auto _ : state) {
    const sim::StartPose& p = poses[i % poses.size()];
    const double rad = p.thDeg * M_PI / 180;
    benchmark::DoNotOptimize(grid.castRay(p.x, p.y, std::cos(rad), std::sin(rad), 5000));
    ++i;
  }
}
BENCHMARK(BM_RayGridOffice);

// One SIP cycle: ten 10 ms ticks of moving, turning robots with both sonar arrays firing,
// then a SIP encoded for each.
void runCycles(benchmark::State& state, sim::Simulation& simulation, const std::vector<sim::StartPose>& poses) {
  for (size_t i = 0; i < poses.size(); ++i) {
    sim::Robot& robot = simulation.addRobot();
    simulation.placeRobot(robot, poses[i].x, poses[i].y, poses[i].thDeg);
    robot.open = true;
    robot.sonarOn[0] = robot.sonarOn[1] = true;
    robot.model.enableMotors(true);
    robot.model.setVel(300);
    robot.model.setRotVel(i % 2 == 0 ? 15 : -15);
  }
  arproto::Packet packet;
  sim::SipFields fields;
  for (auto _ : state) {
    for (uint64_t t = 0; t < sim::kTicksPerSip; ++t) {
      for (const auto& robot : simulation.robots()) robot->lastPacketTick = simulation.ticks();
      simulation.tick();
    }
    for (const auto& robot : simulation.robots()) {
      sim::takeSipFields(*robot, fields);
      sim::encodeSip(fields, packet);
      benchmark::DoNotOptimize(packet.bytes[3]);
    }
  }
}

// 100 robots on one office floor. Arg: 1 = ghosts, 0 = robots meet.
void BM_FullCycle100Robots(benchmark::State& state) {
  sim::SimOptions options;
  options.ghosts = state.range(0) != 0;
  sim::Simulation simulation(officeWorld(), options);
  runCycles(state, simulation, randomPoses(simulation.world(), 100));
  state.SetLabel(options.ghosts ? "ghosts" : "meet");
}
BENCHMARK(BM_FullCycle100Robots)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// 1000 robots meeting, four per floor on 25 x 10 office floors, as in the load runs.
void BM_FullCycle1000RobotsTiled(benchmark::State& state) {
  sim::World tiled;
  const std::vector<sim::StartPose> poses = tiledPoses(officeWorld(), 25, 10, 4, tiled);
  sim::Simulation simulation(std::move(tiled), {});
  runCycles(state, simulation, poses);
}
BENCHMARK(BM_FullCycle1000RobotsTiled)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
