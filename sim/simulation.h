#pragma once
// The shared world of all simulated robots, advanced in fixed 10 ms ticks: motion with
// contacts against walls and other robots, sonar firing and the watchdog. Free of sockets
// and threads; the server drives it and tests step it directly.
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "sim/odometry_error.h"
#include "sim/robot_grid.h"
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

// How a sonar ray turns into an echo. Ideal: the nearest surface the ray meets echoes,
// at any angle. Specular: a smooth surface reflects sound like a mirror, so it echoes only
// when the ray meets it within maxIncidenceDeg of its normal; a ray that meets it at a
// flatter angle is reflected away and brings no echo (multiple bounces are not followed).
enum class SonarModel { Ideal, Specular };

// Default largest angle between a ray and a surface's normal that still echoes in the
// specular model: half the 30 degree cone of Polaroid 6500-class transducers.
constexpr double kDefaultMaxIncidenceDeg = 15;

struct SimOptions {
  double beamDeg = 15;  // total sonar beam width; 0 casts one ray along the axis
  double noiseMm = 0;   // standard deviation of the Gaussian range noise; 0 = none
  uint32_t seed = 1;    // of the noise and the dropouts
  bool ghosts = false;  // robots neither block nor sense each other, all start at pose 0
  SonarModel sonarModel = SonarModel::Ideal;
  double maxIncidenceDeg = kDefaultMaxIncidenceDeg;  // specular model only
  double dropout = 0;   // probability that a firing with an echo reports none
  OdometryError odometry;  // how each robot's odometry departs from its real motion; none by default
};

struct SonarReading {
  uint8_t disc;
  uint16_t rangeMm;
};

struct Robot {
  uint64_t id = 0;
  size_t startIndex = 0;           // the start pose it was placed at
  RobotModel model;
  double x = 0, y = 0, thDeg = 0;  // true pose in the world frame
  // Where the odometric frame's origin lies in the world: the true pose at the last
  // odometry reset, so that origin + odometry is where dead reckoning puts the robot.
  double odomOriginX = 0, odomOriginY = 0, odomOriginThDeg = 0;
  OdometryRandom odometryRandom;
  bool open = false;               // a session runs: sonar fires, the watchdog counts
  bool keepOdometry = false;       // the next OPEN continues the odometry instead of resetting it
  bool sonarOn[kSonarArrays] = {false, false};
  int nextDisc[kSonarArrays] = {0, 0};
  uint64_t lastPacketTick = 0;
  bool stalled = false;
  uint16_t bumpers = 0;
  std::vector<SonarReading> readings;  // fired since the last SIP, in firing order

  uint16_t stallAndBumpers() const { return static_cast<uint16_t>((stalled ? kStallBits : 0) | bumpers); }
  // The odometry starts again at (0, 0, 0) here (OPEN, SETO).
  void markOdometryOrigin() {
    odomOriginX = x;
    odomOriginY = y;
    odomOriginThDeg = thDeg;
  }
  // Where dead reckoning from the last reset puts the robot in the world frame.
  void deadReckonedPose(double& wx, double& wy, double& wthDeg) const;
};

class Simulation {
 public:
  Simulation(World world, SimOptions options);

  // A new robot at the next start pose (pose 0 for every robot in ghost mode).
  Robot& addRobot();
  void removeRobot(uint64_t id);
  Robot* findRobot(uint64_t id);
  const std::vector<std::unique_ptr<Robot>>& robots() const { return myRobots; }

  // A robot whose client went away stays where it is, solid, motors off and sonar silent,
  // with its odometry kept for the client that takes it next.
  void parkRobot(Robot& robot);

  // One 10 ms step of every robot; sonar fires on every 4th tick.
  void tick();
  uint64_t ticks() const { return myTicks; }

  // Range of one disc of robot as a firing would report it now (mm, noise and dropouts
  // included).
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
  // The nearest surface along one ray: its distance and how squarely the ray meets it.
  struct Echo {
    double distance;
    double cosIncidence;
  };
  // Ranges are measured once the echo is known: the nearest valid echo of the fan, or none.
  double nearestEcho(const Robot& robot, double x, double y, double axisDeg);
  // Lowers hit to the nearest gathered robot along the ray, if one is nearer.
  void hitRobots(double x, double y, double dx, double dy, Echo& hit) const;
  // Collects the other robots within reach of a sonar at (x, y) (none in ghost mode).
  void gatherEchoingRobots(const Robot& robot, double x, double y, double reach);
  bool echoes(const Echo& hit) const;
  // The robot grid, rebuilt when robots were added, removed or placed since.
  const RobotGrid& robotGrid();
  template <typename Visit>
  void forEachRobotNear(double x, double y, double radius, Visit&& visit) const;

  struct RayOffset {
    double cos, sin;
  };
  static constexpr int kBeamRays = 5;

  World myWorld;
  SimOptions myOptions;
  WallGrid myWalls;
  std::vector<std::unique_ptr<Robot>> myRobots;
  RobotGrid myGrid;
  std::vector<GridPoint> myCentres;  // scratch of the grid's rebuilds
  bool myGridStale = true;
  std::vector<GridPoint> myEchoing;  // scratch of gatherEchoingRobots, kept to avoid allocations
  bool mySpecular = false;           // incidence angles matter
  double myMinCosIncidence = -1;     // echoes need at least this; -1 lets every hit echo
  int myRays = 1;                    // rays in the fan
  RayOffset myRayOffsets[kBeamRays] = {};
  std::mt19937 myRandom;
  std::uniform_real_distribution<double> myUniform{0.0, 1.0};
  std::normal_distribution<double> myNoise{0.0, 1.0};
  uint64_t myTicks = 0;
  uint64_t myNextId = 1;
  size_t myNextStart = 0;
};

}  // namespace sim
