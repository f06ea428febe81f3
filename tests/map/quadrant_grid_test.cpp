#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "map/occupancy_map.h"
#include "tests/map/map_test_support.h"

namespace {

struct CellMark {
  int32_t x, y;
  uint16_t value;
};

// One cell in each quadrant, on each axis side and at the corners of the initial map.
const std::vector<CellMark> MARKS = {
    {0, 0, 1},       {0, -1, 2},      {-1, 0, 3},        {-1, -1, 4},      {5, -7, 5},
    {-7, 5, 6},      {124, 124, 7},   {-124, -124, 8},   {124, -124, 9},   {-124, 124, 10},
};

TEST(QuadrantGrid, NewMapCoversTheSquareAroundTheOrigin) {
  OccupancyMap map = builtInMap();
  EXPECT_EQ(map.res, 100);
  EXPECT_EQ(map.growStep, 125);
  EXPECT_EQ(map.rradius, 1);
  EXPECT_EQ(map.ssrange, 25);
  EXPECT_EQ(map.margin, 35);
  EXPECT_EQ(map.fillValue, CELL_UNKNOWN);
  for (int32_t e : {map.minx, map.maxx, map.miny, map.maxy}) EXPECT_EQ(e, 125);
  expectStoresMatchExtents(map);
  for (auto [x, y] : {std::pair{0, 0}, {124, 124}, {-124, -124}, {124, -124}, {-124, 124}}) {
    EXPECT_EQ(map.cellValue(x, y), CELL_UNKNOWN);
  }
  EXPECT_FALSE(map.inBounds(125, 0));
  EXPECT_FALSE(map.inBounds(-125, 0));
  EXPECT_FALSE(map.inBounds(0, -125));
  EXPECT_EQ(map.cellOrUnknown(500, 500), CELL_UNKNOWN);
  EXPECT_EQ(map.knownCells(), 0);
}

TEST(QuadrantGrid, ToCellTruncatesTowardZeroAndNeverOverflows) {
  OccupancyMap map = builtInMap();
  EXPECT_EQ(map.toCell(-50), 0);
  EXPECT_EQ(map.toCell(50), 0);
  EXPECT_EQ(map.toCell(-150), -1);
  EXPECT_EQ(map.toCell(199.9), 1);
  EXPECT_EQ(map.toCell(-200), -2);
  EXPECT_EQ(map.toCell(1e300), INT32_MAX);
  EXPECT_EQ(map.toCell(-std::numeric_limits<double>::infinity()), INT32_MIN);
  EXPECT_EQ(map.toCell(std::nan("")), 0);
}

TEST(QuadrantGrid, EachQuadrantAddressesItsOwnCells) {
  OccupancyMap map = builtInMap();
  for (const CellMark& m : MARKS) map.cellAt(m.x, m.y) = m.value;
  for (const CellMark& m : MARKS) EXPECT_EQ(map.cellValue(m.x, m.y), m.value) << m.x << "," << m.y;
  EXPECT_EQ(map.posXposY[0][0], 1);
  EXPECT_EQ(map.posXnegY[0][1], 2);
  EXPECT_EQ(map.negXposY[1][0], 3);
  EXPECT_EQ(map.negXnegY[1][1], 4);
  EXPECT_EQ(map.posXnegY[5][7], 5);
  EXPECT_EQ(map.negXposY[7][5], 6);
  EXPECT_EQ(map.knownCells(), static_cast<long>(MARKS.size()));
}

TEST(QuadrantGrid, GrowthKeepsCellsInPlace) {
  OccupancyMap map = builtInMap();
  for (const CellMark& m : MARKS) map.cellAt(m.x, m.y) = m.value;

  map.growToCover(89, 0);
  for (int32_t e : {map.minx, map.maxx, map.miny, map.maxy}) EXPECT_EQ(e, 125);

  map.growToCover(90, 0);
  EXPECT_EQ(map.maxx, 215);
  EXPECT_EQ(map.minx, 125);
  EXPECT_EQ(map.miny, 125);
  EXPECT_EQ(map.maxy, 125);

  map.growToCover(-90, -90);
  EXPECT_EQ(map.minx, 215);
  EXPECT_EQ(map.miny, 215);

  map.growToCover(90, -10);
  EXPECT_EQ(map.maxx, 215);
  EXPECT_EQ(map.miny, 215);

  map.growToCover(3, 300);
  EXPECT_EQ(map.maxy, 425);
  EXPECT_EQ(map.maxx, 215);

  expectStoresMatchExtents(map);
  for (const CellMark& m : MARKS) EXPECT_EQ(map.cellValue(m.x, m.y), m.value) << m.x << "," << m.y;
  EXPECT_EQ(map.knownCells(), static_cast<long>(MARKS.size()));
  for (auto [x, y] : {std::pair{214, 424}, {-214, -214}, {214, -214}, {-214, 424}, {125, 0}}) {
    EXPECT_EQ(map.cellValue(x, y), CELL_UNKNOWN);
  }
  // Every cell within margin of a covered one is addressable.
  map.growToCover(-400, 1000);
  EXPECT_TRUE(map.inBounds(-435, 1035));
  EXPECT_FALSE(map.inBounds(-525, 0));
}

TEST(QuadrantGrid, ClearAfterGrowthRestoresTheNewMap) {
  OccupancyMap map = builtInMap();
  map.growToCover(500, -500);
  map.cellAt(400, -400) = 0x0042;
  map.clear();
  for (int32_t e : {map.minx, map.maxx, map.miny, map.maxy}) EXPECT_EQ(e, 125);
  expectStoresMatchExtents(map);
  EXPECT_EQ(map.knownCells(), 0);
  EXPECT_EQ(map.res, 100);
  EXPECT_EQ(map.rradius, 1);
  EXPECT_EQ(map.ssrange, 25);
  EXPECT_EQ(map.margin, 35);
  for (const auto& row : map.negXnegY) {
    for (uint16_t c : row) ASSERT_EQ(c, CELL_UNKNOWN);
  }
}

TEST(QuadrantGrid, GrowToIncludeAddsCellsWithTheFillValue) {
  QuadrantGrid grid(100, 7, 1000);
  EXPECT_EQ(grid.growStep, 10);
  grid.cellAt(-3, 4) = 0x7FFF;

  grid.growToInclude(9, 0);
  EXPECT_EQ(grid.maxx, 10);
  grid.growToInclude(10, 0);
  EXPECT_EQ(grid.maxx, 20);
  EXPECT_EQ(grid.minx, 10);
  grid.growToInclude(-10, -25);
  EXPECT_EQ(grid.minx, 20);
  EXPECT_EQ(grid.miny, 35);
  EXPECT_EQ(grid.maxy, 10);
  expectStoresMatchExtents(grid);
  EXPECT_EQ(grid.cellValue(-3, 4), 0x7FFF);
  EXPECT_EQ(grid.cellValue(19, 9), 7);
  EXPECT_EQ(grid.cellValue(-19, -34), 7);

  grid.reset();
  EXPECT_EQ(grid.maxx, 10);
  EXPECT_EQ(grid.cellValue(-3, 4), 7);
}

TEST(QuadrantGrid, PlannerGridStartsWithOneCellEachWay) {
  QuadrantGrid grid(100, 1.0);
  EXPECT_EQ(grid.growStep, 1);
  EXPECT_EQ(grid.fillValue, 0);
  EXPECT_TRUE(grid.inBounds(0, 0));
  EXPECT_FALSE(grid.inBounds(1, 0));
  EXPECT_FALSE(grid.inBounds(0, -1));
  grid.growToInclude(-30, 40);
  EXPECT_EQ(grid.minx, 31);
  EXPECT_EQ(grid.maxy, 41);
  expectStoresMatchExtents(grid);
  grid.cellAt(-30, 40) = static_cast<uint16_t>(32767);
  EXPECT_EQ(static_cast<int16_t>(grid.cellValue(-30, 40)), 32767);
  EXPECT_EQ(grid.cellValue(-29, 39), 0);
}

TEST(QuadrantGrid, AdoptTakesOnlyStoresThatMatchTheirExtents) {
  QuadrantGrid grid(100, 7, 1000);
  const QuadrantGrid::Extents extents{2, 3, 4, 5};
  QuadrantGrid::Stores stores;
  stores.posXposY.assign(3, QuadrantGrid::Row(5, 1));
  stores.negXposY.assign(2, QuadrantGrid::Row(5, 2));
  stores.negXnegY.assign(2, QuadrantGrid::Row(4, 3));
  stores.posXnegY.assign(2, QuadrantGrid::Row(4, 4));  // one row short of maxx
  EXPECT_FALSE(grid.adopt(extents, stores));
  EXPECT_EQ(grid.maxx, 10);
  EXPECT_TRUE(grid.storesMatchExtents());

  stores.posXnegY.emplace_back(4, 4);
  ASSERT_TRUE(grid.adopt(extents, stores));
  EXPECT_EQ(grid.minx, 2);
  EXPECT_EQ(grid.maxy, 5);
  EXPECT_TRUE(grid.storesMatchExtents());
  EXPECT_EQ(grid.cellValue(2, 4), 1);
  EXPECT_EQ(grid.cellValue(-1, -3), 3);
  EXPECT_EQ(grid.cellValue(2, -3), 4);
  EXPECT_EQ(stores.posXposY.size(), 10u) << "the old stores are handed back";
}

}  // namespace
