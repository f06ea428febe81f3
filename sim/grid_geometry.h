#pragma once
// The cells of a uniform grid laid over a bounding box, shared by the wall grid and the
// robot grid: at most kMaxCellsPerSide cells per side (a bigger box gets bigger cells),
// none smaller than the grid's minimum. Points outside the box fall in its border cells.
#include <algorithm>
#include <cmath>

namespace sim {

struct GridGeometry {
  static constexpr int kMaxCellsPerSide = 256;

  double minX = 0, minY = 0, cell = 1000;
  int cols = 1, rows = 1;

  static GridGeometry covering(double minX, double minY, double maxX, double maxY, double minCell) {
    GridGeometry g;
    g.minX = minX;
    g.minY = minY;
    g.cell = std::max(minCell, std::max(maxX - minX, maxY - minY) / (kMaxCellsPerSide - 1));
    g.cols = static_cast<int>((maxX - minX) / g.cell) + 1;
    g.rows = static_cast<int>((maxY - minY) / g.cell) + 1;
    return g;
  }
  int cellX(double x) const { return clampedCell((x - minX) / cell, cols); }
  int cellY(double y) const { return clampedCell((y - minY) / cell, rows); }

 private:
  static int clampedCell(double c, int count) {
    return static_cast<int>(std::clamp(std::floor(c), 0.0, static_cast<double>(count - 1)));
  }
};

}  // namespace sim
