#include "sim/robot_grid.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// Cells per side at most; a wider spread of robots gets bigger cells.
constexpr int kMaxCellsPerSide = 256;
// Two robot diameters: a contact check spans at most two cells per axis.
constexpr double kMinCellSize = 1000.0;

}  // namespace

int RobotGrid::cellX(double x) const {
  const double c = std::floor((x - myMinX) / myCell);
  return static_cast<int>(std::clamp(c, 0.0, static_cast<double>(myCols - 1)));
}

int RobotGrid::cellY(double y) const {
  const double c = std::floor((y - myMinY) / myCell);
  return static_cast<int>(std::clamp(c, 0.0, static_cast<double>(myRows - 1)));
}

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
  myMinX = minX;
  myMinY = minY;
  myCell = std::max(kMinCellSize, std::max(maxX - minX, maxY - minY) / (kMaxCellsPerSide - 1));
  myCols = static_cast<int>((maxX - minX) / myCell) + 1;
  myRows = static_cast<int>((maxY - minY) / myCell) + 1;
  const size_t cells = static_cast<size_t>(myCols) * myRows;
  // Rows are stored one after another, so the cells x0..x1 of one row are one run of
  // entries: myStart[row + x0] to myStart[row + x1 + 1].
  myStart.assign(cells + 1, 0);
  myCellOf.resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    const uint32_t cell = static_cast<uint32_t>(cellY(points[i].y)) * myCols + cellX(points[i].x);
    myCellOf[i] = cell;
    ++myStart[cell + 1];
  }
  for (size_t c = 0; c < cells; ++c) myStart[c + 1] += myStart[c];
  myCursor.assign(myStart.begin(), myStart.end() - 1);
  myEntries.resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) myEntries[myCursor[myCellOf[i]]++] = static_cast<uint32_t>(i);
}

}  // namespace sim
