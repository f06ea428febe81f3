#include "map/map_updates.h"

#include "map/cell_lines.h"

namespace {

using StampFn = void (*)(OccupancyMap&, int32_t, int32_t);

constexpr MapCell ANY_FOOTPRINT = CELL_OWN_FOOTPRINT | CELL_FOOTPRINT;

bool poseInBounds(const ArPose& p) { return pointInBounds(p.getX(), p.getY()); }

void freeCell(OccupancyMap& map, int32_t x, int32_t y) {
  MapCell& c = map.cellAt(x, y);
  c = applyFree(c);
}

void hitCell(OccupancyMap& map, int32_t x, int32_t y) {
  MapCell& c = map.cellAt(x, y);
  c = applyHit(c);
}

// Walks from the edge of the robot's square outward up to ssrange cells; cellAtDistance(k)
// gives the cell k steps away. When an older footprint lies there with nothing but
// occupancy-0 cells before it, the gap up to it is marked free; the footprint run next
// to the square itself is skipped.
template <typename CellAtDistance>
void fillCorridor(const OccupancyMap& map, CellAtDistance cellAtDistance) {
  const int32_t first = map.rradius + 1;
  bool leading = true;
  for (int32_t k = first; k <= map.ssrange; ++k) {
    const MapCell c = cellAtDistance(k);
    if ((c & CELL_OCCUPANCY) != 0) return;
    if ((c & ANY_FOOTPRINT) == 0) {
      leading = false;
      continue;
    }
    if (leading) continue;
    for (int32_t j = first; j < k; ++j) {
      MapCell& f = cellAtDistance(j);
      f = applyFree(f);
    }
    return;
  }
}

// Toward -x and +x along row cy, then toward -y and +y along column cx.
void fillCorridors(OccupancyMap& map, int32_t cx, int32_t cy) {
  const ColumnHalves alongX = columnAt(map, cy);
  fillCorridor(map, [&](int32_t k) -> MapCell& { return alongX[cx - k]; });
  fillCorridor(map, [&](int32_t k) -> MapCell& { return alongX[cx + k]; });
  const RowHalves alongY = rowAt(map, cx);
  fillCorridor(map, [&](int32_t k) -> MapCell& { return alongY[cy - k]; });
  fillCorridor(map, [&](int32_t k) -> MapCell& { return alongY[cy + k]; });
}

template <MapCell (*Stamp)(MapCell)>
void stampSquare(OccupancyMap& map, int32_t cx, int32_t cy) {
  const int32_t r = map.rradius > 0 ? map.rradius : 0;
  for (int32_t x = cx - r; x <= cx + r; ++x) {
    const RowHalves row = rowAt(map, x);
    for (int32_t y = cy - r; y <= cy + r; ++y) {
      assert(map.inBounds(x, y));
      MapCell& c = row[y];
      c = Stamp(c);
    }
  }
}

// The Bresenham walk from (0, 0) toward (majorLen, minorLen) along the major axis,
// calling visit(major, minor) for every cell strictly before the end cell. The minor
// step is taken without a branch: it is unpredictable for most slopes.
template <typename Visit>
void walkMajor(int32_t majorLen, int32_t minorLen, Visit visit) {
  const int32_t twoMajor = 2 * majorLen, twoMinor = 2 * minorLen;
  int32_t err = twoMinor - majorLen;
  int32_t minor = 0;
  for (int32_t major = 1; major < majorLen; ++major) {
    const int32_t step = err >= 0 ? 1 : 0;
    minor += step;
    err += twoMinor - (twoMajor & -step);
    visit(major, minor);
  }
}

bool markRay(OccupancyMap& map, const ArPose& point, const ArPose& robotPose, StampFn stamp) {
  if (!poseInBounds(point) || !poseInBounds(robotPose)) return false;
  const int32_t px = map.toCell(point.getX()), py = map.toCell(point.getY());
  const int32_t rx = map.toCell(robotPose.getX()), ry = map.toCell(robotPose.getY());
  map.growToCover(px, py);
  map.growToCover(rx, ry);
  stamp(map, rx, ry);
  clearRay(map, rx, ry, px, py);
  hitCell(map, px, py);
  return true;
}

bool markRobotCell(OccupancyMap& map, const ArPose& robotPose, StampFn stamp) {
  if (!poseInBounds(robotPose)) return false;
  const int32_t rx = map.toCell(robotPose.getX()), ry = map.toCell(robotPose.getY());
  map.growToCover(rx, ry);
  stamp(map, rx, ry);
  return true;
}

}  // namespace

bool markHit(OccupancyMap& map, const ArPose& point) {
  if (!poseInBounds(point)) return false;
  const int32_t px = map.toCell(point.getX()), py = map.toCell(point.getY());
  map.growToCover(px, py);
  hitCell(map, px, py);
  return true;
}

bool markReading(OccupancyMap& map, const ArPose& point, const ArPose& robotPose) {
  return markRay(map, point, robotPose, stampFootprint);
}

bool markPeerReading(OccupancyMap& map, const ArPose& point, const ArPose& robotPose) {
  return markRay(map, point, robotPose, stampPeerFootprint);
}

bool markPose(OccupancyMap& map, const ArPose& robotPose) { return markRobotCell(map, robotPose, stampFootprint); }

bool markPeerPose(OccupancyMap& map, const ArPose& robotPose) {
  return markRobotCell(map, robotPose, stampPeerFootprint);
}

void stampFootprint(OccupancyMap& map, int32_t cx, int32_t cy) {
  assert(map.inBounds(cx, cy));
  if (map.ssrange > 0) {
    // The corridor scans and the square need these cells even where the caller
    // covered only the robot's cell.
    map.growToCover(cx - map.ssrange, cy - map.ssrange);
    map.growToCover(cx + map.rradius + 1, cy + map.rradius + 1);
    fillCorridors(map, cx, cy);
  }
  stampSquare<applyOwnStamp>(map, cx, cy);
}

void stampPeerFootprint(OccupancyMap& map, int32_t cx, int32_t cy) {
  assert(map.inBounds(cx, cy));
  if (map.ssrange > 0) fillCorridors(map, cx, cy);
  stampSquare<applyPeerStamp>(map, cx, cy);
}

void clearRay(OccupancyMap& map, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  assert(map.inBounds(x0, y0) && map.inBounds(x1, y1));
  const int32_t adx = x1 >= x0 ? x1 - x0 : x0 - x1, ady = y1 >= y0 ? y1 - y0 : y0 - y1;
  const int32_t sx = x1 >= x0 ? 1 : -1, sy = y1 >= y0 ? 1 : -1;
  if (2 * adx > 2 * ady) {
    walkMajor(adx, ady, [&](int32_t major, int32_t minor) { freeCell(map, x0 + sx * major, y0 + sy * minor); });
    return;
  }
  walkMajor(ady, adx, [&](int32_t major, int32_t minor) { freeCell(map, x0 + sx * minor, y0 + sy * major); });
}
