#pragma once
// The shared world of all simulated robots, advanced in fixed 10 ms ticks: motion with
// contacts against walls and other robots, sonar firing and the watchdog. Free of sockets
// and threads; the server drives it and tests step it directly.
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "sim/robot_model.h"
#include "sim/sonar.h"
#include "sim/wall_grid.h"
#include "sim/world.h"

namespace sim {

constexpr double kRobotRadiusMm = 250;
constexpr double kTickSeconds = 0.01;
constexpr uint64_t kTicksPerSip = 10;
constexpr uint64_t kTicksPerSonarFiring = 4;
constexpr uint64_t kWatchdogTicks = 200;
// Readings one SIP can carry within the 200-byte packet limit.
constexpr size_t kMaxReadingsPerSip = 54;

// STALL AND BUMPERS bits.
constexpr uint16_t kStallBits = 0x0101;   // left (bit 0) and right (bit 8) wheel
constexpr uint16_t kRearBumperBit = 0x0002;
constexpr uint16_t kFrontBumperBit = 0x0200;

struct SimOptions {
  double beamDeg = 15;  // total sonar beam width; 0 casts one ray along the axis
  double noiseMm = 0;   // standard deviation of the Gaussian range noise; 0 = none
  uint32_t seed = 1;
  bool ghosts = false;  // robots neither block nor sense each other, all start at pose 0
};

struct SonarReading {
  uint8_t disc;
  uint16_t rangeMm;
};

struct Robot {
  uint64_t id = 0;
  RobotModel model;
  double x = 0, y = 0, thDeg = 0;  // true pose in the world frame
  bool open = false;               // a session runs: sonar fires, the watchdog counts
  bool sonarOn[kSonarArrays] = {false, false};
  int nextDisc[kSonarArrays] = {0, 0};
  uint64_t lastPacketTick = 0;
  bool stalled = false;
  uint16_t bumpers = 0;
  std::vector<SonarReading> readings;  // fired since the last SIP, in firing order

  uint16_t stallAndBumpers() const { return static_cast<uint16_t>((stalled ? kStallBits : 0) | bumpers); }
};

class Simulation {
 public:
  Simulation(World world, SimOptions options);

  // A new robot at the next start pose (pose 0 for every robot in ghost mode).
  Robot& addRobot();
  void removeRobot(uint64_t id);
  Robot* findRobot(uint64_t id);
  const std::vector<std::unique_ptr<Robot>>& robots() const { return myRobots; }

  // One 10 ms step of every robot; sonar fires on every 4th tick.
  void tick();
  uint64_t ticks() const { return myTicks; }
  // True right after a tick that ends a SIP cycle.
  bool sipDue() const { return myTicks % kTicksPerSip == 0; }

  // Range of one disc of robot as a firing would report it now (mm, noise included).
  uint16_t sonarRange(const Robot& robot, int disc);
  // Places a robot (tests and set-up); the odometric frame is unchanged.
  void placeRobot(Robot& robot, double x, double y, double thDeg);

  const World& world() const { return myWorld; }
  const SimOptions& options() const { return myOptions; }

 private:
  void moveRobot(Robot& robot);
  // Largest share of the step (dx, dy) the robot can travel without pushing into an obstacle.
  double freeFraction(const Robot& robot, double dx, double dy) const;
  bool pushesIntoObstacle(const Robot& robot, double nx, double ny) const;
  void updateBumpers(Robot& robot) const;
  void fireSonar(Robot& robot);
  // Collects the other robots a sonar at (x, y) could hear (none in ghost mode).
  void gatherEchoingRobots(const Robot& robot, double x, double y);
  // Nearest wall or gathered robot along one ray.
  double castBeamRay(double x, double y, double dirDeg) const;

  struct Centre {
    double x, y;
  };

  World myWorld;
  SimOptions myOptions;
  WallGrid myWalls;
  std::vector<std::unique_ptr<Robot>> myRobots;
  std::vector<Centre> myEchoing;  // scratch of gatherEchoingRobots, kept to avoid allocations
  std::mt19937 myRandom;
  std::normal_distribution<double> myNoise{0.0, 1.0};
  uint64_t myTicks = 0;
  uint64_t myNextId = 1;
  size_t myNextStart = 0;
};

}  // namespace sim
