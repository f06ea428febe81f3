#include "map/occupancy_map.h"

#include <algorithm>

OccupancyMap::OccupancyMap(double res, double robotRadius, double corridorReach)
    : QuadrantGrid(res, CELL_UNKNOWN, std::max(robotRadius, corridorReach) + 100 * res),
      rradius(static_cast<int32_t>(robotRadius / res)),
      ssrange(static_cast<int32_t>(corridorReach / res)),
      margin(static_cast<int32_t>(std::max(robotRadius, corridorReach) / res + 10)) {
  clear();
}

void OccupancyMap::clear() { rebuild(CELL_UNKNOWN); }

void OccupancyMap::growCovering(int32_t x, int32_t y) {
  int64_t x64 = x, y64 = y;
  if (x64 >= 0 && x64 + margin >= maxx) maxx = static_cast<int32_t>(x64 + growStep);
  if (x64 < 0 && margin - x64 >= minx) minx = static_cast<int32_t>(growStep - x64);
  if (y64 >= 0 && y64 + margin >= maxy) maxy = static_cast<int32_t>(y64 + growStep);
  if (y64 < 0 && margin - y64 >= miny) miny = static_cast<int32_t>(growStep - y64);
  resizeStores(CELL_UNKNOWN);
}

namespace {

// Known cells of one store, skipping row 0 (negative x) and cell 0 (negative y): those
// exist only to keep indexing plain and are never addressed.
long knownInStore(const QuadrantGrid::Store& store, size_t firstRow, size_t firstCell) {
  long n = 0;
  for (size_t r = firstRow; r < store.size(); ++r) {
    const QuadrantGrid::Row& row = store[r];
    n += std::count_if(row.begin() + static_cast<long>(std::min(firstCell, row.size())), row.end(),
                       [](uint16_t c) { return (c & CELL_UNKNOWN) == 0; });
  }
  return n;
}

}  // namespace

long OccupancyMap::knownCells() const {
  return knownInStore(posXposY, 0, 0) + knownInStore(negXposY, 1, 0) + knownInStore(negXnegY, 1, 1) +
         knownInStore(posXnegY, 0, 1);
}
