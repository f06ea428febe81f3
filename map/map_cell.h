#pragma once
// The 16-bit cell of an occupancy map and the coordinate bound every map update honours.
#include <cmath>
#include <cstdint>

using MapCell = uint16_t;

constexpr MapCell CELL_OCCUPANCY = 0x00FF;      // 0 free, rising toward 255 with each hit
constexpr MapCell CELL_RESERVED = 0x1F00;       // never set; kept by every update and the file
constexpr MapCell CELL_OWN_FOOTPRINT = 0x2000;  // this agent's robot stood here
constexpr MapCell CELL_FOOTPRINT = 0x4000;      // some agent's robot stood here
constexpr MapCell CELL_UNKNOWN = 0x8000;        // never observed

// Cells at or above this occupancy (and not unknown) are obstacles for navigation.
constexpr int OBSTACLE_OCCUPANCY = 64;

// No observation may lie farther than this from the origin on either axis. It keeps
// every map (2000 cells of 100 mm each way) and every cell index far from overflow
// and bounds the memory a hostile or broken message can make a map allocate.
constexpr double MAP_COORD_BOUND_MM = 200000.0;

inline bool coordInBounds(double v) { return std::isfinite(v) && std::fabs(v) <= MAP_COORD_BOUND_MM; }
inline bool pointInBounds(double x, double y) { return coordInBounds(x) && coordInBounds(y); }

inline bool isObstacleCell(MapCell c) {
  return (c & CELL_UNKNOWN) == 0 && (c & CELL_OCCUPANCY) >= OBSTACLE_OCCUPANCY;
}
