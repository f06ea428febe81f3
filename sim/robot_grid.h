#pragma once
// Points (robot centres) bucketed in a uniform grid that is rebuilt from their positions,
// so that contact and sonar checks look only at the robots near them instead of at every
// robot. Rebuilding is a counting sort into flat arrays: no allocation once the arrays
// have grown to the number of robots and cells.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/grid_geometry.h"

namespace sim {

struct GridPoint {
  double x, y;
};

class RobotGrid {
 public:
  void rebuild(const std::vector<GridPoint>& points);

  // Calls visit(index) for every point of the last rebuild that may lie within radius of
  // (x, y), and possibly a few beyond; each index once. Points outside the grid's bounds
  // were put in its border cells, so queries anywhere find them.
  template <typename Visit>
  void forEachNear(double x, double y, double radius, Visit&& visit) const;

 private:
  GridGeometry myGeometry;
  std::vector<uint32_t> myStart{0, 0};  // per cell, the first entry; one more at the end
  std::vector<uint32_t> myCursor;       // scratch of rebuild
  std::vector<uint32_t> myCellOf;       // scratch of rebuild: each point's cell
  std::vector<uint32_t> myEntries;      // point indices, grouped by cell
};

template <typename Visit>
void RobotGrid::forEachNear(double x, double y, double radius, Visit&& visit) const {
  const int x0 = myGeometry.cellX(x - radius), x1 = myGeometry.cellX(x + radius);
  const int y0 = myGeometry.cellY(y - radius), y1 = myGeometry.cellY(y + radius);
  for (int cy = y0; cy <= y1; ++cy) {
    const size_t row = static_cast<size_t>(cy) * myGeometry.cols;
    for (uint32_t e = myStart[row + x0]; e < myStart[row + x1 + 1]; ++e) visit(myEntries[e]);
  }
}

}  // namespace sim
