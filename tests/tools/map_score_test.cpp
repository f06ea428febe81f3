#include <gtest/gtest.h>

#include "tools/lib/map_score.h"

namespace {

constexpr MapCell WALL = 254;
constexpr MapCell FREE = 0;
const std::vector<GridCell> ORIGIN = {{0, 0}};  // a robot's start cell in its own frame

// A 10 x 6 cell room (walls at x = x0 - 5 and x0 + 5, y = -3 and 3) with everything
// else free, as the simulator's ground truth is written.
void buildRoom(OccupancyMap& truth, int x0 = 0) {
  for (int x = -10; x <= 10 + x0; ++x)
    for (int y = -10; y <= 10; ++y) truth.cellAt(x, y) = FREE;
  for (int x = x0 - 5; x <= x0 + 5; ++x) truth.cellAt(x, -3) = truth.cellAt(x, 3) = WALL;
  for (int y = -3; y <= 3; ++y) truth.cellAt(x0 - 5, y) = truth.cellAt(x0 + 5, y) = WALL;
}

TEST(MapScore, CountsOnlyTheFreeCellsReachableFromTheStartCell) {
  OccupancyMap truth(100, 150, 2500);
  buildRoom(truth);
  OccupancyMap agent(100, 150, 2500);
  MapScore s = scoreMap(agent, truth, ORIGIN);
  EXPECT_EQ(s.reachableFree, 9 * 5) << "inside the walls only";
  EXPECT_EQ(s.coveredFree, 0);
  EXPECT_EQ(s.trueWalls, 2 * 11 + 2 * 5);
  EXPECT_EQ(s.agentObstacles, 0);
  EXPECT_DOUBLE_EQ(s.accuracy(), 0.0);

  for (int x = -4; x <= 4; ++x) agent.cellAt(x, 0) = FREE;
  s = scoreMap(agent, truth, ORIGIN);
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
  MapScore s = scoreMap(agent, truth, ORIGIN);
  EXPECT_EQ(s.agentObstacles, 2);
  EXPECT_EQ(s.nearWall, 1);
  EXPECT_EQ(s.wallsReadFree, 1);
  EXPECT_DOUBLE_EQ(s.falseFree(), 1.0 / 32.0);
  EXPECT_EQ(s.wallGaps, 0) << "the wall at (5, 0) is held one cell inside, at (4, 0)";
  EXPECT_EQ(s.coveredTolerant - s.coveredFree, 1) << "(4, 0) beside the wall counts, (0, 0) in the middle does not";
  EXPECT_EQ(s.freeReadOccupied, 2) << "both obstacles stand on free cells; (1, 1) and the unknown (2, 2) do not count";
  EXPECT_DOUBLE_EQ(s.falseOccupied(), 2.0 / 45.0);

  agent.cellAt(-5, 1) = FREE;  // a wall read free with its free neighbour (-4, 1) unknown
  agent.cellAt(0, 3) = FREE;   // and one whose free neighbour (0, 2) is below the threshold
  agent.cellAt(0, 2) = 63;
  s = scoreMap(agent, truth, ORIGIN);
  EXPECT_EQ(s.wallsReadFree, 3);
  EXPECT_EQ(s.wallGaps, 2);
  EXPECT_DOUBLE_EQ(s.gaps(), 2.0 / 32.0);
}

TEST(MapScore, ObstacleCellsAreBinnedByChebyshevDistanceToTheNearestWall) {
  OccupancyMap truth(100, 150, 2500);
  for (int y = -20; y <= 20; ++y) truth.cellAt(0, y) = WALL;  // one wall along y at x = 0
  truth.cellAt(-30, 30) = WALL;                                // and a lone wall cell
  OccupancyMap agent(100, 150, 2500);
  struct Obstacle {
    int x, y, bin;
  };
  const Obstacle obstacles[] = {
      {0, 5, 0},     {1, 20, 1},    {-2, 21, 2},  // beyond the wall's end: diagonal steps count one
      {3, -23, 3},   {4, 0, 4},     {5, 3, 5},   {-6, 0, 5},
      {7, 0, 6},     {50, 0, 6},    // far beyond the truth's extent
      {-28, 32, 2},  {-33, 27, 3},  // near the lone cell, not the long wall
      {-140, 0, 6},  // outside the truth map altogether
  };
  for (const Obstacle& o : obstacles) {
    agent.growToCover(o.x, o.y);
    agent.cellAt(o.x, o.y) = 200;
  }
  const MapScore s = scoreMap(agent, truth, ORIGIN);
  WallDistances expected;
  for (const Obstacle& o : obstacles) ++expected.cells[static_cast<size_t>(o.bin)];
  EXPECT_EQ(s.distances.cells, expected.cells);
  EXPECT_EQ(s.agentObstacles, 12);
  EXPECT_EQ(s.nearWall, 2) << "accuracy counts distances 0 and 1";
  EXPECT_EQ(s.distances.within(2), 4);
  EXPECT_EQ(s.distances.phantoms(), 5);
}

TEST(MapScore, CoverageSeedsFollowTheFrameOfTheTruth) {
  OccupancyMap agent(100, 150, 2500);
  agent.cellAt(40, 1) = CELL_FOOTPRINT;
  agent.cellAt(41, 1) = CELL_FOOTPRINT | CELL_OWN_FOOTPRINT;
  agent.cellAt(60, 0) = CELL_FOOTPRINT | CELL_UNKNOWN;  // not observed: no seed
  agent.cellAt(45, 3) = CELL_FOOTPRINT | 200;           // on the truth's wall: no seed

  // In a robot's own frame its start cell, (0, 0), is free: the flood starts there.
  OccupancyMap own(100, 150, 2500);
  buildRoom(own);
  CoverageSeeds seeds = chooseSeeds(agent, own, {});
  EXPECT_EQ(seeds.source, SeedSource::Origin);
  EXPECT_EQ(seeds.cells, (std::vector<GridCell>{{0, 0}}));

  // In the world frame the origin is the building's corner, a wall: the robots' footprints
  // seed the flood, and --start points replace every other seed.
  OccupancyMap world(100, 150, 2500);
  buildRoom(world, 40);
  world.cellAt(0, 0) = WALL;
  seeds = chooseSeeds(agent, world, {});
  EXPECT_EQ(seeds.source, SeedSource::Footprints);
  EXPECT_EQ(seeds.cells, (std::vector<GridCell>{{40, 1}, {41, 1}}));
  EXPECT_EQ(scoreMap(agent, world, seeds.cells).reachableFree, 9 * 5);
  EXPECT_EQ(scoreMap(agent, world, ORIGIN).reachableFree, 0) << "the flood from a wall reaches nothing";

  seeds = chooseSeeds(agent, world, {{-8, -8}});
  EXPECT_EQ(seeds.source, SeedSource::Starts);
  EXPECT_GT(scoreMap(agent, world, seeds.cells).reachableFree, 9 * 5) << "the free space around the room";

  OccupancyMap noFootprints(100, 150, 2500);
  EXPECT_EQ(chooseSeeds(noFootprints, world, {}).source, SeedSource::None);
}

}  // namespace
