#pragma once
// Straight runs of cells of an occupancy map, addressed without a quadrant choice per
// cell: the map updates walk rows and columns through these.
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "map/occupancy_map.h"

// The cells at one x, split into those with y >= 0 and with y < 0 (indexed by |y|), so
// that walking along y costs no store lookup per cell.
struct RowHalves {
  uint16_t* nonNegativeY;
  uint16_t* negativeY;
  uint16_t& operator[](int32_t y) const { return y >= 0 ? nonNegativeY[y] : negativeY[-static_cast<int64_t>(y)]; }
};

inline RowHalves rowAt(OccupancyMap& map, int32_t x) {
  assert(x > -map.minx && x < map.maxx);
  if (x >= 0) return {map.posXposY[static_cast<size_t>(x)].data(), map.posXnegY[static_cast<size_t>(x)].data()};
  const size_t row = static_cast<size_t>(-static_cast<int64_t>(x));
  return {map.negXposY[row].data(), map.negXnegY[row].data()};
}

// The cells at one y, split into those with x >= 0 and with x < 0 (rows by |x|), so
// that walking along x needs one row lookup per cell and no quadrant choice.
struct ColumnHalves {
  QuadrantGrid::Row* nonNegativeX;
  QuadrantGrid::Row* negativeX;
  size_t cell;
  uint16_t& operator[](int32_t x) const {
    return x >= 0 ? nonNegativeX[x][cell] : negativeX[-static_cast<int64_t>(x)][cell];
  }
};

inline ColumnHalves columnAt(OccupancyMap& map, int32_t y) {
  assert(y > -map.miny && y < map.maxy);
  if (y >= 0) return {map.posXposY.data(), map.negXposY.data(), static_cast<size_t>(y)};
  return {map.posXnegY.data(), map.negXnegY.data(), static_cast<size_t>(-static_cast<int64_t>(y))};
}
