#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "map/map_cell.h"
#include "map/occupancy_map.h"
#include "nav/plan/flood_path.h"

namespace {

constexpr MapCell SOLID = 0x00FF;

int wave(const FloodPath& fp, int32_t x, int32_t y) { return static_cast<int16_t>(fp.floodGrid.cellValue(x, y)); }

// The flood as the algorithm is written: points in mm in lists, whole waves at a time,
// the obstacle square by its four point families. The planner must give the same grid.
void markObstacleLiterally(FloodPath& fp, double x, double y) {
  QuadrantGrid& g = fp.floodGrid;
  auto set = [&](double px, double py) {
    if (fp.containsPoint(px, py)) g.cellAt(g.toCell(px), g.toCell(py)) = FLOOD_OBSTACLE;
  };
  set(x, y);
  const int n = static_cast<int>(fp.robotRadius / g.res);
  if (n == 0) return;
  for (int i = 0; i <= n; ++i) {
    for (int j = 0; j <= n; ++j) {
      set(x + i * g.res, y + j * g.res);
      set(x + i * g.res, y - j * g.res);
      set(x - i * g.res, y + j * g.res);
      set(x - i * g.res, y - j * g.res);
    }
  }
}

void floodLiterally(FloodPath& fp) {
  QuadrantGrid& g = fp.floodGrid;
  const double res = g.res;
  g.reset();
  for (OccupancyMap* map : fp.maps) {
    g.growToInclude(static_cast<int32_t>(-map->minx * map->res / res), static_cast<int32_t>(-map->miny * map->res / res));
    g.growToInclude(static_cast<int32_t>(map->maxx * map->res / res), static_cast<int32_t>(map->maxy * map->res / res));
    const double step = map->res;
    const double xlo = -g.minx * res, xhi = g.maxx * res, ylo = -g.miny * res, yhi = g.maxy * res;
    for (double cx = xlo + step; cx < xhi; cx += step) {
      for (double cy = ylo + step; cy < yhi; cy += step) {
        const MapCell c = map->cellOrUnknown(map->toCell(cx), map->toCell(cy));
        if ((c & CELL_UNKNOWN) == 0 && (c & CELL_OCCUPANCY) >= 64) markObstacleLiterally(fp, cx, cy);
      }
    }
  }
  const double gx = res * std::trunc(fp.goal.getX() / res);
  const double gy = res * std::trunc(fp.goal.getY() / res);
  g.growToInclude(g.toCell(gx), g.toCell(gy));
  g.cellAt(g.toCell(gx), g.toCell(gy)) = 1;
  using Point = std::pair<double, double>;
  auto cell = [&](const Point& p) -> uint16_t& { return g.cellAt(g.toCell(p.first), g.toCell(p.second)); };
  std::vector<Point> current, next;
  auto appendFree = [&](const Point& p) {
    if (fp.containsPoint(p.first, p.second) && cell(p) == 0) next.push_back(p);
  };
  for (const Point& p : {Point{gx - res, gy}, Point{gx + res, gy}, Point{gx, gy - res}, Point{gx, gy + res}}) appendFree(p);
  int value = 2;
  do {
    current.swap(next);
    next.clear();
    for (const Point& p : current) {
      if (cell(p) != 0) continue;
      cell(p) = static_cast<uint16_t>(value);
      for (const Point& q : {Point{p.first - res, p.second}, Point{p.first + res, p.second},
                             Point{p.first, p.second - res}, Point{p.first, p.second + res}}) {
        appendFree(q);
      }
    }
    ++value;
    current.clear();
  } while (!next.empty());
}

void expectSameGrid(const QuadrantGrid& a, const QuadrantGrid& b) {
  ASSERT_EQ(a.minx, b.minx);
  ASSERT_EQ(a.maxx, b.maxx);
  ASSERT_EQ(a.miny, b.miny);
  ASSERT_EQ(a.maxy, b.maxy);
  int differing = 0;
  for (int32_t x = 1 - a.minx; x < a.maxx; ++x) {
    for (int32_t y = 1 - a.miny; y < a.maxy; ++y) differing += a.cellValue(x, y) != b.cellValue(x, y);
  }
  EXPECT_EQ(differing, 0);
}

TEST(FloodPath, OpenSpaceWavesCountStepsAndDescentPrefersDiagonals) {
  OccupancyMap map(100, 150, 2500);
  FloodPath fp(ArPose(0, 0), 100, 200, &map);
  EXPECT_EQ(fp.slowDownSteps, 8);
  // The grid covers the map (cells -124..124) with one cell to spare.
  EXPECT_EQ(fp.floodGrid.minx, 126);
  EXPECT_EQ(fp.floodGrid.maxy, 126);
  for (int32_t x : {-125, -7, 0, 3, 125}) {
    for (int32_t y : {-125, -1, 0, 9, 125}) EXPECT_EQ(wave(fp, x, y), 1 + std::abs(x) + std::abs(y)) << x << "," << y;
  }
  EXPECT_EQ(fp.pathHeading(550, 50), 180.0);     // straight toward the goal row
  EXPECT_EQ(fp.pathHeading(50, -750), 90.0);
  EXPECT_EQ(fp.pathHeading(550, 550), -135.0);   // the diagonal is lower by 2, the sides by 1
  EXPECT_EQ(fp.pathHeading(-550, -550), 45.0);
  EXPECT_EQ(fp.pathHeading(50, 50), FLOOD_NO_DESCENT);  // on the goal cell
}

TEST(FloodPath, CorridorAroundAWallIsFollowedCellByCell) {
  OccupancyMap map(100, 150, 2500);
  for (int32_t y = -20; y <= 20; ++y) map.cellAt(10, y) = SOLID;  // a wall east of the goal
  FloodPath fp(ArPose(0, 0), 100, 200, &map);
  // Grown by two cells: columns 8..12 are obstacles from y = -22 to 22.
  EXPECT_EQ(wave(fp, 8, 0), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, 12, 22), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, 7, 0), 8);
  EXPECT_EQ(wave(fp, 13, 0), 1 + 13 + 23 + 23);  // around the end of the wall
  EXPECT_EQ(wave(fp, 13, 23), 1 + 13 + 23);
  // Behind the wall the descent runs north along the wall toward its end.
  EXPECT_EQ(fp.pathHeading(1350, 50), 90.0);
  EXPECT_EQ(fp.pathSpeed(1350, 50), 1.0);
  EXPECT_EQ(fp.pathSpeed(1050, 50), 0.1);  // on the grown wall
  EXPECT_EQ(fp.pathSpeed(750, 50), 0.25);  // within 8 waves of the goal
  EXPECT_EQ(fp.pathSpeed(850, 50), 0.1);
  EXPECT_EQ(fp.pathSpeed(1e6, 0), 0.0);    // outside the grid
  EXPECT_EQ(fp.pathHeading(1e6, 0), FLOOD_NO_DESCENT);
  EXPECT_EQ(fp.pathHeading(-12650, 0), FLOOD_NO_DESCENT);  // just beyond the edge
}

TEST(FloodPath, TiesGoToTheEarlierNeighbourAndUnreachedCellsAreLowest) {
  OccupancyMap map(100, 150, 2500);
  FloodPath fp(ArPose(0, 0), 100, 200, &map);
  QuadrantGrid& g = fp.floodGrid;
  for (int32_t x = 19; x <= 21; ++x) {
    for (int32_t y = 19; y <= 21; ++y) g.cellAt(x, y) = 50;
  }
  g.cellAt(20, 21) = 40;  // north
  g.cellAt(19, 20) = 40;  // west, equal: north comes first
  EXPECT_EQ(fp.pathHeading(2050, 2050), 90.0);
  g.cellAt(20, 19) = 30;  // south
  g.cellAt(21, 19) = 30;  // south-east, equal: south comes first
  EXPECT_EQ(fp.pathHeading(2050, 2050), -90.0);
  g.cellAt(21, 21) = 0;   // unreached beats every wave number
  EXPECT_EQ(fp.pathHeading(2050, 2050), 45.0);
  EXPECT_EQ(fp.pathSpeed(2150, 2150), 0.25);
  g.cellAt(20, 20) = 0;   // standing on an unreached cell nothing is lower
  EXPECT_EQ(fp.pathHeading(2050, 2050), FLOOD_NO_DESCENT);
}

TEST(FloodPath, CellReachableOnlyDiagonallyStaysUnreachedAndDrawsTheDescent) {
  OccupancyMap map(100, 150, 2500);
  for (auto [x, y] : {std::pair{4, 5}, {6, 5}, {5, 4}, {5, 6}}) map.cellAt(x, y) = SOLID;
  FloodPath fp(ArPose(0, 0), 100, 50, &map);  // a radius below one cell: no growth
  EXPECT_EQ(wave(fp, 5, 4), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, 5, 5), 0);
  EXPECT_EQ(wave(fp, 4, 4), 9);
  EXPECT_EQ(fp.pathHeading(450, 450), 45.0);
}

TEST(FloodPath, ObstacleSquareIsClippedAtTheGridEdge) {
  OccupancyMap map(100, 150, 2500);
  map.cellAt(124, 124) = SOLID;
  map.cellAt(-124, 0) = SOLID;
  FloodPath fp(ArPose(0, 0), 100, 200, &map);
  EXPECT_EQ(fp.floodGrid.maxx, 126);  // marking never grows the grid
  EXPECT_EQ(fp.floodGrid.maxy, 126);
  for (int32_t x = 122; x <= 125; ++x) {
    for (int32_t y = 122; y <= 125; ++y) EXPECT_EQ(wave(fp, x, y), FLOOD_OBSTACLE);
  }
  EXPECT_EQ(wave(fp, 121, 125), 1 + 121 + 125);
  for (int32_t x = -125; x <= -122; ++x) EXPECT_EQ(wave(fp, x, 2), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, -125, 3), 1 + 125 + 3);

  // Marking a point by hand near the edge clips the same way.
  fp.markObstacle(12550, -12550);
  EXPECT_EQ(wave(fp, 125, -125), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, 123, -123), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, 122, -125), 1 + 122 + 125);
  fp.markObstacle(13000, 0);  // outside: nothing happens
  EXPECT_EQ(wave(fp, 125, 0), 126);
}

TEST(FloodPath, GoalIsSnappedTowardZero) {
  OccupancyMap map(100, 150, 2500);
  FloodPath fp(ArPose(-150, 250), 100, 200, &map);
  EXPECT_EQ(wave(fp, -1, 2), 1);
  EXPECT_EQ(wave(fp, -3, 2), 3);
  EXPECT_EQ(wave(fp, 0, 0), 4);
  // (50, 50) floods from the cell of (0, 0): its neighbour (-1, 0) is one step away,
  // although (50 - 100) would fall into the goal cell itself.
  fp.goal = ArPose(50, 50);
  fp.computeFlood();
  EXPECT_EQ(wave(fp, 0, 0), 1);
  EXPECT_EQ(wave(fp, -1, 0), 2);
  EXPECT_EQ(wave(fp, -2, -1), 4);

  // A goal inside an obstacle still gets 1, and its free neighbours flood from it.
  map.cellAt(20, 0) = SOLID;
  fp.goal = ArPose(2050, 0);
  fp.computeFlood();
  EXPECT_EQ(wave(fp, 20, 0), 1);
  EXPECT_EQ(wave(fp, 21, 0), FLOOD_OBSTACLE);
  EXPECT_EQ(wave(fp, 17, 0), 0);  // the square seals the goal in: nothing is reached
  EXPECT_EQ(fp.pathHeading(1750, 50), FLOOD_NO_DESCENT);

  // A goal beyond the map grows the grid to include it.
  map.cellAt(20, 0) = 0;
  fp.goal = ArPose(20000, -100);
  fp.computeFlood();
  EXPECT_EQ(fp.floodGrid.maxx, 201);
  EXPECT_EQ(wave(fp, 200, -1), 1);
  EXPECT_EQ(wave(fp, 0, 0), 202);

  // A goal no observation could lie at would grow the grid without bound: the plan keeps
  // no goal and nothing is reached.
  fp.goal = ArPose(1e12, 0);
  fp.computeFlood();
  EXPECT_EQ(fp.floodGrid.maxx, 126);
  EXPECT_EQ(wave(fp, 0, 0), 0);
  EXPECT_EQ(fp.pathHeading(50, 50), FLOOD_NO_DESCENT);
}

TEST(FloodPath, MatchesTheWaveByWaveListAlgorithmOnRandomMaps) {
  std::mt19937 rng(20240607);
  for (int round = 0; round < 12; ++round) {
    const double mapRes = round % 4 == 3 ? 50.0 : 100.0;
    OccupancyMap map(mapRes, 150, 2500);
    std::uniform_int_distribution<int32_t> reach(-200, 200);
    map.growToCover(reach(rng), reach(rng));
    map.growToCover(reach(rng), reach(rng));
    std::uniform_int_distribution<int32_t> pickX(1 - map.minx, map.maxx - 1), pickY(1 - map.miny, map.maxy - 1);
    std::uniform_int_distribution<int> pickValue(0, 255);
    const int cells = 300 + 300 * round;
    for (int i = 0; i < cells; ++i) {
      const int v = pickValue(rng);
      map.cellAt(pickX(rng), pickY(rng)) = static_cast<MapCell>(v < 40 ? v | CELL_UNKNOWN : v);
    }
    std::uniform_real_distribution<double> goalCoord(-15000, 15000);
    const double radius = (round % 3 == 0) ? 200.0 : (round % 3 == 1 ? 100.0 : 0.0);
    const ArPose goal(goalCoord(rng), goalCoord(rng));
    FloodPath planned(goal, 100, radius, &map);
    FloodPath reference(goal, 100, radius, &map);
    floodLiterally(reference);
    SCOPED_TRACE(round);
    expectSameGrid(planned.floodGrid, reference.floodGrid);

    // Recomputing into the same planner (reused buffers) gives the same grid again.
    planned.computeFlood();
    expectSameGrid(planned.floodGrid, reference.floodGrid);
  }
}

// A walled serpentine of single-cell corridors, about 180 000 steps long: the far end
// stays unreached instead of wave numbers wrapping past FLOOD_OBSTACLE.
TEST(FloodPath, WavesStopBeforeTheObstacleValue) {
  OccupancyMap map(100, 150, 2500);
  map.growToCover(310, 310);
  map.growToCover(-310, -310);
  for (int32_t i = -301; i <= 301; ++i) {
    map.cellAt(i, -301) = map.cellAt(i, 301) = map.cellAt(-301, i) = map.cellAt(301, i) = SOLID;
  }
  for (int32_t x = -299; x <= 299; x += 2) {
    const int32_t gap = (x / 2) % 2 == 0 ? 300 : -300;
    for (int32_t y = -300; y <= 300; ++y) {
      if (y != gap) map.cellAt(x, y) = SOLID;
    }
  }
  FloodPath fp(ArPose(-30000, 0), 100, 0, &map);
  int highest = 0;
  long obstacleValuesOffTheWalls = 0;
  const QuadrantGrid& g = fp.floodGrid;
  for (int32_t x = 1 - g.minx; x < g.maxx; ++x) {
    for (int32_t y = 1 - g.miny; y < g.maxy; ++y) {
      const int v = wave(fp, x, y);
      ASSERT_GE(v, 0);
      if (v != FLOOD_OBSTACLE) highest = std::max(highest, v);
      // With no robot radius only the walls hold the obstacle value: the wave after the
      // last one must not reach it.
      if (v == FLOOD_OBSTACLE && map.cellOrUnknown(x, y) != SOLID) ++obstacleValuesOffTheWalls;
    }
  }
  EXPECT_EQ(obstacleValuesOffTheWalls, 0);
  EXPECT_EQ(highest, FLOOD_LAST_WAVE);
  EXPECT_EQ(wave(fp, -300, 0), 1);
  EXPECT_EQ(wave(fp, -298, 0), 1 + 300 + 2 + 300);
  EXPECT_EQ(wave(fp, 300, 0), 0);
}

}  // namespace
