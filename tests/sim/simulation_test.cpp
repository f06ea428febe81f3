// The shared world stepped tick by tick: sonar ranges, contacts, stall and bumper bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "sim/simulation.h"

namespace {

using sim::Robot;
using sim::Simulation;

constexpr double kPi = 3.14159265358979323846;

sim::World worldOf(const char* text) {
  sim::World world;
  std::string error;
  EXPECT_TRUE(sim::parseWorld(text, world, error)) << error;
  return world;
}

// A wall across the x axis at x = 2000 and another behind at x = -3000.
constexpr char kCorridorEnds[] = "wall 2000 -5000 2000 5000\nwall -3000 -5000 -3000 5000\n";

sim::SimOptions narrowBeam() {
  sim::SimOptions o;
  o.beamDeg = 0;
  return o;
}

// Steps the world while every robot's client keeps its session alive.
void ticks(Simulation& s, int n) {
  for (int i = 0; i < n; ++i) {
    for (const auto& robot : s.robots()) robot->lastPacketTick = s.ticks();
    s.tick();
  }
}

Robot& openRobot(Simulation& s, double x, double y, double th) {
  Robot& r = s.addRobot();
  s.placeRobot(r, x, y, th);
  r.open = true;
  r.model.enableMotors(true);
  return r;
}

TEST(SimulationSonar, RangesAreMeasuredFromTheTransducerToTheNearestWall) {
  Simulation s(worldOf(kCorridorEnds), narrowBeam());
  Robot& r = openRobot(s, 0, 0, 0);
  EXPECT_EQ(s.sonarRange(r, 3), std::lround(1834 / std::cos(10 * kPi / 180)));   // disc 3 at x 166, 10 deg
  EXPECT_EQ(s.sonarRange(r, 11), std::lround(2745 / std::cos(10 * kPi / 180)));  // disc 11 at x -255, -170 deg
  EXPECT_EQ(s.sonarRange(r, 0), 5000) << "nothing within 5 m to the side";
  // A wider beam sees the wall along its edge ray, nearer than along the axis.
  sim::SimOptions wide;
  wide.beamDeg = 15;
  Simulation w(worldOf(kCorridorEnds), wide);
  EXPECT_EQ(w.sonarRange(openRobot(w, 0, 0, 0), 3), std::lround(1834 / std::cos(2.5 * kPi / 180)));
  // Turned by 90 degrees, the side discs face the walls.
  s.placeRobot(r, 0, 0, -90);
  EXPECT_EQ(s.sonarRange(r, 0), std::lround(2000 - 136.0));
}

// A straight wall through (qx, qy) whose normal points at normalDeg.
sim::Segment wallThrough(double qx, double qy, double normalDeg, double halfLength) {
  const double rad = normalDeg * kPi / 180;
  const double ux = -std::sin(rad) * halfLength, uy = std::cos(rad) * halfLength;
  return {qx - ux, qy - uy, qx + ux, qy + uy};
}

// Disc 0 of a robot at the origin facing +x sits at (69, 136) and looks along +y, so a wall
// through (69, 2000) lies 1864 mm away along the axis whatever its tilt.
TEST(SimulationSonar, SpecularSurfacesEchoOnlyWhenMetSquarelyEnough) {
  const sim::Segment across{-1000, 2000, 1000, 2000};
  const sim::Segment behind{-1000, 3000, 1000, 3000};
  // Met only by the fan's ray at 82.5 degrees, 1000 mm out, nearly along it.
  const sim::Segment grazingNear = wallThrough(69 + 1000 * std::cos(82.5 * kPi / 180), 136 + 1000 * std::sin(82.5 * kPi / 180), 160, 60);
  struct Case {
    const char* what;
    double beamDeg;
    std::vector<sim::Segment> walls;
    std::vector<sim::GridPoint> robots;
    int ideal, specular;
  };
  const Case cases[] = {
      {"a wall met head on", 0, {across}, {}, 1864, 1864},
      {"a wall 10 degrees off its normal", 0, {wallThrough(69, 2000, 100, 1000)}, {}, 1864, 1864},
      {"a wall 20 degrees off its normal", 0, {wallThrough(69, 2000, 110, 1000)}, {}, 1864, 5000},
      {"a grazing wall, which also hides the wall behind it", 0, {wallThrough(69, 2000, 170, 500), behind}, {}, 1864, 5000},
      // The ray at 97.5 degrees meets the wall 12.5 degrees off its normal: 1864 cos 20 / cos 12.5.
      {"the same 20 degree wall in a 15 degree fan", 15, {wallThrough(69, 2000, 110, 1000)}, {}, 1794, 1794},
      {"a nearer grazing echo in the fan loses to a valid one", 15, {grazingNear, across}, {}, 1000, 1864},
      // A robot 1000 mm out: 50 mm off the ray it is met 11.5 degrees off its normal, 240 mm
      // off (near its rim) 74 degrees off.
      {"a robot met near its centre", 0, {}, {{119, 1136}}, 755, 755},
      {"a robot met near its rim", 0, {}, {{309, 1136}}, 930, 5000},
  };
  for (const Case& c : cases) {
    for (sim::SonarModel model : {sim::SonarModel::Ideal, sim::SonarModel::Specular}) {
      sim::World world;
      world.walls = c.walls;
      sim::SimOptions o;
      o.beamDeg = c.beamDeg;
      o.sonarModel = model;
      Simulation s(world, o);
      Robot& r = openRobot(s, 0, 0, 0);
      for (const sim::GridPoint& p : c.robots) openRobot(s, p.x, p.y, 0);
      EXPECT_EQ(s.sonarRange(r, 0), model == sim::SonarModel::Ideal ? c.ideal : c.specular)
          << c.what << (model == sim::SonarModel::Ideal ? ", ideal" : ", specular");
    }
  }
}

TEST(SimulationSonar, EachArrayFiresItsNextDiscEvery40Ms) {
  Simulation s(worldOf(kCorridorEnds), narrowBeam());
  Robot& r = openRobot(s, 0, 0, 0);
  r.sonarOn[0] = true;
  r.sonarOn[1] = true;
  ticks(s, 40);
  ASSERT_EQ(r.readings.size(), 20u);
  for (size_t k = 0; k < r.readings.size(); ++k) {
    EXPECT_EQ(r.readings[k].disc, (k % 2 == 0 ? 0 : 8) + (k / 2) % 8);
  }
  r.readings.clear();
  r.sonarOn[0] = false;
  ticks(s, 40);
  for (const auto& reading : r.readings) EXPECT_GE(reading.disc, 8);
  Robot& closed = s.addRobot();
  closed.sonarOn[0] = true;
  ticks(s, 40);
  EXPECT_TRUE(closed.readings.empty()) << "sonar fires only during a session";
}

TEST(SimulationSonar, OtherRobotsEchoUnlessGhosts) {
  const double axis = 10 * kPi / 180;
  const double cx = 166 + 1000 * std::cos(axis), cy = 27 + 1000 * std::sin(axis);
  Simulation meet(worldOf(kCorridorEnds), narrowBeam());
  Robot& a = openRobot(meet, 0, 0, 0);
  openRobot(meet, cx, cy, 0);
  EXPECT_EQ(meet.sonarRange(a, 3), 750);
  sim::SimOptions ghosts = narrowBeam();
  ghosts.ghosts = true;
  Simulation ghost(worldOf(kCorridorEnds), ghosts);
  Robot& g = openRobot(ghost, 0, 0, 0);
  openRobot(ghost, cx, cy, 0);
  EXPECT_EQ(ghost.sonarRange(g, 3), std::lround(1834 / std::cos(axis)));
}

TEST(SimulationSonar, NoiseIsSeededAndCentredOnTheTrueRange) {
  sim::SimOptions noisy = narrowBeam();
  noisy.noiseMm = 20;
  noisy.seed = 7;
  Simulation a(worldOf(kCorridorEnds), noisy), b(worldOf(kCorridorEnds), noisy);
  noisy.seed = 8;
  Simulation c(worldOf(kCorridorEnds), noisy);
  Robot& ra = openRobot(a, 0, 0, 0);
  Robot& rb = openRobot(b, 0, 0, 0);
  Robot& rc = openRobot(c, 0, 0, 0);
  const double truth = 1834 / std::cos(10 * kPi / 180);
  double sum = 0, sumSq = 0;
  int differ = 0;
  const int n = 2000;
  for (int i = 0; i < n; ++i) {
    const int va = a.sonarRange(ra, 3);
    EXPECT_EQ(va, b.sonarRange(rb, 3));
    differ += va != c.sonarRange(rc, 3);
    sum += va - truth;
    sumSq += (va - truth) * (va - truth);
    EXPECT_EQ(a.sonarRange(ra, 0), 5000) << "no echo stays exactly 5000";
  }
  EXPECT_GT(differ, n / 2);
  EXPECT_NEAR(sum / n, 0, 2);
  EXPECT_NEAR(std::sqrt(sumSq / n), 20, 2);
  // Dropouts: a share of the echoes become "no echo"; the others stay exact.
  sim::SimOptions dropping = narrowBeam();
  dropping.dropout = 0.25;
  Simulation d(worldOf(kCorridorEnds), dropping);
  Robot& rd = openRobot(d, 0, 0, 0);
  int dropped = 0;
  for (int i = 0; i < n; ++i) {
    const int v = d.sonarRange(rd, 3);
    dropped += v == 5000;
    if (v != 5000) {
      EXPECT_EQ(v, std::lround(truth));
    }
  }
  EXPECT_NEAR(dropped, n / 4, n / 20);
}

TEST(SimulationContacts, WallStopsTheRobotWithStallWhilePushingAndBumperWhileTouching) {
  Simulation s(worldOf(kCorridorEnds), narrowBeam());
  Robot& r = openRobot(s, 0, 0, 0);
  r.model.setVel(500);
  ticks(s, 600);
  EXPECT_LE(r.x, 1750.0);
  EXPECT_GT(r.x, 1749.0);
  EXPECT_EQ(r.stallAndBumpers(), sim::kStallBits | sim::kFrontBumperBit);
  EXPECT_EQ(r.model.vel(), 0);
  EXPECT_NEAR(r.model.x(), r.x, 1e-6) << "odometry follows the true motion, not the command";
  r.model.setVel(0);
  ticks(s, 1);
  EXPECT_EQ(r.stallAndBumpers(), sim::kFrontBumperBit) << "touching without pushing is no stall";
  // Turning in place against the wall works and never penetrates it.
  r.model.setRotVel(90);
  ticks(s, 200);
  EXPECT_NEAR(r.x, 1750, 1.0);
  EXPECT_GT(r.thDeg, 120);
  r.model.setHeading(180);
  ticks(s, 300);
  EXPECT_EQ(r.stallAndBumpers(), sim::kRearBumperBit);
  r.model.setVel(-100);  // backing into the wall
  ticks(s, 20);
  EXPECT_EQ(r.stallAndBumpers(), sim::kStallBits | sim::kRearBumperBit);
  r.model.setVel(100);
  ticks(s, 150);
  EXPECT_EQ(r.stallAndBumpers(), 0);
  EXPECT_LT(r.x, 1700);
}

TEST(SimulationContacts, RobotsBlockEachOtherUnlessGhosts) {
  for (bool ghosts : {false, true}) {
    sim::SimOptions o = narrowBeam();
    o.ghosts = ghosts;
    Simulation s(worldOf(kCorridorEnds), o);
    Robot& a = openRobot(s, -1000, 0, 0);
    Robot& b = openRobot(s, 1000, 100, 180);
    a.model.setVel(400);
    b.model.setVel(400);
    ticks(s, 500);
    const double gap = std::hypot(a.x - b.x, a.y - b.y);
    if (ghosts) {
      EXPECT_GT(a.x, b.x) << "ghosts pass through each other";
      EXPECT_EQ(a.bumpers, 0);
    } else {
      EXPECT_GE(gap, 500 - 1e-6);
      EXPECT_LT(gap, 502);
      EXPECT_EQ(a.stallAndBumpers(), sim::kStallBits | sim::kFrontBumperBit);
      EXPECT_EQ(b.stallAndBumpers(), sim::kStallBits | sim::kFrontBumperBit);
    }
  }
}

// The grid behind the robot-robot checks: every point within the radius is visited once,
// wherever the query lies (far outside the points' bounds included), however spread out.
TEST(SimulationContacts, RobotGridFindsEveryRobotNearOnce) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> x(-1000, 400000), y(-5000, 60000), r(0, 6000);
  std::vector<sim::GridPoint> points;
  for (int i = 0; i < 3000; ++i) points.push_back({x(random), y(random)});
  for (int i = 0; i < 200; ++i) points.push_back({1234, 5678});  // a stack on one spot
  sim::RobotGrid grid;
  grid.rebuild(points);
  for (int q = 0; q < 500; ++q) {
    const double qx = q % 50 == 0 ? -1e6 : x(random), qy = q % 70 == 0 ? 1e6 : y(random), radius = r(random);
    std::vector<int> seen(points.size(), 0);
    grid.forEachNear(qx, qy, radius, [&](uint32_t i) { ++seen[i]; });
    for (size_t i = 0; i < points.size(); ++i) {
      ASSERT_LE(seen[i], 1);
      if (std::hypot(points[i].x - qx, points[i].y - qy) <= radius) {
        ASSERT_EQ(seen[i], 1) << i;
      }
    }
  }
}

TEST(SimulationContacts, StackedRobotsCanDriveApart) {
  Simulation s(worldOf("start 0 0 0\n"), narrowBeam());
  Robot& a = s.addRobot();
  Robot& b = s.addRobot();
  ASSERT_EQ(a.x, b.x);
  a.open = b.open = true;
  a.model.enableMotors(true);
  a.model.setVel(300);
  ticks(s, 300);
  EXPECT_GT(a.x - b.x, 500);
  EXPECT_FALSE(a.stalled);
}

// UMBmark's square, driven by odometry alone: 4 m legs by the counted distance, 90 degree
// turns by the heading servo. With the systematic errors only, each leg is really an arc
// of Es times its counted length curving by the wheel-diameter difference, and each turn
// really turns Es/Eb times the counted angle, so the true end pose follows in closed form.
TEST(SimulationOdometry, SquareDrivenByOdometryEndsWhereTheErrorModelSays) {
  sim::OdometryError e;
  ASSERT_TRUE(sim::odometryErrorPreset("realistic", e));
  e.wheelNoise = 0;
  e.slipShare = 0;
  const double curvature = 2 * (e.wheelRatio - 1) / ((e.wheelRatio + 1) * e.wheelbaseScale * sim::kNominalWheelbaseMm);
  double worstMiss = 0;
  for (int turn : {90, -90}) {
    sim::SimOptions o = narrowBeam();
    o.odometry = e;
    Simulation s(worldOf(""), o);
    Robot& r = openRobot(s, 0, 0, 0);
    double x = 0, y = 0, th = 0;  // the closed form, radians
    for (int leg = 0; leg < 4; ++leg) {
      const double fromX = r.model.x(), fromY = r.model.y();
      r.model.setRotVel(0);
      r.model.setVel(400);
      while (std::hypot(r.model.x() - fromX, r.model.y() - fromY) < 4000 - 270) ticks(s, 1);
      r.model.setVel(0);
      ticks(s, 200);
      const double length = e.distanceScale * std::hypot(r.model.x() - fromX, r.model.y() - fromY);
      const double bend = length * curvature;
      x += length / bend * (std::sin(th + bend) - std::sin(th));
      y -= length / bend * (std::cos(th + bend) - std::cos(th));
      th += bend;
      const double fromTh = r.model.thDeg();
      r.model.setHeading(turn * (leg + 1));
      ticks(s, 300);
      th += sim::normalizeDeg(r.model.thDeg() - fromTh) * kPi / 180 * e.distanceScale / e.wheelbaseScale;
    }
    EXPECT_NEAR(std::hypot(r.model.x(), r.model.y()), 0, 50) << "the odometry closes the square";
    EXPECT_NEAR(r.x, x, 2) << turn;
    EXPECT_NEAR(r.y, y, 2) << turn;
    EXPECT_NEAR(sim::normalizeDeg(r.thDeg - th * 180 / kPi), 0, 0.05) << turn;
    worstMiss = std::max(worstMiss, std::hypot(r.x, r.y));
  }
  EXPECT_GT(worstMiss, 200) << "one way round the errors add up, which is why UMBmark drives both";
}

// The random errors repeat with the seed; slip counts distance while the robot stands.
TEST(SimulationOdometry, RandomErrorsRepeatWithTheSeedAndSlipCountsWhilePushing) {
  auto endPose = [](uint32_t seed) {
    sim::SimOptions o = narrowBeam();
    EXPECT_TRUE(sim::odometryErrorPreset("realistic", o.odometry));
    o.seed = seed;
    Simulation s(worldOf(kCorridorEnds), o);
    Robot& r = openRobot(s, 0, 0, 0);
    r.model.setVel(300);
    r.model.setRotVel(20);
    ticks(s, 500);
    return std::array<double, 3>{r.x, r.y, r.thDeg};
  };
  EXPECT_EQ(endPose(4), endPose(4));
  EXPECT_NE(endPose(4), endPose(5));

  sim::SimOptions o = narrowBeam();
  ASSERT_TRUE(sim::odometryErrorPreset("realistic", o.odometry));
  Simulation s(worldOf(kCorridorEnds), o);
  Robot& r = openRobot(s, 1700, 0, 0);
  r.model.setVel(400);
  ticks(s, 100);
  ASSERT_TRUE(r.stalled);
  const double trueX = r.x, countedX = r.model.x();
  ticks(s, 100);
  EXPECT_NEAR(r.x, trueX, 0.01);
  EXPECT_NEAR(r.model.x() - countedX, o.odometry.slipShare * 400, 40) << "one second of spinning wheels";
}

TEST(SimulationStart, RobotsCycleThroughStartPosesOrShareTheFirstAsGhosts) {
  const char* starts = "start 100 200 30\nstart -500 0 -90\n";
  Simulation meet(worldOf(starts), {});
  EXPECT_EQ(meet.addRobot().x, 100);
  EXPECT_EQ(meet.addRobot().thDeg, -90);
  EXPECT_EQ(meet.addRobot().y, 200);
  sim::SimOptions o;
  o.ghosts = true;
  Simulation ghost(worldOf(starts), o);
  ghost.addRobot();
  EXPECT_EQ(ghost.addRobot().x, 100);
  Simulation empty(worldOf(""), {});
  EXPECT_EQ(empty.addRobot().x, 0);
}

}  // namespace
