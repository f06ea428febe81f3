#pragma once
// A dense copy of a rectangle of an occupancy map: what the planners work on. The
// rectangle is the part of the map the team has observed, plus a margin, so that the
// cost of a plan grows with what is known, not with how far the map was grown (a pose
// from far away grows every map that far).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "map/map_cell.h"
#include "map/occupancy_map.h"

// Millimetres to a cell index of a grid of cell size res, as the maps count: truncated
// toward zero (cell 0 spans (-res, res)), saturated at the 32-bit range, NaN to 0.
int32_t toCellIndex(double mm, double res);

// The cells x0..x1 by y0..y1, both ends included.
struct CellBox {
  int32_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;

  bool empty() const { return x1 < x0 || y1 < y0; }
  bool contains(int32_t x, int32_t y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
  size_t cells() const { return empty() ? 0 : static_cast<size_t>(x1 - x0 + 1) * static_cast<size_t>(y1 - y0 + 1); }
  CellBox grown(int32_t by) const { return {x0 - by, y0 - by, x1 + by, y1 + by}; }
  void include(int32_t x, int32_t y);
};

// Grows box until no known cell of the map lies within reach cells outside it: the
// known area the box touches and everything known close to it. Known cells farther away
// (the footprint a pose from far off stamps) stay out. The caller holds the map's mutex
// or owns the map; box starts as the robot's cell or the box of an earlier call (known
// cells are not forgotten, so it is grown, never scanned again).
void growToObserved(const OccupancyMap& map, CellBox& box, int32_t reach);

class MapWindow {
 public:
  double res = MAP_RES_MM;

  // Copies the box's cells of the map; cells the map does not address read unknown.
  // The caller holds the map's mutex or owns the map. Earlier storage is reused.
  void copyFrom(const OccupancyMap& map, const CellBox& box);
  // The whole addressable area of the map.
  void copyFrom(const OccupancyMap& map);

  const CellBox& box() const { return myBox; }
  bool inBounds(int32_t x, int32_t y) const { return myBox.contains(x, y); }
  MapCell cellValue(int32_t x, int32_t y) const { return myCells[index(x, y)]; }
  MapCell& cellAt(int32_t x, int32_t y) { return myCells[index(x, y)]; }
  MapCell cellOrUnknown(int32_t x, int32_t y) const { return inBounds(x, y) ? cellValue(x, y) : CELL_UNKNOWN; }
  int32_t toCell(double mm) const { return toCellIndex(mm, res); }

 private:
  size_t index(int32_t x, int32_t y) const {
    return static_cast<size_t>(x - myBox.x0) * static_cast<size_t>(myBox.y1 - myBox.y0 + 1) + static_cast<size_t>(y - myBox.y0);
  }

  CellBox myBox;
  std::vector<MapCell> myCells;
};
