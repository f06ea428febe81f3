#pragma once
// Helpers shared by the map tests: the agent's built-in map and whole-map comparison.
#include <gtest/gtest.h>

#include "map/occupancy_map.h"

// The maps the agent builds: 100 mm cells, 150 mm robot radius, 2500 mm corridor reach.
inline OccupancyMap builtInMap() { return OccupancyMap(100, 150, 2500); }

// Copies every parameter and cell (the mutex is not copyable).
inline void copyMap(const OccupancyMap& from, OccupancyMap& to) {
  to.res = from.res;
  to.growStep = from.growStep;
  to.fillValue = from.fillValue;
  to.minx = from.minx;
  to.maxx = from.maxx;
  to.miny = from.miny;
  to.maxy = from.maxy;
  to.rradius = from.rradius;
  to.ssrange = from.ssrange;
  to.margin = from.margin;
  to.posXposY = from.posXposY;
  to.negXposY = from.negXposY;
  to.negXnegY = from.negXnegY;
  to.posXnegY = from.posXnegY;
}

// The four stores have exactly the sizes the extents require.
inline void expectStoresMatchExtents(const QuadrantGrid& g) {
  auto check = [](const QuadrantGrid::Store& s, int32_t rows, int32_t cells) {
    ASSERT_EQ(s.size(), static_cast<size_t>(rows));
    for (const QuadrantGrid::Row& r : s) ASSERT_EQ(r.size(), static_cast<size_t>(cells));
  };
  check(g.posXposY, g.maxx, g.maxy);
  check(g.negXposY, g.minx, g.maxy);
  check(g.negXnegY, g.minx, g.miny);
  check(g.posXnegY, g.maxx, g.miny);
}

// Every parameter and every stored cell, addressable or not.
inline void expectSameMap(const OccupancyMap& a, const OccupancyMap& b) {
  EXPECT_EQ(a.res, b.res);
  EXPECT_EQ(a.growStep, b.growStep);
  EXPECT_EQ(a.fillValue, b.fillValue);
  EXPECT_EQ(a.minx, b.minx);
  EXPECT_EQ(a.maxx, b.maxx);
  EXPECT_EQ(a.miny, b.miny);
  EXPECT_EQ(a.maxy, b.maxy);
  EXPECT_EQ(a.rradius, b.rradius);
  EXPECT_EQ(a.ssrange, b.ssrange);
  EXPECT_EQ(a.margin, b.margin);
  EXPECT_TRUE(a.posXposY == b.posXposY);
  EXPECT_TRUE(a.negXposY == b.negXposY);
  EXPECT_TRUE(a.negXnegY == b.negXnegY);
  EXPECT_TRUE(a.posXnegY == b.posXnegY);
}
