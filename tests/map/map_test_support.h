#pragma once
// Helpers shared by the map tests: the agent's built-in map and whole-map checks.
#include <gtest/gtest.h>

#include "map/occupancy_map.h"
#include "tests/map/map_copy.h"

// The maps the agent builds: 100 mm cells, 150 mm robot radius, 2500 mm corridor reach.
inline OccupancyMap builtInMap() { return OccupancyMap(100, 150, 2500); }

inline void expectStoresMatchExtents(const QuadrantGrid& g) { EXPECT_TRUE(storesMatchExtents(g)); }

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
