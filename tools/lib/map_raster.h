#pragma once
// An agent map seen the way ROS tools and most pictures show maps: one pixel per cell,
// +x to the right and +y up. The agent's own PPM file shows +x up and +y to the left;
// every exporter goes through this view so that no two of them transpose differently.
#include <cstdint>

#include "map/occupancy_map.h"

// What a cell means to a reader of the map.
enum class CellClass : uint8_t { Unknown, Free, Obstacle };

// Unknown unless observed; an obstacle at the navigation threshold and above (as the
// behaviours and mapscore read it); free below it.
inline CellClass classify(MapCell c) {
  if ((c & CELL_UNKNOWN) != 0) return CellClass::Unknown;
  return (c & CELL_OCCUPANCY) >= OBSTACLE_OCCUPANCY ? CellClass::Obstacle : CellClass::Free;
}

// A rectangle of cells as an image: column 0 is the smallest x, row 0 the largest y.
struct RasterView {
  int32_t x0, x1, y0, y1;  // the cells shown, inclusive

  // Every addressable cell of the map.
  static RasterView whole(const QuadrantGrid& map) { return {-map.minx + 1, map.maxx - 1, -map.miny + 1, map.maxy - 1}; }

  int32_t width() const { return x1 - x0 + 1; }
  int32_t height() const { return y1 - y0 + 1; }
  int32_t cellX(int32_t column) const { return x0 + column; }
  int32_t cellY(int32_t row) const { return y1 - row; }
};

// Cell (x, y) is drawn as the square of one cell edge centred on (x res, y res): the
// agent truncates toward zero when it finds a point's cell, so this keeps every point
// within one cell of the square drawn for it, on both sides of the origin. The world
// position, in metres, of the lower-left corner of the view's lower-left pixel.
inline double lowerLeftMetres(int32_t firstCell, double resMm) { return (firstCell - 0.5) * resMm / 1000.0; }
