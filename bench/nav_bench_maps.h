#pragma once
// Local maps with the obstacles a robot meets indoors: outer walls, partition walls
// with doorways, and pillars, for the navigation benchmarks.
#include <cstdint>

#include "map/map_cell.h"
#include "map/occupancy_map.h"

namespace navbench {

constexpr MapCell WALL = 0x00FE;

inline void wallX(OccupancyMap& map, int32_t y, int32_t x0, int32_t x1) {
  for (int32_t x = x0; x <= x1; ++x) map.cellAt(x, y) = WALL;
}
inline void wallY(OccupancyMap& map, int32_t x, int32_t y0, int32_t y1) {
  for (int32_t y = y0; y <= y1; ++y) map.cellAt(x, y) = WALL;
}

inline void markFree(OccupancyMap& map) {
  for (int32_t x = 1 - map.minx; x < map.maxx; ++x) {
    for (int32_t y = 1 - map.miny; y < map.maxy; ++y) map.cellAt(x, y) = 0;
  }
}

// Marks every addressable cell known free, then builds a floor plan of rooms of
// roomCells cells with doorways, and a pillar in every room.
inline void furnish(OccupancyMap& map, int32_t roomCells) {
  markFree(map);
  const int32_t lo = 2 - map.minx, hi = map.maxx - 2;
  wallX(map, 2 - map.miny, lo, hi);
  wallX(map, map.maxy - 2, lo, hi);
  wallY(map, lo, 2 - map.miny, map.maxy - 2);
  wallY(map, hi, 2 - map.miny, map.maxy - 2);
  for (int32_t x = lo + roomCells; x < hi; x += roomCells) {
    for (int32_t y = 2 - map.miny; y < map.maxy - 2; ++y) {
      if ((y - (2 - map.miny)) % roomCells > 8) map.cellAt(x, y) = WALL;  // doorways of 9 cells
    }
  }
  for (int32_t y = 2 - map.miny + roomCells; y < map.maxy - 2; y += roomCells) {
    for (int32_t x = lo; x < hi; ++x) {
      if ((x - lo) % roomCells > 8) map.cellAt(x, y) = WALL;
    }
  }
  for (int32_t x = lo + roomCells / 2; x < hi; x += roomCells) {
    for (int32_t y = 2 - map.miny + roomCells / 2; y < map.maxy - 2; y += roomCells) {
      for (int32_t dx = 0; dx < 3; ++dx) wallX(map, y + dx, x, x + 2);
    }
  }
}

// The built-in local map (249 x 249 cells of 100 mm).
inline void buildSmall(OccupancyMap& map) { furnish(map, 40); }

// The local map grown to about 1000 x 1000 cells.
inline void buildLarge(OccupancyMap& map) {
  map.growToCover(375, 375);
  map.growToCover(-375, -375);
  furnish(map, 40);
}

}  // namespace navbench
