#pragma once
// Frontier search over an occupancy map: the known-free cells that border unknown space,
// grouped into regions. A robot that goes to a frontier sees what lies beyond it.
#include <vector>

#include "nav/plan/flat_grid.h"
#include "nav/plan/map_window.h"

struct FrontierLimits {
  // Regions of fewer cells are ignored (0.5 m of frontier with 100 mm cells: less than
  // the robot's width).
  int minRegionCells = 5;
  // Unknown areas of fewer cells, enclosed by known cells, are holes between readings
  // (gaps between sonar rays, a cell no ray crossed), not unknown space.
  int minUnknownCells = 20;
};

// Frontier cells, 8-connected to each other.
struct FrontierRegion {
  std::vector<GridCell> cells;
};

// A frontier cell is a known cell below obstacle occupancy with a 4-neighbour in an
// unknown area of at least limits.minUnknownCells cells (the unknown beyond the window
// counts as one large area: a window of the observed region has unknown space all round).
std::vector<FrontierRegion> findFrontiers(const MapWindow& map, const FrontierLimits& limits = {});
