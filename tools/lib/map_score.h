#pragma once
// Scores an agent's map against the simulator's ground truth for the same robot frame.
#include "map/occupancy_map.h"

struct MapScore {
  long reachableFree = 0;  // truth cells that are free and reachable from the robot's start cell
  long coveredFree = 0;    // of those, cells the agent knows as free
  long agentObstacles = 0; // cells the agent reads as obstacles
  long nearWall = 0;       // of those, cells within one cell of a true wall
  long trueWalls = 0;      // wall cells of the truth
  long wallsReadFree = 0;  // of those, cells the agent knows as free

  double coverage() const { return reachableFree ? double(coveredFree) / reachableFree : 0.0; }
  double accuracy() const { return agentObstacles ? double(nearWall) / agentObstacles : 0.0; }
  double falseFree() const { return trueWalls ? double(wallsReadFree) / trueWalls : 0.0; }
};

// A cell is free to the agent when it is known and below the obstacle threshold.
// Reachable truth cells are found by a 4-connected flood from cell (0, 0) over cells
// that are not walls, within the truth map's bounds.
MapScore scoreMap(const OccupancyMap& agent, const OccupancyMap& truth);
