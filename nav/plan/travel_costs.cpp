#include "nav/plan/travel_costs.h"

#include <algorithm>
#include <cmath>

#include "map/map_cell.h"

namespace {

// The penalty of a cell that is never entered: unknown, or an obstacle.
constexpr int32_t BLOCKED = -1;
constexpr int32_t FAR = std::numeric_limits<int32_t>::max() / 2;

// The side neighbours a diagonal step (neighbour 4 + i) passes between.
constexpr int DIAGONAL_SIDES[4][2] = {{0, 2}, {0, 3}, {1, 2}, {1, 3}};

// Distance (mm) from every cell of the box to the nearest cell holding 0, by a two-pass
// chamfer transform: exact along rows, columns and diagonals, within 8 % elsewhere. The
// ring only lends its values.
void chamfer(FlatGrid<int32_t>& d, const CellBox& box, int32_t straight, int32_t diagonal) {
  static constexpr int EARLIER[4] = {0, 2, 4, 5};  // neighbours with a lower index
  static constexpr int LATER[4] = {1, 3, 6, 7};
  auto relax = [&](size_t i, const int (&ks)[4]) {
    for (int k : ks) {
      const size_t n = i + d.step(k);
      if (d[n] >= FAR) continue;
      d[i] = std::min(d[i], d[n] + (k < 4 ? straight : diagonal));
    }
  };
  for (int32_t x = box.x0; x <= box.x1; ++x) {
    for (int32_t y = box.y0; y <= box.y1; ++y) relax(d.index(x, y), EARLIER);
  }
  for (int32_t x = box.x1; x >= box.x0; --x) {
    for (int32_t y = box.y1; y >= box.y0; --y) relax(d.index(x, y), LATER);
  }
}

}  // namespace

void TravelGrid::read(const MapWindow& map) {
  myBox = map.box();
  myRes = map.res;
  myPenalty.reset(myBox, BLOCKED);
  myBarred.reset(myBox, 0);
  FlatGrid<int32_t>&nearAny = myNearAny, &nearConfirmed = myNearConfirmed, &nearUnseen = myNearUnseen;
  nearAny.reset(myBox, FAR);
  nearConfirmed.reset(myBox, FAR);
  nearUnseen.reset(myBox, 0);
  myTrodden.reset(myBox, 0);
  myPenalty.forEachBoxCell([&](int32_t x, int32_t y, size_t i) {
    const MapCell c = map.cellValue(x, y);
    if (c & CELL_UNKNOWN) return;
    nearUnseen[i] = FAR;
    myTrodden[i] = (c & CELL_FOOTPRINT) != 0;
    if (isObstacleCell(c) && !myTrodden[i]) {
      nearAny[i] = 0;
      if ((c & CELL_OCCUPANCY) >= myWeights.confirmedOccupancy) nearConfirmed[i] = 0;
      return;
    }
    myPenalty[i] = 0;
  });
  // Unknown cells right beside seen-free ones are gaps between readings as often as not
  // (a doorway seen in patches, the cells between two sonar rays): a path may cross
  // them, dearly, as it may cross barred cells, but the robot never stands on one.
  myBridge.reset(myBox, 0);
  myPenalty.forEachBoxCell([&](int32_t, int32_t, size_t i) {
    if (nearUnseen[i] != 0) return;
    for (int k = 0; k < 8; ++k) {
      if (myPenalty[i + myPenalty.step(k)] == BLOCKED) continue;
      myBridge[i] = 1;
      return;
    }
  });
  const auto straight = static_cast<int32_t>(std::lround(myRes));
  const auto diagonal = static_cast<int32_t>(std::lround(myRes * std::sqrt(2.0)));
  chamfer(nearAny, myBox, straight, diagonal);
  chamfer(nearConfirmed, myBox, straight, diagonal);
  chamfer(nearUnseen, myBox, straight, diagonal);
  const double inflation = myWeights.inflation;
  for (size_t i = 0; i < myPenalty.size(); ++i) {
    if (!myTrodden[i] && nearConfirmed[i] < myWeights.solidRadius) {
      myPenalty[i] = BLOCKED;
      myBridge[i] = 0;
      continue;
    }
    if (myBridge[i]) {
      myPenalty[i] = myWeights.nearPenalty;
      myBarred[i] = 1;
      continue;
    }
    if (myPenalty[i] == BLOCKED) continue;
    myBarred[i] = !myTrodden[i] && (nearConfirmed[i] < myWeights.bodyRadius || nearAny[i] < myWeights.weakRadius);
    // Unseen cells may hide an obstacle (the far side of furniture the sonar met only
    // at a grazing angle): paths keep away from them where they can, as from obstacles.
    const double nearest = std::min(nearAny[i], nearUnseen[i]);
    if (nearest < inflation) myPenalty[i] = static_cast<int32_t>(std::lround(myWeights.nearPenalty * (inflation - nearest) / inflation));
  }
}

bool TravelGrid::passable(int32_t x, int32_t y) const {
  if (!myPenalty.contains(x, y)) return false;
  const size_t i = myPenalty.index(x, y);
  return myPenalty[i] != BLOCKED && myBarred[i] == 0;
}

bool TravelGrid::seenFree(int32_t x, int32_t y) const {
  if (!myPenalty.contains(x, y)) return false;
  const size_t i = myPenalty.index(x, y);
  return myPenalty[i] != BLOCKED && myBridge[i] == 0;
}

// Cheapest costs from start (Dijkstra over the eight neighbours), as far as limit. A
// diagonal step needs both side cells enterable, so a path never cuts the corner of an
// obstacle. Only cells of the box are ever enterable, so every cell reached has all its
// neighbours in the grid. Costs are whole numbers and no step costs more than the
// dearest entry, so the open cells wait in a ring of buckets, one per cost (Dial's
// algorithm), rather than in a heap.
void TravelCosts::spread(const TravelGrid& grid, size_t start, int32_t limit) {
  const FlatGrid<int32_t>& penalty = grid.myPenalty;
  const FlatGrid<uint8_t>& barred = grid.myBarred;
  const TravelWeights& w = grid.myWeights;
  ptrdiff_t steps[8];
  for (int k = 0; k < 8; ++k) steps[k] = penalty.step(k);
  auto enterable = [&penalty](size_t n) { return penalty[n] != BLOCKED; };
  const size_t ring = static_cast<size_t>(TRAVEL_DIAGONAL_STEP + std::max(w.nearPenalty, 0) + std::max(w.barredPenalty, 0)) + 1;
  myOpen.resize(ring);
  for (std::vector<uint32_t>& bucket : myOpen) bucket.clear();
  myCost[start] = 0;
  myOpen[0].push_back(static_cast<uint32_t>(start));
  size_t waiting = 1;
  for (int32_t cost = 0; waiting > 0 && cost <= limit; ++cost) {
    std::vector<uint32_t>& bucket = myOpen[static_cast<size_t>(cost) % ring];
    while (!bucket.empty()) {
      const size_t at = bucket.back();
      bucket.pop_back();
      --waiting;
      if (cost != myCost[at]) continue;
      for (int k = 0; k < 8; ++k) {
        const size_t n = at + steps[k];
        if (!enterable(n)) continue;
        if (k >= 4 && !(enterable(at + steps[DIAGONAL_SIDES[k - 4][0]]) && enterable(at + steps[DIAGONAL_SIDES[k - 4][1]])))
          continue;
        const int32_t entry = penalty[n] + (barred[n] ? w.barredPenalty : 0);
        const int32_t next = cost + (k < 4 ? TRAVEL_STEP : TRAVEL_DIAGONAL_STEP) + entry;
        if (next >= myCost[n]) continue;
        myCost[n] = next;
        myCameFrom[n] = static_cast<uint32_t>(at);
        myRun[n] = barred[n] ? myRun[at] + 1 : 0;
        myLongestRun[n] = std::max(myLongestRun[at], myRun[n]);
        myOpen[static_cast<size_t>(next) % ring].push_back(static_cast<uint32_t>(n));
        ++waiting;
      }
    }
  }
}

bool TravelCosts::compute(const TravelGrid& grid, const ArPose& from, int32_t limit) {
  const CellBox& box = grid.myBox;
  myCost.reset(box, TRAVEL_UNREACHED);
  myCameFrom.reset(box, 0);
  myRun.reset(box, 0);
  myLongestRun.reset(box, 0);
  const GridCell cell = grid.cellOf(from);
  if (!box.contains(cell.x, cell.y)) return false;
  const size_t start = myCost.index(cell.x, cell.y);
  // The robot stands there, so the cell is at worst barred, whatever the map says.
  myRun[start] = myLongestRun[start] = grid.myPenalty[start] == BLOCKED || grid.myBarred[start];
  spread(grid, start, limit);
  for (int k = 0; k < 8; ++k) {
    if (myCost[start + myCost.step(k)] != TRAVEL_UNREACHED) return true;
  }
  return false;
}

int32_t TravelCosts::costAt(int32_t x, int32_t y) const {
  return myCost.contains(x, y) ? myCost[myCost.index(x, y)] : TRAVEL_UNREACHED;
}

int32_t TravelCosts::barredRun(int32_t x, int32_t y) const {
  return myLongestRun.contains(x, y) ? myLongestRun[myLongestRun.index(x, y)] : 0;
}

std::vector<GridCell> TravelCosts::pathTo(int32_t x, int32_t y) const {
  std::vector<GridCell> way;
  if (costAt(x, y) == TRAVEL_UNREACHED) return way;
  for (size_t at = myCost.index(x, y);; at = myCameFrom[at]) {
    way.push_back(myCost.cellOf(at));
    if (myCost[at] == 0) break;
  }
  return {way.rbegin(), way.rend()};
}
