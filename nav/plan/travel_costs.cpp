#include "nav/plan/travel_costs.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <queue>
#include <utility>

#include "map/map_cell.h"

namespace {

// The penalty of a cell that is never entered: unknown, or an obstacle.
constexpr int32_t BLOCKED = -1;
constexpr int32_t FAR = std::numeric_limits<int32_t>::max() / 2;

// The side neighbours a diagonal step (neighbour 4 + i) passes between.
constexpr int DIAGONAL_SIDES[4][2] = {{0, 2}, {0, 3}, {1, 2}, {1, 3}};

// Distance (mm) from every cell to the nearest cell holding 0, by a two-pass chamfer
// transform: exact along rows, columns and diagonals, within 8 % elsewhere.
void chamfer(FlatGrid<int32_t>& d, int32_t straight, int32_t diagonal) {
  static constexpr int EARLIER[4] = {0, 2, 4, 5};  // neighbours with a lower index
  static constexpr int LATER[4] = {1, 3, 6, 7};
  auto relax = [&](size_t i, const int (&ks)[4]) {
    for (int k : ks) {
      size_t n;
      if (!d.neighbour(i, k, n) || d[n] >= FAR) continue;
      d[i] = std::min(d[i], d[n] + (k < 4 ? straight : diagonal));
    }
  };
  for (size_t i = 0; i < d.size(); ++i) relax(i, EARLIER);
  for (size_t i = d.size(); i-- > 0;) relax(i, LATER);
}

}  // namespace

void TravelCosts::readMap(const OccupancyMap& map) {
  myPenalty = FlatGrid<int32_t>(map, BLOCKED);
  myBarred = FlatGrid<uint8_t>(map, 0);
  FlatGrid<int32_t> nearAny(map, FAR), nearConfirmed(map, FAR), nearUnseen(map, 0);
  FlatGrid<uint8_t> trodden(map, 0);
  myPenalty.forEachMapCell(map, [&](int32_t x, int32_t y, size_t i) {
    const MapCell c = map.cellValue(x, y);
    if (c & CELL_UNKNOWN) return;
    nearUnseen[i] = FAR;
    trodden[i] = (c & CELL_FOOTPRINT) != 0;
    if (isObstacleCell(c) && !trodden[i]) {
      nearAny[i] = 0;
      if ((c & CELL_OCCUPANCY) >= myWeights.confirmedOccupancy) nearConfirmed[i] = 0;
      return;
    }
    myPenalty[i] = 0;
  });
  // Unknown cells right beside seen-free ones are gaps between readings as often as not
  // (a doorway seen in patches, the cells between two sonar rays): a path may cross
  // them, dearly, as it may cross barred cells, but the robot never stands on one.
  myBridge = FlatGrid<uint8_t>(map, 0);
  myPenalty.forEachMapCell(map, [&](int32_t, int32_t, size_t i) {
    if (nearUnseen[i] != 0) return;
    for (int k = 0; k < 8; ++k) {
      size_t n;
      if (myPenalty.neighbour(i, k, n) && myPenalty[n] != BLOCKED) {
        myBridge[i] = 1;
        return;
      }
    }
  });
  const auto straight = static_cast<int32_t>(std::lround(map.res));
  const auto diagonal = static_cast<int32_t>(std::lround(map.res * std::sqrt(2.0)));
  chamfer(nearAny, straight, diagonal);
  chamfer(nearConfirmed, straight, diagonal);
  chamfer(nearUnseen, straight, diagonal);
  const double inflation = myWeights.inflation;
  for (size_t i = 0; i < myPenalty.size(); ++i) {
    if (myBridge[i]) {
      myPenalty[i] = myWeights.nearPenalty;
      myBarred[i] = 1;
      continue;
    }
    if (myPenalty[i] == BLOCKED) continue;
    myBarred[i] = !trodden[i] && (nearConfirmed[i] < myWeights.bodyRadius || nearAny[i] < myWeights.weakRadius);
    // Unseen cells may hide an obstacle (the far side of furniture the sonar met only
    // at a grazing angle): paths keep away from them where they can, as from obstacles.
    const double nearest = std::min(nearAny[i], nearUnseen[i]);
    if (nearest < inflation) myPenalty[i] = static_cast<int32_t>(std::lround(myWeights.nearPenalty * (inflation - nearest) / inflation));
  }
}

// Cheapest costs from start (Dijkstra over the eight neighbours). A diagonal step needs
// both side cells enterable, so a path never cuts the corner of an obstacle.
void TravelCosts::spread(size_t start) {
  using Entry = std::pair<int32_t, size_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> open;
  myCost[start] = 0;
  open.push({0, start});
  auto enterable = [this](size_t n) { return myPenalty[n] != BLOCKED; };
  while (!open.empty()) {
    const auto [cost, at] = open.top();
    open.pop();
    if (cost != myCost[at]) continue;
    for (int k = 0; k < 8; ++k) {
      size_t n, sideA, sideB;
      if (!myPenalty.neighbour(at, k, n) || !enterable(n)) continue;
      if (k >= 4 && !(myPenalty.neighbour(at, DIAGONAL_SIDES[k - 4][0], sideA) && enterable(sideA) &&
                       myPenalty.neighbour(at, DIAGONAL_SIDES[k - 4][1], sideB) && enterable(sideB)))
        continue;
      const int32_t entry = myPenalty[n] + (myBarred[n] ? myWeights.barredPenalty : 0);
      const int32_t next = cost + (k < 4 ? TRAVEL_STEP : TRAVEL_DIAGONAL_STEP) + entry;
      if (next >= myCost[n]) continue;
      myCost[n] = next;
      myCameFrom[n] = static_cast<uint32_t>(at);
      myRun[n] = myBarred[n] ? myRun[at] + 1 : 0;
      myLongestRun[n] = std::max(myLongestRun[at], myRun[n]);
      open.push({next, n});
    }
  }
}

bool TravelCosts::compute(const OccupancyMap& map, const ArPose& from) {
  readMap(map);
  myCost = FlatGrid<int32_t>(map, TRAVEL_UNREACHED);
  myCameFrom = FlatGrid<uint32_t>(map, 0);
  myRun = FlatGrid<int32_t>(map, 0);
  myLongestRun = FlatGrid<int32_t>(map, 0);
  const int32_t x = map.toCell(from.getX()), y = map.toCell(from.getY());
  if (!map.inBounds(x, y)) return false;
  const size_t start = myPenalty.index(x, y);
  // The robot stands there, so the cell is at worst barred, whatever the map says.
  if (myPenalty[start] == BLOCKED) {
    myPenalty[start] = myWeights.nearPenalty;
    myBarred[start] = 1;
  }
  myRun[start] = myLongestRun[start] = myBarred[start];
  spread(start);
  for (int k = 0; k < 8; ++k) {
    size_t n;
    if (myPenalty.neighbour(start, k, n) && myCost[n] != TRAVEL_UNREACHED) return true;
  }
  return false;
}

int32_t TravelCosts::costAt(int32_t x, int32_t y) const {
  return myCost.contains(x, y) ? myCost[myCost.index(x, y)] : TRAVEL_UNREACHED;
}

int32_t TravelCosts::barredRun(int32_t x, int32_t y) const {
  return myLongestRun.contains(x, y) ? myLongestRun[myLongestRun.index(x, y)] : 0;
}

bool TravelCosts::passable(int32_t x, int32_t y) const {
  if (!myPenalty.contains(x, y)) return false;
  const size_t i = myPenalty.index(x, y);
  return myPenalty[i] != BLOCKED && myBarred[i] == 0;
}

bool TravelCosts::seenFree(int32_t x, int32_t y) const {
  if (!myPenalty.contains(x, y)) return false;
  const size_t i = myPenalty.index(x, y);
  return myPenalty[i] != BLOCKED && myBridge[i] == 0;
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
