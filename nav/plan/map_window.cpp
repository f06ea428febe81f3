#include "nav/plan/map_window.h"

#include <algorithm>
#include <cmath>

namespace {

CellBox addressable(const QuadrantGrid& map) { return {1 - map.minx, 1 - map.miny, map.maxx - 1, map.maxy - 1}; }

CellBox clipped(const CellBox& box, const CellBox& to) {
  return {std::max(box.x0, to.x0), std::max(box.y0, to.y0), std::min(box.x1, to.x1), std::min(box.y1, to.y1)};
}

// The box of the known cells of the map within area but outside inner; empty when none.
CellBox knownAround(const OccupancyMap& map, const CellBox& inner, const CellBox& area) {
  CellBox found;
  auto scan = [&](int32_t x, int32_t from, int32_t to) {
    for (int32_t y = from; y <= to; ++y) {
      if (!(map.cellValue(x, y) & CELL_UNKNOWN)) found.include(x, y);
    }
  };
  for (int32_t x = area.x0; x <= area.x1; ++x) {
    if (x < inner.x0 || x > inner.x1) {
      scan(x, area.y0, area.y1);
      continue;
    }
    scan(x, area.y0, std::min(area.y1, inner.y0 - 1));
    scan(x, std::max(area.y0, inner.y1 + 1), area.y1);
  }
  return found;
}

}  // namespace

void CellBox::include(int32_t x, int32_t y) {
  if (empty()) {
    *this = {x, y, x, y};
    return;
  }
  x0 = std::min(x0, x);
  y0 = std::min(y0, y);
  x1 = std::max(x1, x);
  y1 = std::max(y1, y);
}

void growToObserved(const OccupancyMap& map, CellBox& box, int32_t reach) {
  if (box.empty()) return;
  const CellBox all = addressable(map);
  for (;;) {
    const CellBox found = knownAround(map, box, clipped(box.grown(reach), all));
    if (found.empty()) return;
    box.include(found.x0, found.y0);
    box.include(found.x1, found.y1);
  }
}

void MapWindow::copyFrom(const OccupancyMap& map, const CellBox& box) {
  res = map.res;
  myBox = box;
  myCells.resize(box.cells());
  for (int32_t x = box.x0; x <= box.x1; ++x) {
    for (int32_t y = box.y0; y <= box.y1; ++y) myCells[index(x, y)] = map.cellOrUnknown(x, y);
  }
}

void MapWindow::copyFrom(const OccupancyMap& map) { copyFrom(map, addressable(map)); }

int32_t toCellIndex(double mm, double res) {
  const double c = mm / res;
  if (c >= 2147483647.0) return INT32_MAX;
  if (c <= -2147483648.0) return INT32_MIN;
  if (std::isnan(c)) return 0;
  return static_cast<int32_t>(c);
}
