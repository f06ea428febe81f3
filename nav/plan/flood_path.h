#pragma once
// Wavefront planning over occupancy maps: obstacles grown by the robot's radius, the
// goal cell 1, every free cell one more than its nearest 4-connected neighbour toward
// the goal. The robot descends to the lowest of its eight neighbours.
#include <cstdint>
#include <vector>

#include "aria/ar_pose.h"
#include "map/occupancy_map.h"
#include "map/quadrant_grid.h"

// A cell of an obstacle grown by the robot's radius.
constexpr int16_t FLOOD_OBSTACLE = 32767;
// The highest wave number the flood hands out. Cells farther from the goal than this
// stay unreached (0), so that no wave number can reach FLOOD_OBSTACLE or wrap around.
constexpr int16_t FLOOD_LAST_WAVE = FLOOD_OBSTACLE - 1;
// pathHeading's answer when no neighbour is lower (and outside the flood grid).
constexpr double FLOOD_NO_DESCENT = -360.0;

class FloodPath {
 public:
  // Reads the given map, which must outlive the planner (the agent's behaviours give it
  // their local map). Computes the flood at once.
  FloodPath(ArPose goal, double res, double robotRadius, OccupancyMap* map);

  std::vector<OccupancyMap*> maps;  // not owned
  QuadrantGrid floodGrid;           // wave numbers, 0 unreached, 1 the goal cell
  ArPose goal;
  double robotRadius;               // mm
  int16_t slowDownSteps;            // within this many waves of the goal the path slows

  // Rebuilds floodGrid from the current contents of maps and the current goal.
  void computeFlood();
  // Sets the square of cells within the robot's radius around (x, y) to FLOOD_OBSTACLE,
  // clipped to the grid.
  void markObstacle(double x, double y);
  // Strictly inside the flood grid's bounds, in mm.
  bool containsPoint(double x, double y) const;
  // 0 outside the grid, 0.1 on a grown obstacle, 0.25 near the goal or unreached, else 1.
  double pathSpeed(double x, double y) const;
  // Heading in degrees toward the lowest of the eight neighbours, or FLOOD_NO_DESCENT
  // when none is lower or the point is outside the grid.
  double pathHeading(double x, double y) const;
  // The point lies inside the grid on the goal cell (wave 1).
  bool onGoalCell(double x, double y) const;
  // The flood reached a cell within reach cells of the point's cell: a way leads from
  // there to the goal (a robot beside a wall stands on grown obstacle cells).
  bool reachesNear(double x, double y, int32_t reach) const;

 private:
  // The flood is computed on a flat copy of floodGrid (columns by x, one padding cell
  // of FLOOD_OBSTACLE all round so the wavefront needs no bounds tests) and written
  // back at the end. The buffers are reused from one computation to the next.
  struct Extents {
    int32_t minx = 0, maxx = 0, miny = 0, maxy = 0;
    bool operator==(const Extents&) const = default;
    size_t columnLength() const { return static_cast<size_t>(miny) + maxy + 1; }
    size_t columns() const { return static_cast<size_t>(minx) + maxx + 1; }
    size_t index(int32_t x, int32_t y) const {
      return static_cast<size_t>(x + minx) * columnLength() + static_cast<size_t>(y + miny);
    }
  };
  struct Sample {
    double mm;
    int32_t cell;
  };

  bool cellOfPoint(double x, double y, int32_t& cx, int32_t& cy) const;
  template <class SetCell>
  void forEachGrownCell(double x, double y, SetCell&& set);
  void fitFlatToGrid();
  void markMapObstacles(const OccupancyMap& map);
  void spreadWaves(size_t goalIndex);
  void writeFlatToGrid();

  Extents myFlatExtents;
  std::vector<uint16_t> myFlat;
  std::vector<uint16_t> myFlatSpare;
  std::vector<uint32_t> myQueue;
  std::vector<Sample> myRows;
  std::vector<int32_t> myGrownRows;
};
