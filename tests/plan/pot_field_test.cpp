#include <gtest/gtest.h>

#include <cmath>

#include "map/map_cell.h"
#include "map/occupancy_map.h"
#include "nav/plan/pot_field.h"

namespace {

constexpr MapCell SOLID = 0x00FF;

// A field that sees only the given map, with the robot radius used everywhere (200 mm).
PotField fieldOn(OccupancyMap& map, ArPose goal) { return PotField(goal, 200.0, &map); }

TEST(PotField, OpenSpaceIsPureAttraction) {
  OccupancyMap map(100, 150, 2500);
  // Cells near the point that must not repel: known free, known but weak (63), and
  // unknown with a high occupancy byte.
  map.cellAt(31, -2) = 0x0000;
  map.cellAt(32, -2) = 0x003F;
  map.cellAt(29, -2) = CELL_UNKNOWN | 0x00FF;
  PotField field = fieldOn(map, ArPose(1000, 500));
  field.computeField(3000, -200);
  EXPECT_DOUBLE_EQ(field.forceX, -2000.0);
  EXPECT_DOUBLE_EQ(field.forceY, 700.0);
  EXPECT_DOUBLE_EQ(field.potential, 0.5 * (2000.0 * 2000.0 + 700.0 * 700.0));
  EXPECT_DOUBLE_EQ(fieldStrength(field), 1.0);

  // Near the goal the strength is the squared distance over a million.
  field.computeField(1300, 900);
  EXPECT_DOUBLE_EQ(fieldStrength(field), (300.0 * 300.0 + 400.0 * 400.0) * 1e-6);
  EXPECT_NEAR(fieldHeading(field), std::atan2(-400.0, -300.0) * 180.0 / 3.1415927, 1e-9);

  // Far outside the map every sample reads unknown.
  field.computeField(50000, 50000);
  EXPECT_DOUBLE_EQ(field.forceX, -49000.0);
  EXPECT_DOUBLE_EQ(field.forceY, -49500.0);
}

TEST(PotField, ObstacleInReachPushesAwayByTheInverseLaw) {
  OccupancyMap map(100, 150, 2500);
  map.cellAt(15, 10) = SOLID;  // one sample falls in it: (1550, 1050)
  const ArPose goal(-3000, 1050);
  PotField field = fieldOn(map, goal);
  field.computeField(1050, 1050);

  const double u0 = 0.5 * 4050.0 * 4050.0;
  const double c = u0 * 10000.0;
  const double q = 1.0 / 300.0;
  const double e = q - 1.0 / 2000.0;
  EXPECT_NEAR(field.potential, u0 + c / 2.0 * e * e, 1e-6 * field.potential);
  EXPECT_NEAR(field.forceX, -4050.0 + c * e * q * q * q * -500.0, 1e-9 * std::fabs(field.forceX));
  EXPECT_DOUBLE_EQ(field.forceY, 0.0);
  EXPECT_LT(field.forceX, -4050.0);  // pushed away from the obstacle on its +x side

  // Cell 0 is twice as wide as the others: two samples of one row fall in it and the
  // obstacle counts twice, once from each sample.
  OccupancyMap centre(100, 150, 2500);
  centre.cellAt(0, 5) = SOLID;
  PotField twice(ArPose(50, -2000), 200.0, &centre);
  twice.computeField(50, 50);
  const double u1 = 0.5 * 2050.0 * 2050.0;
  const double c1 = u1 * 10000.0;
  double expected = u1;
  for (double rho : {500.0, std::sqrt(100.0 * 100.0 + 500.0 * 500.0)}) {
    const double e1 = 1.0 / (rho - 200.0) - 1.0 / 2000.0;
    expected += c1 / 2.0 * e1 * e1;
  }
  EXPECT_NEAR(twice.potential, expected, 1e-9 * expected);
}

TEST(PotField, ContactAddsTheCapAndTheEdgeOfInfluenceAddsNothing) {
  OccupancyMap map(100, 150, 2500);
  map.cellAt(12, 10) = SOLID;  // the sample (1250, 1050) is exactly robotRadius away
  PotField field = fieldOn(map, ArPose(-3000, 1050));
  field.computeField(1050, 1050);
  const double u0 = 0.5 * 4050.0 * 4050.0;
  EXPECT_DOUBLE_EQ(field.potential, u0 + 1000.0 * u0 * 10000.0);
  EXPECT_DOUBLE_EQ(field.forceX, -4050.0);  // contact adds no force
  EXPECT_DOUBLE_EQ(field.forceY, 0.0);

  // With 40 mm cells the sample (1340, 1780) lies exactly robotRadius + influenceRange
  // (2200 mm) from (20, 20): it adds neither potential nor force.
  OccupancyMap fine(40, 150, 2500);
  fine.cellAt(33, 44) = SOLID;
  PotField edge(ArPose(-1000, 20), 200.0, &fine);
  edge.computeField(20, 20);
  EXPECT_EQ(edge.potential, 0.5 * 1020.0 * 1020.0);
  EXPECT_EQ(edge.forceX, -1020.0);
  EXPECT_EQ(edge.forceY, 0.0);
}

TEST(PotField, AtTheGoalObstaclesAddNothing) {
  OccupancyMap map(100, 150, 2500);
  for (int x = -3; x <= 3; ++x) map.cellAt(x, 3) = SOLID;
  PotField field = fieldOn(map, ArPose(0, 0));
  field.computeField(0, 0);
  EXPECT_EQ(field.potential, 0.0);
  EXPECT_EQ(field.forceX, 0.0);
  EXPECT_EQ(field.forceY, 0.0);
}

TEST(PotField, WithoutTheGoalOnlyObstaclesAct) {
  OccupancyMap map(100, 150, 2500);
  PotField field = fieldOn(map, ArPose(5000, 5000));
  field.useGoal = false;
  field.computeField(0, 0);
  EXPECT_EQ(field.potential, 1.0);
  EXPECT_EQ(field.forceX, 0.0);

  map.cellAt(0, 3) = SOLID;  // one sample at 300 mm north
  field.cacheValid = false;
  field.computeField(0, 0);
  const double q = 1.0 / 100.0;
  const double e = q - 1.0 / 2000.0;
  EXPECT_NEAR(field.potential, 1.0 + 5000.0 * e * e, 1e-9);
  EXPECT_NEAR(field.forceY, 10000.0 * e * q * q * q * -300.0, 1e-9);
  EXPECT_EQ(field.forceX, 0.0);
}

TEST(PotField, CacheServesTheSamePointUntilInvalidated) {
  OccupancyMap map(100, 150, 2500);
  PotField field = fieldOn(map, ArPose(2000, 0));
  field.computeField(0, 0);
  EXPECT_EQ(field.forceX, 2000.0);

  map.cellAt(3, 0) = SOLID;  // the map changes while the robot stands still
  field.computeField(0, 0);
  EXPECT_EQ(field.forceX, 2000.0);

  field.computeField(0.5, 0);  // any movement recomputes: the obstacle now pushes back
  const double moved = field.forceX;
  EXPECT_LT(moved, 0.0);

  field.goal = ArPose(-2000, 0);  // a goal change takes effect only with the cache cleared
  field.computeField(0.5, 0);
  EXPECT_EQ(field.forceX, moved);
  field.cacheValid = false;
  field.computeField(0.5, 0);
  EXPECT_LT(field.forceX, moved - 3000.0);
}

// A robot circling a local minimum at about the same distance stops gaining; one that
// closes in slowly, or swerves away and back, does not.
TEST(PotField, HeadwayEndsOnlyWhenTheRobotComesNoCloserForTheWindow) {
  HeadwayWatch slow;
  for (int s = 0; s <= 120; ++s) EXPECT_TRUE(slow.gaining(8000 - 20.0 * s, 1000.0 * s)) << s;  // 20 mm/s

  HeadwayWatch circling;
  for (int s = 0; s < 10; ++s) EXPECT_TRUE(circling.gaining(2700 + 80 * std::sin(s), 1000.0 * s)) << s;
  EXPECT_FALSE(circling.gaining(2650, 10000));
  circling.reset();  // a new goal
  EXPECT_TRUE(circling.gaining(2650, 10100));

  HeadwayWatch swerve;
  EXPECT_TRUE(swerve.gaining(3000, 0));
  EXPECT_TRUE(swerve.gaining(3600, 9000));   // round an obstacle
  EXPECT_TRUE(swerve.gaining(2850, 9900));   // back closer than the best by the margin
  EXPECT_TRUE(swerve.gaining(2850, 19000));
  EXPECT_FALSE(swerve.gaining(2850, 19900));
}

TEST(NormalizeAngle, FoldsIntoHalfOpenRangeRemovingWholeDegreeTurns) {
  EXPECT_EQ(normalizeAngle(0), 0);
  EXPECT_EQ(normalizeAngle(180), 180);
  EXPECT_EQ(normalizeAngle(-180), 180);
  EXPECT_EQ(normalizeAngle(180.5), -179.5);
  EXPECT_EQ(normalizeAngle(359.9), 359.9 - 360);
  EXPECT_EQ(normalizeAngle(360), 0);
  EXPECT_EQ(normalizeAngle(540), 180);
  EXPECT_EQ(normalizeAngle(719.5), 719.5 - 720);
  EXPECT_EQ(normalizeAngle(-360), 0);
  EXPECT_EQ(normalizeAngle(-360.5), -0.5);
  EXPECT_EQ(normalizeAngle(-540), 180);
  EXPECT_EQ(normalizeAngle(-719.5), -719.5 + 720);
  EXPECT_EQ(normalizeAngle(-400), -40);
  EXPECT_EQ(normalizeAngle(-360 - 180.25), 179.75);  // the "no descent" heading minus a field heading
  const double huge = normalizeAngle(1e20);
  EXPECT_GT(huge, -180);
  EXPECT_LE(huge, 180);
}

}  // namespace
