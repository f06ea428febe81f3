#include "map/map_updates.h"

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

// Walks from the edge of the robot's square along (dx, dy) up to ssrange cells. When an
// older footprint lies there with nothing but occupancy-0 cells before it, the gap up
// to it is marked free; the footprint run next to the square itself is skipped.
void fillCorridor(OccupancyMap& map, int32_t cx, int32_t cy, int32_t dx, int32_t dy) {
  const int32_t first = map.rradius + 1;
  bool leading = true;
  for (int32_t k = first; k <= map.ssrange; ++k) {
    MapCell c = map.cellValue(cx + dx * k, cy + dy * k);
    if ((c & CELL_OCCUPANCY) != 0) return;
    if ((c & ANY_FOOTPRINT) == 0) {
      leading = false;
      continue;
    }
    if (leading) continue;
    for (int32_t j = first; j < k; ++j) freeCell(map, cx + dx * j, cy + dy * j);
    return;
  }
}

void fillCorridors(OccupancyMap& map, int32_t cx, int32_t cy) {
  fillCorridor(map, cx, cy, -1, 0);
  fillCorridor(map, cx, cy, 1, 0);
  fillCorridor(map, cx, cy, 0, -1);
  fillCorridor(map, cx, cy, 0, 1);
}

template <MapCell (*Stamp)(MapCell)>
void stampSquare(OccupancyMap& map, int32_t cx, int32_t cy) {
  const int32_t r = map.rradius > 0 ? map.rradius : 0;
  for (int32_t x = cx - r; x <= cx + r; ++x) {
    for (int32_t y = cy - r; y <= cy + r; ++y) {
      MapCell& c = map.cellAt(x, y);
      c = Stamp(c);
    }
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
  const int32_t ax = 2 * adx, ay = 2 * ady;
  int32_t x = x0, y = y0;
  if (ax > ay) {
    for (int32_t err = ay - adx;;) {
      if (err >= 0) { y += sy; err -= ax; }
      x += sx;
      err += ay;
      if (x == x1) return;
      freeCell(map, x, y);
    }
  }
  if (ady == 0) return;
  for (int32_t err = ax - ady;;) {
    if (err >= 0) { x += sx; err -= ay; }
    y += sy;
    err += ax;
    if (y == y1) return;
    freeCell(map, x, y);
  }
}
