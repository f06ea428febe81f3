#include "nav/plan/frontiers.h"

#include <cstddef>
#include <cstdint>

#include "map/map_cell.h"

namespace {

enum Kind : uint8_t {
  UNKNOWN,       // unknown, not yet sorted into an area
  FREE,          // known, below obstacle occupancy
  OBSTACLE,      // known, at or above obstacle occupancy
  OPEN_UNKNOWN,  // unknown, in an area large enough to explore
  HOLE,          // unknown, in a small area enclosed by known cells
  FRONTIER,      // free, next to open unknown space
  GROUPED,       // a frontier cell already put into a region
};

using KindGrid = FlatGrid<Kind>;

Kind kindOf(MapCell c) {
  if (c & CELL_UNKNOWN) return UNKNOWN;
  return isObstacleCell(c) ? OBSTACLE : FREE;
}

// The ring of the flat grid is unknown: the unknown beyond the window is connected all
// round, so the area it belongs to is always large.
KindGrid kindsOf(const MapWindow& map) {
  KindGrid grid(map.box(), UNKNOWN);
  grid.forEachBoxCell([&](int32_t x, int32_t y, size_t i) { grid[i] = kindOf(map.cellValue(x, y)); });
  return grid;
}

// Gathers the cells of kind `from` connected to start (4-connected, or 8-connected with
// `diagonals`), relabelling each `to` as it is reached; appends them to `area`.
void gather(KindGrid& grid, size_t start, Kind from, Kind to, bool diagonals, std::vector<size_t>& area) {
  const size_t first = area.size();
  grid[start] = to;
  area.push_back(start);
  for (size_t next = first; next < area.size(); ++next) {
    const size_t at = area[next];
    for (int k = 0; k < (diagonals ? 8 : 4); ++k) {
      size_t n;
      if (!grid.neighbour(at, k, n) || grid[n] != from) continue;
      grid[n] = to;
      area.push_back(n);
    }
  }
}

// Every unknown area becomes OPEN_UNKNOWN or, when small, HOLE. The first area gathered
// (from cell 0, on the ring) holds the ring and everything unknown connected to it.
void sortUnknownAreas(KindGrid& grid, const FrontierLimits& limits) {
  std::vector<size_t> area;
  for (size_t i = 0; i < grid.size(); ++i) {
    if (grid[i] != UNKNOWN) continue;
    area.clear();
    gather(grid, i, UNKNOWN, OPEN_UNKNOWN, false, area);
    if (i == 0 || area.size() >= static_cast<size_t>(limits.minUnknownCells)) continue;
    for (size_t a : area) grid[a] = HOLE;
  }
}

void markFrontierCells(KindGrid& grid) {
  for (size_t i = 0; i < grid.size(); ++i) {
    if (grid[i] != FREE) continue;
    for (int k = 0; k < 4; ++k) {
      size_t n;
      if (!grid.neighbour(i, k, n) || grid[n] != OPEN_UNKNOWN) continue;
      grid[i] = FRONTIER;
      break;
    }
  }
}

}  // namespace

std::vector<FrontierRegion> findFrontiers(const MapWindow& map, const FrontierLimits& limits) {
  KindGrid grid = kindsOf(map);
  sortUnknownAreas(grid, limits);
  markFrontierCells(grid);
  std::vector<FrontierRegion> regions;
  std::vector<size_t> area;
  for (size_t i = 0; i < grid.size(); ++i) {
    if (grid[i] != FRONTIER) continue;
    area.clear();
    gather(grid, i, FRONTIER, GROUPED, true, area);
    if (area.size() < static_cast<size_t>(limits.minRegionCells)) continue;
    FrontierRegion& region = regions.emplace_back();
    region.cells.reserve(area.size());
    for (size_t a : area) region.cells.push_back(grid.cellOf(a));
  }
  return regions;
}
