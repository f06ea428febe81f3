#pragma once
// A copy of the cells of a map within a square around a point: what the scan matcher
// works on, taken in one short locked step so that matching holds no map mutex.
#include <cstdint>
#include <vector>

#include "map/map_cell.h"
#include "map/occupancy_map.h"

struct MapWindow {
  double res = MAP_RES_MM;
  int32_t x0 = 0, y0 = 0;          // cell indices of the first column and row
  int32_t width = 0, height = 0;   // columns and rows
  std::vector<MapCell> cells;      // row by row

  // The cell, or CELL_UNKNOWN outside the window.
  MapCell at(int32_t x, int32_t y) const {
    if (x < x0 || y < y0 || x >= x0 + width || y >= y0 + height) return CELL_UNKNOWN;
    return cells[static_cast<size_t>(y - y0) * static_cast<size_t>(width) + static_cast<size_t>(x - x0)];
  }
  // The cell holding the point (mm), as the map files points (indices truncated toward zero).
  MapCell cellAt(double x, double y) const { return at(cellIndex(x), cellIndex(y)); }
  int32_t cellIndex(double mm) const { return static_cast<int32_t>(mm / res); }
  // The middle of cell i along one axis, mm. Indices truncate toward zero, so cell 0 spans
  // (-res, res) and every other cell lies wholly on one side of the origin.
  double cellCentre(int32_t i) const { return i == 0 ? 0.0 : (i > 0 ? i + 0.5 : i - 0.5) * res; }
};

// The cells of map within reach (mm) of (x, y) on either axis; cells the map does not
// address are unknown. The caller holds the map's mutex.
MapWindow copyMapWindow(const OccupancyMap& map, double x, double y, double reach);

// Fills the cells into does not know from other (same cell size).
void fillUnknownCells(MapWindow& into, const MapWindow& other);
