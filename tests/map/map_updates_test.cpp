#include <cmath>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "aria/ar_sip.h"
#include "map/map_updates.h"
#include "map/sonar_model.h"
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

// ---- the sonar model ----

// One firing of a disc of the ring from a robot pose, applied as an E message carries it:
// the point on the disc's axis at the range, and the robot's pose.
struct Firing {
  ArPose robot;
  int disc;
  double range;
};

ArPose pointOf(const Firing& f) {
  const ArPose inRobot = arproto::sonarPointInRobotFrame(f.disc, f.range);
  const double c = ArMath::cos(f.robot.getTh()), s = ArMath::sin(f.robot.getTh());
  return ArPose(f.robot.getX() + c * inRobot.getX() - s * inRobot.getY(),
                f.robot.getY() + s * inRobot.getX() + c * inRobot.getY());
}

void fire(OccupancyMap& map, const Firing& f) {
  EXPECT_TRUE(markSonarReading(map, beamOfReading(pointOf(f), f.robot), f.robot, FootprintStyle::Own));
}

int evidenceAt(const OccupancyMap& map, int32_t x, int32_t y) { return cellEvidence(map.cellOrUnknown(x, y)); }

TEST(SonarModel, EvidenceKeepsTheCellsLayoutAndTheObstacleThreshold) {
  // A known cell: obstacle exactly when the evidence is positive.
  EXPECT_FALSE(isObstacleCell(withEvidence(0, 0)));
  EXPECT_TRUE(isObstacleCell(withEvidence(0, 1)));
  EXPECT_EQ(withEvidence(0, EVIDENCE_MAX + 50) & CELL_OCCUPANCY, 255);
  EXPECT_EQ(withEvidence(0, EVIDENCE_MIN - 50) & CELL_OCCUPANCY, 0);
  EXPECT_EQ(withEvidence(0xDF40, -8) & ~CELL_OCCUPANCY, 0x5F00) << "footprints and reserved bits kept";
  for (int e = EVIDENCE_MIN; e < EVIDENCE_MAX; ++e) {
    EXPECT_LT(withEvidence(0, e), withEvidence(0, e + 1)) << e;
    EXPECT_EQ(cellEvidence(withEvidence(0, e)), e);
  }
  // An unknown cell stays unknown until its evidence is clear either way, and keeps it.
  EXPECT_EQ(cellEvidence(CELL_UNKNOWN), 0);
  for (int e = EVIDENCE_KNOWN_FREE + 1; e < EVIDENCE_KNOWN_OCCUPIED; ++e) {
    EXPECT_NE(withEvidence(CELL_UNKNOWN, e) & CELL_UNKNOWN, 0) << e;
    EXPECT_EQ(cellEvidence(withEvidence(CELL_UNKNOWN, e)), e);
  }
  EXPECT_TRUE(isObstacleCell(withEvidence(CELL_UNKNOWN, EVIDENCE_KNOWN_OCCUPIED)));
  EXPECT_EQ(withEvidence(CELL_UNKNOWN, EVIDENCE_KNOWN_FREE) & CELL_UNKNOWN, 0);
  EXPECT_FALSE(isObstacleCell(withEvidence(CELL_UNKNOWN, EVIDENCE_KNOWN_FREE)));
}

TEST(SonarModel, TheDiscOfAReadingIsFoundFromItsPoint) {
  for (int disc = 0; disc < arproto::kGeometryDiscs; ++disc) {
    const Firing f{ArPose(1200, -3400, 123), disc, 2500};
    const SonarBeam beam = beamOfReading(pointOf(f), f.robot);
    const SonarBeam expected = silentBeam(f.robot, disc);
    EXPECT_EQ(beam.disc, disc);
    EXPECT_NEAR(beam.range, 2500, 1e-6);
    EXPECT_NEAR(beam.x, expected.x, 1e-6);
    EXPECT_NEAR(beam.y, expected.y, 1e-6);
    EXPECT_NEAR(ArMath::subAngle(beam.th, expected.th), 0, 1e-6);
  }
  // Off every disc's axis: a beam from the robot's centre through the point.
  const SonarBeam centre = beamOfReading(ArPose(1000, 1000), ArPose(0, 0, 0));
  EXPECT_EQ(centre.disc, -1);
  EXPECT_NEAR(centre.range, std::hypot(1000, 1000), 1e-6);
  EXPECT_NEAR(centre.th, 45, 1e-6);
}

// Disc 3 of a robot at the origin heading 0: the transducer at (166, 27), its axis at 10
// degrees; the cone spans 2.5 to 17.5 degrees.
TEST(SonarModel, TheConeIsFreedShortOfTheEchoAndTheArcIsMarked) {
  const ArPose robot(0, 0, 0);
  const Firing echo{robot, 3, 2000};
  struct Row {
    const char* where;
    double range, deg;  // a point in the cell, from the transducer
    bool freed, marked; // known free; occupied evidence (a long arc's alone leaves it unknown)
  };
  const Row rows[] = {
      {"inside the cone, half way", 1000, 5, true, false},
      {"inside the cone, near its edge", 1500, 16, true, false},
      {"the last cells before the echo", 1900, 10, false, false},
      {"on the arc, on the axis", 2000, 10, false, true},
      {"on the arc, at its edge", 2000, 16.5, false, true},
      {"outside the cone", 1000, 22, false, false},
      {"beyond the echo", 2300, 10, false, false},
  };
  OccupancyMap map = builtInMap();
  fire(map, echo);
  const SonarBeam beam = silentBeam(robot, 3);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.where);
    const int32_t x = map.toCell(beam.x + r.range * ArMath::cos(r.deg)), y = map.toCell(beam.y + r.range * ArMath::sin(r.deg));
    const MapCell c = map.cellOrUnknown(x, y);
    EXPECT_EQ((c & CELL_UNKNOWN) == 0 && cellEvidence(c) < 0, r.freed) << x << "," << y;
    EXPECT_EQ(cellEvidence(c) > 0, r.marked) << x << "," << y;
  }

  // A cone with an edge along the grid's y axis (97.5 +- 7.5 degrees) touches nothing
  // beside it.
  OccupancyMap upright = builtInMap();
  EXPECT_TRUE(markSonarReading(upright, SonarBeam{0, 0, 97.5, 1255}, robot, FootprintStyle::Own));
  int beside = 0;
  for (int32_t x = 3; x <= 20; ++x) {
    for (int32_t y = -20; y <= 20; ++y) beside += upright.cellOrUnknown(x, y) != CELL_UNKNOWN;
  }
  EXPECT_EQ(beside, 0);

  // A beam that heard nothing frees its first 1.5 m weakly, never so far that silence
  // alone makes a cell known free (a wall met at a grazing angle is silent too), never
  // lowers a cell that holds occupied evidence, and stops at the first one.
  OccupancyMap quiet = builtInMap();
  EXPECT_TRUE(markSonarReading(quiet, beam, robot, FootprintStyle::Own));
  EXPECT_EQ(evidenceAt(quiet, 13, 2), EVIDENCE_SILENT);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(markSonarReading(quiet, beam, robot, FootprintStyle::Own));
  EXPECT_NE(quiet.cellValue(13, 2) & CELL_UNKNOWN, 0) << "silence alone is not enough to call it free";
  EXPECT_LT(evidenceAt(quiet, 13, 2), 0);
  EXPECT_EQ(quiet.cellOrUnknown(18, 3), CELL_UNKNOWN) << "beyond 1.5 m";
  OccupancyMap walled = builtInMap();
  walled.cellAt(10, 2) = withEvidence(0, 1);
  EXPECT_TRUE(markSonarReading(walled, beam, robot, FootprintStyle::Own));
  EXPECT_EQ(evidenceAt(walled, 8, 1), EVIDENCE_SILENT);
  EXPECT_EQ(evidenceAt(walled, 10, 2), 1);
  EXPECT_EQ(walled.cellOrUnknown(14, 3), CELL_UNKNOWN) << "behind the obstacle";
  EXPECT_EQ(evidenceAt(walled, 13, 2), EVIDENCE_SILENT) << "beside it";
  // A quiet beam frees as an echo does and still keeps occupied evidence; a long echo
  // suspect on its left frees that side only in its first metre, however close to the axis.
  SonarBeam quietBeam = beam, leftSuspect = beamOfReading(pointOf({robot, 3, 3000}), robot);
  quietBeam.quiet = leftSuspect.suspectLeft = true;
  EXPECT_TRUE(markSonarReading(walled, quietBeam, robot, FootprintStyle::Own));
  EXPECT_EQ(evidenceAt(walled, 8, 1), EVIDENCE_SILENT + EVIDENCE_FREE);
  EXPECT_EQ(evidenceAt(walled, 10, 2), 1);
  OccupancyMap suspect = builtInMap();
  EXPECT_TRUE(markSonarReading(suspect, leftSuspect, robot, FootprintStyle::Own));
  EXPECT_EQ(evidenceAt(suspect, 20, 5), 0) << "left, beyond the first metre";
  EXPECT_EQ(evidenceAt(suspect, 21, 1), EVIDENCE_FREE) << "right";
  EXPECT_EQ(evidenceAt(suspect, 21, 3), EVIDENCE_FREE) << "on the axis";
  EXPECT_EQ(evidenceAt(suspect, 21, 4), 0) << "left, 70 mm beside the axis";
}

// One echo on a fresh map, cell by cell against the cone's geometry worked out apart:
// free short of the margin, occupied evidence on the arc, nothing between them or outside.
// Apexes off the cell centres, cones across the grid's axes and along them, and a fine map
// whose cones span hundreds of runs; cells within rounding of a border are not judged.
TEST(SonarModel, EveryCellOfTheConeAndNoOtherTakesItsEvidence) {
  struct Row {
    double res, x, y, th, range;
  };
  const Row rows[] = {{100, 37, -12, 0, 4990},  {100, -160, 240, 45.7, 4990}, {100, 37, -12, 97.5, 3000},
                      {100, 37, -12, 200, 1234}, {100, 510, 530, 271.3, 2600},   {100, -20, 10, 181, 100},
                      {20, 37, -12, 3, 4990},    {20, -160, 240, 262, 4990},     {20, 5, 5, 135, 60}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "res " << r.res << " at " << r.x << "," << r.y << " th " << r.th << " range " << r.range);
    OccupancyMap map(r.res, 0, 0);
    ASSERT_TRUE(markSonarReading(map, SonarBeam{r.x, r.y, r.th, r.range}, ArPose(r.x, r.y), FootprintStyle::Own));
    const double freeTo = r.range - SONAR_FREE_MARGIN_MM, arcFrom = r.range - SONAR_ARC_HALF_MM;
    const double reach = r.range + SONAR_ARC_HALF_MM;
    auto centre = [&](int32_t i) { return i > 0 ? (i + 0.5) * r.res : i < 0 ? (i - 0.5) * r.res : 0.0; };
    auto near = [](double a, double b) { return std::fabs(a - b) < 1e-6; };
    int freed = 0, marked = 0;
    for (int32_t x = 1 - map.minx; x < map.maxx; ++x) {
      for (int32_t y = 1 - map.miny; y < map.maxy; ++y) {
        if (x == map.toCell(r.x) && y == map.toCell(r.y)) continue;  // the robot's own cell
        const double dx = centre(x) - r.x, dy = centre(y) - r.y, d = std::hypot(dx, dy);
        const double off = std::fabs(ArMath::subAngle(ArMath::atan2(dy, dx), r.th));
        if (near(off, SONAR_BEAM_DEG / 2) || near(d, freeTo) || near(d, arcFrom) || near(d, reach)) continue;
        const bool inCone = off < SONAR_BEAM_DEG / 2 && d < reach;
        const int expected = !inCone ? 0 : d >= arcFrom ? 1 : d < freeTo ? -1 : 0;
        const int e = evidenceAt(map, x, y);
        ASSERT_EQ((e > 0) - (e < 0), expected) << x << "," << y << " at " << d << " mm, " << off << " deg off the axis";
        freed += expected < 0, marked += expected > 0;
      }
    }
    EXPECT_GT(marked, 0);
    EXPECT_EQ(freed > 0, freeTo > 0);
  }
}

// A wall along y = 2050 mm (the centres of row 20), seen straight on by disc 0 (mounted at
// y = 136, pointing up) from a robot passing beneath it, then met by long beams that
// run along it: a smooth wall reflects those away, so they say nothing about it.
TEST(SonarModel, AWallSeenFromManyPosesOutlastsGrazingBeams) {
  OccupancyMap map = builtInMap();
  for (double x = 0; x <= 3000; x += 50) fire(map, {ArPose(x, 0, 0), 0, 1914});
  for (int32_t x = 2; x <= 28; ++x) ASSERT_GE(evidenceAt(map, x, 20), EVIDENCE_CONFIRMED) << x;
  // Disc 3 of robots left of the wall's end, half a metre below it, pointing 6 degrees
  // up: each cone covers the wall from x = 1 to 3 m and hears something 4.5 m away.
  const auto graze = [](OccupancyMap& m) {
    for (double y = 1400; y <= 1500; y += 10) fire(m, {ArPose(-1500, y, -4), 3, 4500});
  };
  graze(map);
  for (int32_t x = 10; x <= 28; ++x) EXPECT_TRUE(isObstacleCell(map.cellValue(x, 20))) << x;
  EXPECT_LT(evidenceAt(map, 20, 19), 0) << "the beams still free the open space beside the wall";
  // The same wall with little evidence left (worn down by passes that crossed it): kept.
  OccupancyMap faint = builtInMap();
  for (int32_t x = 2; x <= 28; ++x) faint.cellAt(x, 20) = withEvidence(0, 4);
  graze(faint);
  for (int32_t x = 10; x <= 28; ++x) EXPECT_GE(evidenceAt(faint, x, 20), 4) << x;
}

// A thin post at (2050, 50), the centre of cell (20, 0), seen by disc 3 of a robot to its
// left, then by disc 7 of a robot above it; from each, the post lies near an edge of the
// cone, so the first arc runs from the post across open space, which the second cone
// clears short of the post. The post, on both arcs, stays and holds the most evidence.
TEST(SonarModel, ArcsFromTwoPosesMeetAtTheWall) {
  const double postX = 2050, postY = 50;
  auto seeingThePost = [&](ArPose robot, int disc) {
    const SonarBeam b = silentBeam(robot, disc);
    return Firing{robot, disc, std::hypot(postX - b.x, postY - b.y)};
  };
  const Firing left = seeingThePost(ArPose(0, 0, -5), 3), above = seeingThePost(ArPose(1781, 2500, 0), 7);
  OccupancyMap map = builtInMap();
  fire(map, left);
  std::vector<Cell> firstArc;
  for (int32_t x = 10; x <= 30; ++x) {
    for (int32_t y = -10; y <= 10; ++y) {
      if (evidenceAt(map, x, y) > 0) firstArc.push_back({x, y});
    }
  }
  ASSERT_GE(firstArc.size(), 4u) << "an echo is placed on its whole arc";
  EXPECT_EQ(map.cellValue(20, 0) & CELL_UNKNOWN, CELL_UNKNOWN) << "one echo 2 m away is not enough to call it a wall";

  fire(map, above);
  const SonarBeam second = beamOfReading(pointOf(above), above.robot);
  int cleared = 0;
  for (const auto& [x, y] : firstArc) {
    const double dx = (x + 0.5) * 100 - second.x, dy = (y + 0.5) * 100 - second.y;
    const bool inside = std::hypot(dx, dy) < second.range - SONAR_FREE_MARGIN_MM &&
                        std::fabs(ArMath::subAngle(ArMath::atan2(dy, dx), second.th)) <= SONAR_BEAM_DEG / 2;
    if (!inside) continue;
    EXPECT_LE(evidenceAt(map, x, y), 0) << x << "," << y;
    ++cleared;
  }
  EXPECT_GE(cleared, 2);
  ASSERT_TRUE(isObstacleCell(map.cellValue(20, 0)));
  for (int32_t x = 15; x <= 25; ++x) {
    for (int32_t y = -5; y <= 5; ++y) {
      if (x == 20 && y == 0) continue;
      EXPECT_LT(evidenceAt(map, x, y), evidenceAt(map, 20, 0)) << x << "," << y;
    }
  }
}

TEST(SonarModel, AReadingRepeatedWhileStandingStillCountsOnce) {
  const Firing f{ArPose(300, 200, 30), 2, 1500};
  const SonarBeam beam = beamOfReading(pointOf(f), f.robot);
  OccupancyMap once = builtInMap(), repeated = builtInMap();
  fire(once, f);
  StillBeams still;
  for (int i = 0; i < 5; ++i) {
    const ArPose jitter(300 + i, 200 - i, 30 + 0.1 * i);
    const SonarBeam again = beamOfReading(pointOf({jitter, 2, 1500.0 + 10 * i}), jitter);
    if (still.repeats(again, jitter)) continue;
    EXPECT_TRUE(markSonarReading(repeated, again, jitter, FootprintStyle::Own));
  }
  expectSameMap(repeated, once);
  EXPECT_FALSE(still.repeats(beam, ArPose(400, 200, 30))) << "a robot that moved sees anew";
  EXPECT_FALSE(still.repeats(silentBeam(ArPose(400, 200, 30), 2), ArPose(400, 200, 30))) << "so does an echo that stops";
}

// Four silent discs either side on the ring, fired from about the same place, make a
// silent beam quiet; a silent neighbour makes a long echo suspect on its side, and beyond
// 3 m so does a silent disc two along.
TEST(SonarModel, NeighboursOnTheRingMakeABeamQuietOrSuspect) {
  // The one disc whose last beam heard an echo (-1: none), how far the robot moved since
  // the other discs fired, the range of disc 1's echo, and the verdicts on disc 1.
  struct Row { int heardDisc; double movedMm, echoMm; bool quiet, suspectLeft, suspectRight; };
  const Row rows[] = {{-1, 0, 2500, true, true, true},   {13, 0, 2500, false, true, true},  {12, 0, 2500, true, true, true},
                      {0, 0, 2500, false, false, true},  {-1, 400, 2500, false, false, false}, {0, 0, 3500, false, true, true},
                      {2, 0, 3500, false, true, true}};
  const ArPose here(1000, 500, 40);
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "heard " << r.heardDisc << ", echo " << r.echoMm);
    StillBeams still;
    const ArPose there(here.getX() + r.movedMm, here.getY(), here.getTh());
    for (int disc = 0; disc < arproto::kGeometryDiscs; ++disc) {
      if (disc != 1) still.repeats(disc == r.heardDisc ? beamOfReading(pointOf({there, disc, 2000}), there) : silentBeam(there, disc), there);
    }
    SonarBeam echo = beamOfReading(pointOf({here, 1, r.echoMm}), here);
    still.judgeEcho(echo, here);
    EXPECT_EQ(still.quietAround(1, here), r.quiet);
    EXPECT_EQ(echo.suspectLeft, r.suspectLeft);
    EXPECT_EQ(echo.suspectRight, r.suspectRight);
  }
}

}  // namespace
