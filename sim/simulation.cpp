#include "sim/simulation.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {
namespace {

constexpr double kRadPerDeg = std::numbers::pi / 180.0;
// A robot closer than this to an obstacle touches it (its bumper closes).
constexpr double kTouchMm = 1.0;
// Halvings used to find how far a blocked step may still go.
constexpr int kContactSearchSteps = 12;
// Robots move at most 22 mm per tick (2200 mm/s, the velocity ceiling), so a grid built at
// the start of a tick is off by less than this for every check made during it.
constexpr double kGridSlackMm = 50;

double squaredDistanceToSegment(const Segment& s, double x, double y) {
  double cx, cy;
  closestPointOnSegment(s, x, y, cx, cy);
  return (cx - x) * (cx - x) + (cy - y) * (cy - y);
}

double squaredDistance(double ax, double ay, double bx, double by) { return (ax - bx) * (ax - bx) + (ay - by) * (ay - by); }

}  // namespace

Simulation::Simulation(World world, SimOptions options)
    : myWorld(std::move(world)), myOptions(options), myWalls(myWorld.walls), myRandom(options.seed) {
  mySpecular = myOptions.sonarModel == SonarModel::Specular;
  if (mySpecular) myMinCosIncidence = std::cos(myOptions.maxIncidenceDeg * kRadPerDeg);
  myRays = myOptions.beamDeg > 0 ? kBeamRays : 1;
  for (int i = 0; i < myRays; ++i) {
    const double offset = myRays == 1 ? 0 : myOptions.beamDeg * (static_cast<double>(i) / (myRays - 1) - 0.5);
    myRayOffsets[i] = {std::cos(offset * kRadPerDeg), std::sin(offset * kRadPerDeg)};
  }
}

Robot& Simulation::addRobot() {
  auto robot = std::make_unique<Robot>();
  robot->id = myNextId++;
  if (!myWorld.starts.empty() && !myOptions.ghosts) robot->startIndex = myNextStart++ % myWorld.starts.size();
  const StartPose start = myWorld.starts.empty() ? StartPose{0, 0, 0} : myWorld.starts[robot->startIndex];
  placeRobot(*robot, start.x, start.y, start.thDeg);
  robot->markOdometryOrigin();
  robot->odometryRandom = odometryRandom(myOptions.seed, robot->id);
  myRobots.push_back(std::move(robot));
  return *myRobots.back();
}

void Simulation::removeRobot(uint64_t id) {
  std::erase_if(myRobots, [id](const std::unique_ptr<Robot>& r) { return r->id == id; });
  myGridStale = true;
}

void Simulation::parkRobot(Robot& robot) {
  robot.model.endSession();
  robot.open = false;
  robot.sonarOn[0] = robot.sonarOn[1] = false;
  robot.readings.clear();
  robot.keepOdometry = true;
}

Robot* Simulation::findRobot(uint64_t id) {
  for (auto& robot : myRobots) {
    if (robot->id == id) return robot.get();
  }
  return nullptr;
}

void Simulation::placeRobot(Robot& robot, double x, double y, double thDeg) {
  robot.x = x;
  robot.y = y;
  robot.thDeg = normalizeDeg(thDeg);
  myGridStale = true;
}

const RobotGrid& Simulation::robotGrid() {
  if (!myGridStale) return myGrid;
  myCentres.resize(myRobots.size());
  for (size_t i = 0; i < myRobots.size(); ++i) myCentres[i] = {myRobots[i]->x, myRobots[i]->y};
  myGrid.rebuild(myCentres);
  myGridStale = false;
  return myGrid;
}

// Visits every other robot whose centre may lie within radius of (x, y). Only valid while
// the grid is fresh to within kGridSlackMm, which tick() and sonarRange() ensure.
template <typename Visit>
void Simulation::forEachRobotNear(double x, double y, double radius, Visit&& visit) const {
  myGrid.forEachNear(x, y, radius + kGridSlackMm, [&](uint32_t i) { visit(*myRobots[i]); });
}

void Simulation::tick() {
  ++myTicks;
  // Robots move during the tick; one rebuild at its start stays within the slack.
  myGridStale = true;
  if (!myOptions.ghosts) robotGrid();
  for (auto& robot : myRobots) moveRobot(*robot);
  for (auto& robot : myRobots) updateBumpers(*robot);
  // Each robot fires on its own phase of the 40 ms cycle, as independent robots do, which
  // also spreads the sonar work evenly over the ticks.
  for (auto& robot : myRobots) {
    if (robot->open && (myTicks + robot->id) % kTicksPerSonarFiring == 0) fireSonar(*robot);
  }
}

// The motion model's step is what the encoders count; the robot really moves by the
// wheels' real motion, which is the same step unless an odometry error is set.
void Simulation::moveRobot(Robot& robot) {
  const bool halted = robot.open && myTicks - robot.lastPacketTick > kWatchdogTicks;
  const Motion counted = robot.model.advance(kTickSeconds, halted);
  const OdometryError& error = myOptions.odometry;
  const bool drifts = error.active() && (counted.distMm != 0 || counted.turnDeg != 0);
  const Motion real = drifts ? realMotion(counted, error, robot.bumpers != 0, robot.odometryRandom) : counted;
  const double rad = robot.thDeg * kRadPerDeg;
  const double dx = real.distMm * std::cos(rad), dy = real.distMm * std::sin(rad);
  const double fraction = real.distMm != 0 ? freeFraction(robot, dx, dy) : 1.0;
  robot.stalled = fraction < 1.0;
  if (robot.stalled) robot.model.blockTranslation();
  robot.model.applyMotion(counted, fraction);
  if (robot.stalled && error.slipShare > 0) {
    robot.model.applyMotion(slipCount(robot.model.velSetpoint(), kTickSeconds, error, robot.odometryRandom), 1.0);
  }
  robot.x += fraction * dx;
  robot.y += fraction * dy;
  // A circle turning about its centre never penetrates anything, so turns always apply.
  robot.thDeg = normalizeDeg(robot.thDeg + real.turnDeg);
}

void Robot::deadReckonedPose(double& wx, double& wy, double& wthDeg) const {
  const double rad = odomOriginThDeg * kRadPerDeg;
  const double c = std::cos(rad), s = std::sin(rad);
  wx = odomOriginX + c * model.x() - s * model.y();
  wy = odomOriginY + s * model.x() + c * model.y();
  wthDeg = normalizeDeg(odomOriginThDeg + model.thDeg());
}

double Simulation::freeFraction(const Robot& robot, double dx, double dy) const {
  if (!pushesIntoObstacle(robot, robot.x + dx, robot.y + dy)) return 1.0;
  double free = 0, blocked = 1;
  for (int i = 0; i < kContactSearchSteps; ++i) {
    const double mid = (free + blocked) / 2;
    if (pushesIntoObstacle(robot, robot.x + mid * dx, robot.y + mid * dy)) {
      blocked = mid;
    } else {
      free = mid;
    }
  }
  return free;
}

// Overlapping an obstacle blocks a move only when the move deepens the overlap, so a robot
// that starts overlapping (stacked start poses) can still back out.
bool Simulation::pushesIntoObstacle(const Robot& robot, double nx, double ny) const {
  bool pushes = false;
  const double radius2 = kRobotRadiusMm * kRobotRadiusMm;
  myWalls.forEachWallNear(nx, ny, kRobotRadiusMm, [&](const Segment& s) {
    const double after2 = squaredDistanceToSegment(s, nx, ny);
    pushes = after2 < radius2 && after2 < squaredDistanceToSegment(s, robot.x, robot.y);
    return !pushes;
  });
  if (pushes || myOptions.ghosts) return pushes;
  const double reach2 = 4 * radius2;
  forEachRobotNear(nx, ny, 2 * kRobotRadiusMm, [&](const Robot& other) {
    if (&other == &robot || pushes) return;
    const double after2 = squaredDistance(other.x, other.y, nx, ny);
    pushes = after2 < reach2 && after2 < squaredDistance(other.x, other.y, robot.x, robot.y);
  });
  return pushes;
}

void Simulation::updateBumpers(Robot& robot) const {
  const double rad = robot.thDeg * kRadPerDeg;
  const double hx = std::cos(rad), hy = std::sin(rad);
  uint16_t bits = 0;
  auto touch = [&](double px, double py) {
    bits |= (px - robot.x) * hx + (py - robot.y) * hy >= 0 ? kFrontBumperBit : kRearBumperBit;
  };
  const double wallReach = kRobotRadiusMm + kTouchMm;
  myWalls.forEachWallNear(robot.x, robot.y, wallReach, [&](const Segment& s) {
    double cx, cy;
    closestPointOnSegment(s, robot.x, robot.y, cx, cy);
    if (squaredDistance(cx, cy, robot.x, robot.y) < wallReach * wallReach) touch(cx, cy);
    return true;
  });
  if (!myOptions.ghosts) {
    const double robotReach = 2 * kRobotRadiusMm + kTouchMm;
    forEachRobotNear(robot.x, robot.y, robotReach, [&](const Robot& other) {
      if (&other != &robot && squaredDistance(other.x, other.y, robot.x, robot.y) < robotReach * robotReach) {
        touch(other.x, other.y);
      }
    });
  }
  robot.bumpers = bits;
}

void Simulation::fireSonar(Robot& robot) {
  for (int array = 0; array < kSonarArrays; ++array) {
    if (!robot.sonarOn[array]) continue;
    const int disc = array * kDiscsPerArray + robot.nextDisc[array];
    robot.nextDisc[array] = (robot.nextDisc[array] + 1) % kDiscsPerArray;
    if (robot.readings.size() >= kMaxReadingsPerSip) robot.readings.erase(robot.readings.begin());
    robot.readings.push_back({static_cast<uint8_t>(disc), sonarRange(robot, disc)});
  }
}

uint16_t Simulation::sonarRange(const Robot& robot, int disc) {
  const Transducer& t = kTransducers[disc];
  const double rad = robot.thDeg * kRadPerDeg;
  const double c = std::cos(rad), s = std::sin(rad);
  const double x = robot.x + c * t.x - s * t.y;
  const double y = robot.y + s * t.x + c * t.y;
  double nearest = nearestEcho(robot, x, y, robot.thDeg + t.headingDeg);
  if (nearest >= kNoEchoMm) return kNoEchoMm;
  if (myOptions.dropout > 0 && myUniform(myRandom) < myOptions.dropout) return kNoEchoMm;
  if (myOptions.noiseMm > 0) nearest += myOptions.noiseMm * myNoise(myRandom);
  return static_cast<uint16_t>(std::lround(std::clamp(nearest, 0.0, static_cast<double>(kNoEchoMm))));
}

// The walls come first: a robot beyond the farthest wall any ray meets cannot echo, so
// only the robots nearer than that are gathered.
double Simulation::nearestEcho(const Robot& robot, double x, double y, double axisDeg) {
  const double axisX = std::cos(axisDeg * kRadPerDeg), axisY = std::sin(axisDeg * kRadPerDeg);
  double dirX[kBeamRays], dirY[kBeamRays];
  Echo hits[kBeamRays];
  double reach = 0;
  for (int i = 0; i < myRays; ++i) {
    // The fan's rays: the axis turned by each offset.
    const RayOffset& turn = myRayOffsets[i];
    dirX[i] = axisX * turn.cos - axisY * turn.sin;
    dirY[i] = axisX * turn.sin + axisY * turn.cos;
    const WallHit wall = myWalls.castRayToWall(x, y, dirX[i], dirY[i], kNoEchoMm);
    const bool angled = mySpecular && wall.wall != nullptr;
    hits[i] = {wall.distance, angled ? cosIncidence(dirX[i], dirY[i], *wall.wall) : 1.0};
    reach = std::max(reach, std::min(wall.distance, static_cast<double>(kNoEchoMm)));
  }
  gatherEchoingRobots(robot, x, y, reach + kRobotRadiusMm);
  double nearest = kNoEchoMm + 1;
  for (int i = 0; i < myRays; ++i) {
    hitRobots(x, y, dirX[i], dirY[i], hits[i]);
    if (echoes(hits[i])) nearest = std::min(nearest, hits[i].distance);
  }
  return nearest;
}

bool Simulation::echoes(const Echo& hit) const { return hit.distance <= kNoEchoMm && hit.cosIncidence >= myMinCosIncidence; }

void Simulation::gatherEchoingRobots(const Robot& robot, double x, double y, double reach) {
  myEchoing.clear();
  if (myOptions.ghosts || myRobots.size() < 2) return;
  robotGrid();
  forEachRobotNear(x, y, reach, [&](const Robot& other) {
    if (&other != &robot && squaredDistance(other.x, other.y, x, y) < reach * reach) myEchoing.push_back({other.x, other.y});
  });
}

// A circle's normal at the hit point is the radius there: the ray meets it squarely through
// the centre and ever more flatly toward its rim.
void Simulation::hitRobots(double x, double y, double dx, double dy, Echo& hit) const {
  for (const GridPoint& c : myEchoing) {
    const double d = rayCircleDistance(x, y, dx, dy, c.x, c.y, kRobotRadiusMm);
    if (d < 0 || d >= hit.distance) continue;
    const double nx = x + d * dx - c.x, ny = y + d * dy - c.y;
    hit = {d, mySpecular && d > 0 ? -(dx * nx + dy * ny) / kRobotRadiusMm : 1.0};
  }
}

}  // namespace sim
