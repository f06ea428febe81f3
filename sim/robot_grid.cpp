#include "sim/robot_grid.h"

#include <algorithm>

namespace sim {
namespace {

// Two robot diameters: a contact check spans at most two cells per axis.
constexpr double kMinCellSize = 1000.0;

}  // namespace

void RobotGrid::rebuild(const std::vector<GridPoint>& points) {
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  if (!points.empty()) {
    minX = maxX = points[0].x;
    minY = maxY = points[0].y;
  }
  for (const GridPoint& p : points) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  myGeometry = GridGeometry::covering(minX, minY, maxX, maxY, kMinCellSize);
  const size_t cells = static_cast<size_t>(myGeometry.cols) * myGeometry.rows;
  // Rows are stored one after another, so the cells x0..x1 of one row are one run of
  // entries: myStart[row + x0] to myStart[row + x1 + 1].
  myStart.assign(cells + 1, 0);
  myCellOf.resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    const uint32_t cell = static_cast<uint32_t>(myGeometry.cellY(points[i].y) * myGeometry.cols + myGeometry.cellX(points[i].x));
    myCellOf[i] = cell;
    ++myStart[cell + 1];
  }
  for (size_t c = 0; c < cells; ++c) myStart[c + 1] += myStart[c];
  myCursor.assign(myStart.begin(), myStart.end() - 1);
  myEntries.resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) myEntries[myCursor[myCellOf[i]]++] = static_cast<uint32_t>(i);
}

}  // namespace sim
