// The shared world stepped tick by tick: sonar ranges, contacts, stall and bumper bits.
#include <gtest/gtest.h>

#include <cmath>

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
