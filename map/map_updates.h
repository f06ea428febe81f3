#pragma once
// Cell updates from observations. Own style marks this agent's observations (both
// maps); peer style marks another agent's (global map only). The caller holds the
// map's mutex. Operations taking millimetres refuse, changing nothing and returning
// false, any coordinate that is not finite or lies beyond MAP_COORD_BOUND_MM.
#include "aria/ar_pose.h"
#include "map/occupancy_map.h"

// Occupancy halfway toward 255 (saturates at 254; 255 stays 255).
inline MapCell applyHit(MapCell c) {
  unsigned o = c & CELL_OCCUPANCY;
  return static_cast<MapCell>(((c & ~CELL_OCCUPANCY) & ~CELL_UNKNOWN) | (o + (255 - o) / 2));
}
// Occupancy divided by 4.
inline MapCell applyFree(MapCell c) {
  unsigned o = c & CELL_OCCUPANCY;
  return static_cast<MapCell>(((c & ~CELL_OCCUPANCY) & ~CELL_UNKNOWN) | (o / 4));
}
inline MapCell applyOwnStamp(MapCell c) {
  return static_cast<MapCell>((c & CELL_RESERVED) | CELL_OWN_FOOTPRINT | CELL_FOOTPRINT | ((c & CELL_OCCUPANCY) / 4));
}
inline MapCell applyPeerStamp(MapCell c) {
  return static_cast<MapCell>((c & (CELL_RESERVED | CELL_OWN_FOOTPRINT)) | CELL_FOOTPRINT | ((c & CELL_OCCUPANCY) / 4));
}

bool markHit(OccupancyMap& map, const ArPose& point);
bool markReading(OccupancyMap& map, const ArPose& point, const ArPose& robotPose);
bool markPeerReading(OccupancyMap& map, const ArPose& point, const ArPose& robotPose);
bool markPose(OccupancyMap& map, const ArPose& robotPose);
bool markPeerPose(OccupancyMap& map, const ArPose& robotPose);

// Cell-index operations; (cx, cy) must already be covered (growToCover).
void stampFootprint(OccupancyMap& map, int32_t cx, int32_t cy);
void stampPeerFootprint(OccupancyMap& map, int32_t cx, int32_t cy);
// applyFree on the cells strictly between the two end cells (Bresenham walk).
void clearRay(OccupancyMap& map, int32_t x0, int32_t y0, int32_t x1, int32_t y1);
