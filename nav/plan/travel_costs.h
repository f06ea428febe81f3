#pragma once
// What it costs a robot to drive from one place to every cell of an occupancy map, and
// the cheapest way there: the cost map of exploration. Paths keep to cells that were
// seen free and to the unknown cells right beside them (gaps between readings), which
// count as barred; cells near obstacles cost more, so that paths keep to the middle of
// doorways and corridors, and cells too near an obstacle for the robot (barred) cost a
// great deal more.
//
// Barred cells are dear, not forbidden: sonar maps hold stray echoes (a wide beam's
// echo put on its axis), and those from door jambs land in the doorway. Forbidding the
// cells around them would close doors for good; a dear way through lets the robot go and
// look, and its sonar clears the stray cells (or finds a real obstacle, which the driving
// stops for). An obstacle cell bars the robot's full radius only when it is confirmed
// (hit again and again); one hit once or twice bars a smaller radius. A cell a robot
// stood on (a footprint bit) is no obstacle and never barred, whatever echoes say.
#include <cstdint>
#include <limits>
#include <vector>

#include "aria/ar_pose.h"
#include "nav/plan/flat_grid.h"
#include "nav/plan/map_window.h"

// One straight step over open floor; a diagonal step costs TRAVEL_DIAGONAL_STEP.
constexpr int32_t TRAVEL_STEP = 10;
constexpr int32_t TRAVEL_DIAGONAL_STEP = 14;
constexpr int32_t TRAVEL_UNREACHED = std::numeric_limits<int32_t>::max();

struct TravelWeights {
  // Distances are between cell centres: a cell's edge lies half a cell nearer.
  double bodyRadius = 450;        // mm: a centre nearer a confirmed obstacle than this is barred
  int confirmedOccupancy = 192;   // obstacle cells below this occupancy are not confirmed
  double weakRadius = 250;        // mm: a centre nearer an unconfirmed obstacle than this is barred
  double solidRadius = 0;         // mm: a centre nearer a confirmed obstacle than this is never
                                  // entered (the body would overlap it): a gap in a wall narrower
                                  // than the robot, which a beam that met no echo left open, is shut.
                                  // Off: at 250 mm it also shut doorways whose jambs the map holds
                                  // thick, and a team declared the office done with a room unknown
  double inflation = 700;         // mm: obstacles or unseen cells nearer than this make a cell dearer,
  int nearPenalty = 30;           // by up to this much on top of TRAVEL_STEP (at distance 0)
  int barredPenalty = 150;        // and a barred cell by this much more
};

// What entering each cell of a map window costs: read once per plan and shared by the
// cost passes from the robot and from its teammates.
class TravelGrid {
 public:
  explicit TravelGrid(const TravelWeights& weights = {}) : myWeights(weights) {}

  // Reads the window (storage of an earlier read is reused).
  void read(const MapWindow& map);
  const TravelWeights& weights() const { return myWeights; }
  double res() const { return myRes; }
  // The cell of a point.
  GridCell cellOf(const ArPose& p) const { return {toCellIndex(p.getX(), myRes), toCellIndex(p.getY(), myRes)}; }
  // A robot may stand at (x, y): seen free and not barred.
  bool passable(int32_t x, int32_t y) const;
  // (x, y) was seen free, barred or not.
  bool seenFree(int32_t x, int32_t y) const;

 private:
  friend class TravelCosts;

  TravelWeights myWeights;
  CellBox myBox;                // of the window read
  double myRes = MAP_RES_MM;
  FlatGrid<int32_t> myPenalty;  // extra cost of entering a cell, or BLOCKED
  FlatGrid<uint8_t> myBarred;   // too near an obstacle to stand on
  FlatGrid<uint8_t> myBridge;   // unknown, but a path may cross it
  // Scratch of read, kept for its storage.
  FlatGrid<int32_t> myNearAny, myNearConfirmed, myNearUnseen;
  FlatGrid<uint8_t> myTrodden;
};

// The cheapest costs from one place over a TravelGrid.
class TravelCosts {
 public:
  // Costs from the cell of `from` over the grid, which must stay unchanged while these
  // costs are read; cells dearer than limit are left unreached. False when that cell is
  // outside the grid's window or no other cell can be reached from it.
  bool compute(const TravelGrid& grid, const ArPose& from, int32_t limit = TRAVEL_UNREACHED);
  // The cost of the cheapest way to (x, y), TRAVEL_UNREACHED when there is none.
  int32_t costAt(int32_t x, int32_t y) const;
  // The longest run of barred cells, one after another, on the cheapest way to (x, y):
  // a doorway narrowed by echoes is a short run, a gap behind furniture a long one.
  int32_t barredRun(int32_t x, int32_t y) const;
  // The cells of the cheapest way from the start cell to (x, y), both included; empty
  // when (x, y) is not reached.
  std::vector<GridCell> pathTo(int32_t x, int32_t y) const;

 private:
  void spread(const TravelGrid& grid, size_t start, int32_t limit);

  FlatGrid<int32_t> myCost;
  FlatGrid<uint32_t> myCameFrom;
  FlatGrid<int32_t> myRun;      // barred cells just before and at a cell on its cheapest way
  FlatGrid<int32_t> myLongestRun;
  std::vector<std::vector<uint32_t>> myOpen;  // the buckets of the pass, kept for their storage
};
