#pragma once
// The occupancy map: a QuadrantGrid of MapCell values with the robot's size, the
// corridor reach and the growth margin, and the mutex that guards it.
#include "aria/ar_mutex.h"
#include "map/map_cell.h"
#include "map/quadrant_grid.h"

// The parameters of the agent's maps, mm: cell size, robot radius, corridor reach.
constexpr double MAP_RES_MM = 100.0;
constexpr double MAP_ROBOT_RADIUS_MM = 150.0;
constexpr double MAP_CORRIDOR_MM = 2500.0;

class OccupancyMap : public QuadrantGrid {
 public:
  // All in mm: cell size, robot radius, corridor reach.
  OccupancyMap(double res, double robotRadius, double corridorReach);

  int32_t rradius;  // robot radius, cells
  int32_t ssrange;  // corridor fill reach, cells
  int32_t margin;   // cells kept addressable beyond a covered cell
  ArMutex mutex{true};

  // Back to the initial extents with every cell unknown (0x8000).
  void clear();
  // The cell if addressable, else CELL_UNKNOWN.
  MapCell cellOrUnknown(int32_t x, int32_t y) const { return inBounds(x, y) ? cellValue(x, y) : CELL_UNKNOWN; }
  // Grows so that (x, y) and margin cells beyond it, away from the origin, are addressable.
  void growToCover(int32_t x, int32_t y) {
    if (coversWithMargin(x, y)) return;
    growCovering(x, y);
  }
  // Number of addressable cells that are not unknown (for progress reports and tests).
  long knownCells() const;

 private:
  // Only the direction each coordinate lies in is tested: every extent exceeds margin.
  bool coversWithMargin(int64_t x, int64_t y) const {
    bool xCovered = x >= 0 ? x + margin < maxx : margin - x < minx;
    bool yCovered = y >= 0 ? y + margin < maxy : margin - y < miny;
    return xCovered && yCovered;
  }
  void growCovering(int32_t x, int32_t y);
};
