#include <gtest/gtest.h>

#include "tools/lib/map_score.h"

namespace {

constexpr MapCell WALL = 254;
constexpr MapCell FREE = 0;

// A 10 x 6 cell room (walls at x = -5 and 5, y = -3 and 3) with everything else free,
// as the simulator's ground truth is written.
void buildRoom(OccupancyMap& truth) {
  for (int x = -10; x <= 10; ++x)
    for (int y = -10; y <= 10; ++y) truth.cellAt(x, y) = FREE;
  for (int x = -5; x <= 5; ++x) truth.cellAt(x, -3) = truth.cellAt(x, 3) = WALL;
  for (int y = -3; y <= 3; ++y) truth.cellAt(-5, y) = truth.cellAt(5, y) = WALL;
}

TEST(MapScore, CountsOnlyTheFreeCellsReachableFromTheStartCell) {
  OccupancyMap truth(100, 150, 2500);
  buildRoom(truth);
  OccupancyMap agent(100, 150, 2500);
  MapScore s = scoreMap(agent, truth);
  EXPECT_EQ(s.reachableFree, 9 * 5) << "inside the walls only";
  EXPECT_EQ(s.coveredFree, 0);
  EXPECT_EQ(s.trueWalls, 2 * 11 + 2 * 5);
  EXPECT_EQ(s.agentObstacles, 0);
  EXPECT_DOUBLE_EQ(s.accuracy(), 0.0);

  for (int x = -4; x <= 4; ++x) agent.cellAt(x, 0) = FREE;
  s = scoreMap(agent, truth);
  EXPECT_EQ(s.coveredFree, 9);
  EXPECT_DOUBLE_EQ(s.coverage(), 9.0 / 45.0);
}

TEST(MapScore, ObstaclesNearWallsAreAccurateAndFreedWallsAreFalseFree) {
  OccupancyMap truth(100, 150, 2500);
  buildRoom(truth);
  OccupancyMap agent(100, 150, 2500);
  agent.cellAt(4, 0) = 200;      // one cell inside the wall at x = 5: accurate
  agent.cellAt(0, 0) = 200;      // the middle of the room: not accurate
  agent.cellAt(1, 1) = 63;       // below the obstacle threshold: not an obstacle
  agent.cellAt(2, 2) = CELL_UNKNOWN | 200;  // unknown: not an obstacle
  agent.cellAt(5, 0) = FREE;     // a wall read as free
  MapScore s = scoreMap(agent, truth);
  EXPECT_EQ(s.agentObstacles, 2);
  EXPECT_EQ(s.nearWall, 1);
  EXPECT_EQ(s.wallsReadFree, 1);
  EXPECT_DOUBLE_EQ(s.falseFree(), 1.0 / 32.0);
}

}  // namespace
