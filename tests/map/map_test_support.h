#pragma once
// Helpers shared by the map tests: the agent's built-in map and whole-map checks.
#include <gtest/gtest.h>

#include "map/occupancy_map.h"
#include "tests/support/map_copy.h"

// The maps the agent builds: 100 mm cells, 150 mm robot radius, 2500 mm corridor reach.
inline OccupancyMap builtInMap() { return OccupancyMap(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM); }

inline void expectStoresMatchExtents(const QuadrantGrid& g) { EXPECT_TRUE(g.storesMatchExtents()); }

// Parameters one by one, for readable failures, then every stored cell.
inline void expectSameMap(const OccupancyMap& a, const OccupancyMap& b) {
  EXPECT_EQ(a.res, b.res);
  EXPECT_EQ(a.growStep, b.growStep);
  EXPECT_EQ(a.minx, b.minx);
  EXPECT_EQ(a.maxx, b.maxx);
  EXPECT_EQ(a.miny, b.miny);
  EXPECT_EQ(a.maxy, b.maxy);
  EXPECT_EQ(a.rradius, b.rradius);
  EXPECT_EQ(a.ssrange, b.ssrange);
  EXPECT_EQ(a.margin, b.margin);
  EXPECT_TRUE(sameMap(a, b));
}
