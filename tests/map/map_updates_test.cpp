#include <cmath>
#include <limits>
#include <map>
#include <utility>

#include "map/map_updates.h"
#include "tests/map/map_test_support.h"

namespace {

using Cell = std::pair<int32_t, int32_t>;
using CellValues = std::map<Cell, uint16_t>;

// Every addressable cell that is no longer unknown, with its value.
CellValues knownCellValues(const OccupancyMap& map) {
  CellValues known;
  for (int32_t x = -map.minx + 1; x < map.maxx; ++x) {
    for (int32_t y = -map.miny + 1; y < map.maxy; ++y) {
      if ((map.cellValue(x, y) & CELL_UNKNOWN) == 0) known[{x, y}] = map.cellValue(x, y);
    }
  }
  return known;
}

// The own-stamped 3 x 3 square around (cx, cy).
CellValues ownSquare(int32_t cx, int32_t cy) {
  CellValues square;
  for (int32_t x = cx - 1; x <= cx + 1; ++x) {
    for (int32_t y = cy - 1; y <= cy + 1; ++y) square[{x, y}] = 0x6000;
  }
  return square;
}

TEST(MapTransforms, HitsSaturateBelowFullAndFreeObservationsQuarter) {
  MapCell c = 0x8000;
  for (unsigned expected : {127u, 191u, 223u, 239u, 247u, 251u, 253u, 254u, 254u}) {
    c = applyHit(c);
    EXPECT_EQ(c, expected);
  }
  EXPECT_EQ(applyHit(0x00FF), 0x00FF);
  EXPECT_EQ(applyHit(0x5FFE), 0x5FFE);
  for (unsigned expected : {63u, 15u, 3u, 0u}) {
    c = applyFree(c);
    EXPECT_EQ(c, expected);
  }
  EXPECT_EQ(applyFree(0x40BF), 0x402F);
  EXPECT_EQ(applyFree(0x9F40), 0x1F10);
}

TEST(MapTransforms, StampsMarkFootprintsAndKeepReservedBits) {
  EXPECT_EQ(applyOwnStamp(0x8000), 0x6000);
  EXPECT_EQ(applyOwnStamp(0x00BF), 0x602F);
  EXPECT_EQ(applyOwnStamp(0x9F08), 0x7F02);
  EXPECT_EQ(applyPeerStamp(0x20BF), 0x602F);
  EXPECT_EQ(applyPeerStamp(0x80FF), 0x403F);
  EXPECT_EQ(applyPeerStamp(0x9F08), 0x5F02);
}

TEST(MapUpdates, HitChangesOnlyTheHitCell) {
  OccupancyMap map = builtInMap();
  EXPECT_TRUE(markHit(map, ArPose(250, -30)));
  EXPECT_EQ(knownCellValues(map), (CellValues{{{2, 0}, 0x007F}}));
  EXPECT_TRUE(markHit(map, ArPose(250, -30)));
  EXPECT_EQ(knownCellValues(map), (CellValues{{{2, 0}, 0x00BF}}));
}

TEST(MapUpdates, ReadingStampsTheRobotFreesTheRayAndHitsTheEnd) {
  OccupancyMap map = builtInMap();
  EXPECT_TRUE(markReading(map, ArPose(1000, 0), ArPose(0, 0, 45)));
  CellValues expected = ownSquare(0, 0);
  for (int32_t x = 2; x <= 9; ++x) expected[{x, 0}] = 0x0000;
  expected[{10, 0}] = 0x007F;
  EXPECT_EQ(knownCellValues(map), expected);
}

TEST(MapUpdates, HitInsideTheFootprintIsStampedThenHit) {
  OccupancyMap map = builtInMap();
  map.cellAt(1, 1) = 0x00FE;
  EXPECT_TRUE(markReading(map, ArPose(150, 150), ArPose(0, 0)));
  // 254 / 4 = 63 by the stamp, then halfway toward 255.
  EXPECT_EQ(map.cellValue(1, 1), 0x6000 | (63 + (255 - 63) / 2));
}

TEST(MapUpdates, ReadingFarOutsideGrowsTheMapAroundBothEnds) {
  OccupancyMap map = builtInMap();
  EXPECT_TRUE(markReading(map, ArPose(-30000, 25000), ArPose(-26000, 20000)));
  EXPECT_EQ(map.minx, 300 + 125);
  EXPECT_EQ(map.maxy, 250 + 125);
  EXPECT_EQ(map.cellValue(-300, 250), 0x007F);
  EXPECT_EQ(map.cellValue(-260, 200), 0x6000);
  expectStoresMatchExtents(map);
}

TEST(MapUpdates, ClearRayFreesOnlyTheCellsStrictlyBetweenTheEnds) {
  struct Case {
    Cell from, to;
    CellValues freed;
  };
  const Case cases[] = {
      {{0, 0}, {3, 1}, {{{1, 0}, 0}, {{2, 1}, 0}}},
      {{0, 0}, {2, 2}, {{{1, 1}, 0}}},
      {{0, 0}, {0, -3}, {{{0, -1}, 0}, {{0, -2}, 0}}},
      {{4, 4}, {4, 4}, {}},
      {{0, 0}, {1, 0}, {}},
      {{5, 2}, {-1, 0}, {{{4, 2}, 0}, {{3, 1}, 0}, {{2, 1}, 0}, {{1, 1}, 0}, {{0, 0}, 0}}},
      {{-3, -3}, {-4, 2}, {{{-3, -2}, 0}, {{-3, -1}, 0}, {{-4, 0}, 0}, {{-4, 1}, 0}}},
  };
  for (const Case& c : cases) {
    OccupancyMap map = builtInMap();
    clearRay(map, c.from.first, c.from.second, c.to.first, c.to.second);
    EXPECT_EQ(knownCellValues(map), c.freed) << c.from.first << "," << c.from.second << " -> " << c.to.first
                                              << "," << c.to.second;
  }
}

TEST(MapUpdates, CorridorFillBridgesTheGapToAnOlderTrack) {
  OccupancyMap map = builtInMap();
  EXPECT_TRUE(markPose(map, ArPose(-1000, 0)));
  EXPECT_TRUE(markPose(map, ArPose(0, 0)));
  CellValues expected = ownSquare(-10, 0);
  expected.merge(ownSquare(0, 0));
  for (int32_t x = -8; x <= -2; ++x) expected[{x, 0}] = 0x0000;
  EXPECT_EQ(knownCellValues(map), expected);
}

TEST(MapUpdates, CorridorFillStopsAtOccupiedCellsAndBeyondItsReach) {
  OccupancyMap blocked = builtInMap();
  markPose(blocked, ArPose(-1000, 0));
  blocked.cellAt(-5, 0) = 0x0001;
  markPose(blocked, ArPose(0, 0));
  CellValues expected = ownSquare(-10, 0);
  expected.merge(ownSquare(0, 0));
  expected[{-5, 0}] = 0x0001;
  EXPECT_EQ(knownCellValues(blocked), expected);

  OccupancyMap far = builtInMap();
  markPose(far, ArPose(-3000, 0));
  markPose(far, ArPose(0, 0));
  CellValues farExpected = ownSquare(-30, 0);
  farExpected.merge(ownSquare(0, 0));
  EXPECT_EQ(knownCellValues(far), farExpected);
}

TEST(MapUpdates, CorridorScanSkipsTheAdjacentFootprint) {
  OccupancyMap map = builtInMap();
  markPose(map, ArPose(0, 0));
  markPose(map, ArPose(0, 100));
  CellValues expected = ownSquare(0, 0);
  expected.merge(ownSquare(0, 1));
  EXPECT_EQ(knownCellValues(map), expected);

  // An older track further out along the column is reached past the adjacent run.
  map.cellAt(0, -14) = CELL_FOOTPRINT;
  markPose(map, ArPose(0, 200));
  expected.merge(ownSquare(0, 2));
  expected[{0, -14}] = CELL_FOOTPRINT;
  for (int32_t y = -13; y <= -2; ++y) expected[{0, y}] = 0x0000;
  EXPECT_EQ(knownCellValues(map), expected);
}

TEST(MapUpdates, OwnAndPeerStampsOnOnePlaceLeaveBothFootprintBits) {
  OccupancyMap peerFirst = builtInMap();
  EXPECT_TRUE(markPeerPose(peerFirst, ArPose(500, -500)));
  EXPECT_EQ(peerFirst.cellValue(5, -5), CELL_FOOTPRINT);
  EXPECT_TRUE(markPose(peerFirst, ArPose(500, -500)));

  OccupancyMap ownFirst = builtInMap();
  EXPECT_TRUE(markPose(ownFirst, ArPose(500, -500)));
  EXPECT_TRUE(markPeerPose(ownFirst, ArPose(500, -500)));

  EXPECT_EQ(knownCellValues(peerFirst), ownSquare(5, -5));
  EXPECT_EQ(knownCellValues(ownFirst), ownSquare(5, -5));
}

TEST(MapUpdates, PeerReadingStampsAPeerFootprint) {
  OccupancyMap map = builtInMap();
  EXPECT_TRUE(markPeerReading(map, ArPose(0, -400), ArPose(0, 0)));
  CellValues expected;
  for (int32_t x = -1; x <= 1; ++x) {
    for (int32_t y = -1; y <= 1; ++y) expected[{x, y}] = CELL_FOOTPRINT;
  }
  expected[{0, -2}] = 0x0000;
  expected[{0, -3}] = 0x0000;
  expected[{0, -4}] = 0x007F;
  EXPECT_EQ(knownCellValues(map), expected);
}

TEST(MapUpdates, CoordinatesOutsideTheBoundAreRefusedWithoutChange) {
  OccupancyMap map = builtInMap();
  markReading(map, ArPose(700, 300), ArPose(100, 100));
  OccupancyMap before = builtInMap();
  copyMap(map, before);

  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::nan("");
  const double beyond = MAP_COORD_BOUND_MM + 1;
  for (ArPose bad : {ArPose(nan, 0), ArPose(0, nan), ArPose(inf, 0), ArPose(0, -inf), ArPose(beyond, 0),
                     ArPose(0, -beyond), ArPose(-1e12, 1e12)}) {
    const ArPose good(100, 200);
    EXPECT_FALSE(markHit(map, bad));
    EXPECT_FALSE(markReading(map, bad, good));
    EXPECT_FALSE(markReading(map, good, bad));
    EXPECT_FALSE(markPeerReading(map, bad, good));
    EXPECT_FALSE(markPeerReading(map, good, bad));
    EXPECT_FALSE(markPose(map, bad));
    EXPECT_FALSE(markPeerPose(map, bad));
  }
  expectSameMap(map, before);

  EXPECT_TRUE(markReading(map, ArPose(MAP_COORD_BOUND_MM, -MAP_COORD_BOUND_MM), ArPose(-MAP_COORD_BOUND_MM, 0)));
  EXPECT_EQ(map.maxx, 2000 + 125);
  EXPECT_EQ(map.minx, 2000 + 125);
  EXPECT_EQ(map.miny, 2000 + 125);
  EXPECT_EQ(map.cellValue(2000, -2000), 0x007F);
}

}  // namespace
