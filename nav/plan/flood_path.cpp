#include "nav/plan/flood_path.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "map/map_cell.h"

namespace {

struct Neighbour {
  int dx, dy;
  double heading;
};

// The descent order: on equal values the earlier neighbour wins.
constexpr Neighbour DESCENT_NEIGHBOURS[8] = {{1, 0, 0.0},     {1, 1, 45.0},   {0, 1, 90.0},  {-1, 1, 135.0},
                                             {-1, 0, 180.0},  {-1, -1, -135.0}, {0, -1, -90.0}, {1, -1, -45.0}};

// One axis of the point-in-grid test: strictly between the grid's bounds in mm, and a
// cell index inside the extents (rounding of v / res cannot push it out).
bool axisCell(double v, double res, int32_t below, int32_t above, int32_t& cell) {
  if (!(-below * res < v && v < above * res)) return false;
  cell = static_cast<int32_t>(v / res);
  return cell > -below && cell < above;
}

}  // namespace

FloodPath::FloodPath(ArPose goal, double res, double robotRadius, OccupancyMap* map)
    : floodGrid(res, 1.0),
      goal(goal),
      robotRadius(robotRadius),
      slowDownSteps(static_cast<int16_t>(2 + static_cast<int>(3.0 * robotRadius / res))) {
  assert(map != nullptr);
  maps.push_back(map);
  computeFlood();
}

bool FloodPath::containsPoint(double x, double y) const {
  const double res = floodGrid.res;
  return -floodGrid.minx * res < x && x < floodGrid.maxx * res && -floodGrid.miny * res < y &&
         y < floodGrid.maxy * res;
}

bool FloodPath::cellOfPoint(double x, double y, int32_t& cx, int32_t& cy) const {
  const double res = floodGrid.res;
  return axisCell(x, res, floodGrid.minx, floodGrid.maxx, cx) && axisCell(y, res, floodGrid.miny, floodGrid.maxy, cy);
}

double FloodPath::pathSpeed(double x, double y) const {
  int32_t cx, cy;
  if (!cellOfPoint(x, y, cx, cy)) return 0.0;
  const auto v = static_cast<int16_t>(floodGrid.cellValue(cx, cy));
  if (v >= FLOOD_OBSTACLE) return 0.1;
  if (v <= slowDownSteps) return 0.25;
  return 1.0;
}

bool FloodPath::onGoalCell(double x, double y) const {
  int32_t cx, cy;
  return cellOfPoint(x, y, cx, cy) && floodGrid.cellValue(cx, cy) == 1;
}

bool FloodPath::reachesNear(double x, double y, int32_t reach) const {
  int32_t cx, cy;
  if (!cellOfPoint(x, y, cx, cy)) return false;
  for (int32_t nx = cx - reach; nx <= cx + reach; ++nx) {
    for (int32_t ny = cy - reach; ny <= cy + reach; ++ny) {
      if (!floodGrid.inBounds(nx, ny)) continue;
      const auto v = static_cast<int16_t>(floodGrid.cellValue(nx, ny));
      if (v >= 1 && v <= FLOOD_LAST_WAVE) return true;
    }
  }
  return false;
}

double FloodPath::pathHeading(double x, double y) const {
  int32_t cx, cy;
  if (!cellOfPoint(x, y, cx, cy)) return FLOOD_NO_DESCENT;
  auto best = static_cast<int16_t>(floodGrid.cellValue(cx, cy));
  double result = FLOOD_NO_DESCENT;
  const double res = floodGrid.res;
  for (const Neighbour& n : DESCENT_NEIGHBOURS) {
    int32_t nx, ny;
    if (!cellOfPoint(x + n.dx * res, y + n.dy * res, nx, ny)) continue;
    const auto v = static_cast<int16_t>(floodGrid.cellValue(nx, ny));
    if (v >= best) continue;
    best = v;
    result = n.heading;
  }
  return result;
}

void FloodPath::markObstacle(double x, double y) {
  forEachGrownCell(x, y, [this](int32_t cx, int32_t cy) { floodGrid.cellAt(cx, cy) = FLOOD_OBSTACLE; });
}

// The grown square is every point (x ± i·res, y ± j·res), 0 <= i, j <= trunc(radius /
// res), that lies inside the grid. A point is inside when its x and its y each are, so
// the admissible rows are listed once and crossed with the admissible columns.
template <class SetCell>
void FloodPath::forEachGrownCell(double x, double y, SetCell&& set) {
  int32_t cx, cy;
  if (!cellOfPoint(x, y, cx, cy)) return;
  set(cx, cy);
  const double res = floodGrid.res;
  const int n = static_cast<int>(robotRadius / res);
  if (n <= 0) return;
  myGrownRows.clear();
  for (int j = 0; j <= n; ++j) {
    for (double row : {y + j * res, y - j * res}) {
      if (axisCell(row, res, floodGrid.miny, floodGrid.maxy, cy)) myGrownRows.push_back(cy);
    }
  }
  for (int i = 0; i <= n; ++i) {
    for (double column : {x + i * res, x - i * res}) {
      if (!axisCell(column, res, floodGrid.minx, floodGrid.maxx, cx)) continue;
      for (int32_t row : myGrownRows) set(cx, row);
    }
  }
}

void FloodPath::computeFlood() {
  floodGrid.reset();
  myFlatExtents = {floodGrid.minx, floodGrid.maxx, floodGrid.miny, floodGrid.maxy};
  myFlat.assign(myFlatExtents.columns() * myFlatExtents.columnLength(), static_cast<uint16_t>(FLOOD_OBSTACLE));
  myFlat[myFlatExtents.index(0, 0)] = 0;

  for (OccupancyMap* map : maps) {
    ArLockGuard hold(map->mutex);
    const double res = floodGrid.res;
    floodGrid.growToInclude(static_cast<int32_t>(-map->minx * map->res / res),
                            static_cast<int32_t>(-map->miny * map->res / res));
    floodGrid.growToInclude(static_cast<int32_t>(map->maxx * map->res / res),
                            static_cast<int32_t>(map->maxy * map->res / res));
    fitFlatToGrid();
    markMapObstacles(*map);
  }

  const double res = floodGrid.res;
  const double gx = res * std::trunc(goal.getX() / res);
  const double gy = res * std::trunc(goal.getY() / res);
  // A goal beyond any map's reach would make the grid grow without bound; such a plan
  // keeps no goal and every free cell stays unreached.
  if (pointInBounds(gx, gy)) {
    const int32_t goalX = floodGrid.toCell(gx);
    const int32_t goalY = floodGrid.toCell(gy);
    floodGrid.growToInclude(goalX, goalY);
    fitFlatToGrid();
    spreadWaves(myFlatExtents.index(goalX, goalY));
  }
  writeFlatToGrid();
}

// Re-lays the flat copy out for the grid's current extents, keeping every cell at its
// (x, y). New cells are 0; the padding all round is FLOOD_OBSTACLE.
void FloodPath::fitFlatToGrid() {
  const Extents now{floodGrid.minx, floodGrid.maxx, floodGrid.miny, floodGrid.maxy};
  if (now == myFlatExtents) return;
  const size_t length = now.columnLength();
  myFlatSpare.assign(now.columns() * length, 0);
  const auto border = static_cast<uint16_t>(FLOOD_OBSTACLE);
  std::fill_n(myFlatSpare.begin(), length, border);
  std::fill_n(myFlatSpare.end() - static_cast<ptrdiff_t>(length), length, border);
  for (size_t column = 1; column + 1 < now.columns(); ++column) {
    myFlatSpare[column * length] = border;
    myFlatSpare[column * length + length - 1] = border;
  }
  const Extents& was = myFlatExtents;
  const int32_t lowY = 1 - was.miny;
  const size_t cells = static_cast<size_t>(was.miny) + was.maxy - 1;
  for (int32_t x = 1 - was.minx; x < was.maxx; ++x) {
    std::memcpy(&myFlatSpare[now.index(x, lowY)], &myFlat[was.index(x, lowY)], cells * sizeof(uint16_t));
  }
  myFlat.swap(myFlatSpare);
  myFlatExtents = now;
}

// Samples the grid's area in steps of the map's cell size and grows every obstacle
// cell met into the flat copy. The rows of samples are the same in every column, so
// their map cells are computed once.
void FloodPath::markMapObstacles(const OccupancyMap& map) {
  const double step = map.res;
  if (!(step > 0)) return;  // a broken resolution would never end the scan
  const double res = floodGrid.res;
  const double xlo = -floodGrid.minx * res, xhi = floodGrid.maxx * res;
  const double ylo = -floodGrid.miny * res, yhi = floodGrid.maxy * res;
  myRows.clear();
  for (double cy = ylo + step; cy < yhi; cy += step) myRows.push_back({cy, map.toCell(cy)});

  auto setFlat = [this](int32_t cx, int32_t cy) { myFlat[myFlatExtents.index(cx, cy)] = FLOOD_OBSTACLE; };
  for (double cx = xlo + step; cx < xhi; cx += step) {
    const int32_t mapX = map.toCell(cx);
    if (mapX <= -map.minx || mapX >= map.maxx) continue;  // the whole column reads unknown
    for (const Sample& row : myRows) {
      if (isObstacleCell(map.cellOrUnknown(mapX, row.cell))) forEachGrownCell(cx, row.mm, setFlat);
    }
  }
}

// Breadth-first from the goal over the cells that hold 0, in the neighbour order
// x - 1, x + 1, y - 1, y + 1. Each cell is labelled when it is first reached, with one
// more than the cell it was reached from: the same numbers as expanding whole waves.
void FloodPath::spreadWaves(size_t goalIndex) {
  const auto stride = static_cast<ptrdiff_t>(myFlatExtents.columnLength());
  const ptrdiff_t steps[4] = {-stride, stride, -1, 1};
  myQueue.resize(myFlat.size());
  myFlat[goalIndex] = 1;
  size_t head = 0, tail = 0;
  myQueue[tail++] = static_cast<uint32_t>(goalIndex);
  while (head < tail) {
    const size_t at = myQueue[head++];
    const uint16_t wave = myFlat[at];
    if (wave >= static_cast<uint16_t>(FLOOD_LAST_WAVE)) continue;
    for (ptrdiff_t step : steps) {
      const size_t next = static_cast<size_t>(static_cast<ptrdiff_t>(at) + step);
      if (myFlat[next] != 0) continue;
      myFlat[next] = static_cast<uint16_t>(wave + 1);
      myQueue[tail++] = static_cast<uint32_t>(next);
    }
  }
}

void FloodPath::writeFlatToGrid() {
  const Extents& e = myFlatExtents;
  for (int32_t x = 1 - e.minx; x < e.maxx; ++x) {
    QuadrantGrid::Row& up = x >= 0 ? floodGrid.posXposY[x] : floodGrid.negXposY[-x];
    QuadrantGrid::Row& down = x >= 0 ? floodGrid.posXnegY[x] : floodGrid.negXnegY[-x];
    const size_t zero = e.index(x, 0);
    std::copy_n(myFlat.begin() + static_cast<ptrdiff_t>(zero), e.maxy, up.begin());
    for (int32_t y = 1; y < e.miny; ++y) down[y] = myFlat[zero - y];
  }
}
