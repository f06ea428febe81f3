#pragma once
// A flat copy of a map's addressable area, one value per cell, laid out by columns with
// a ring of extra cells all round: what the planners' passes over whole maps work on.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "map/quadrant_grid.h"

// A cell of a map by its indices.
struct GridCell {
  int32_t x = 0, y = 0;
  bool operator==(const GridCell&) const = default;
};

// The eight neighbours: the four sides first, then the diagonals.
constexpr int NEIGHBOUR_DX[8] = {-1, 1, 0, 0, -1, -1, 1, 1};
constexpr int NEIGHBOUR_DY[8] = {0, 0, -1, 1, -1, 1, -1, 1};

template <class T>
class FlatGrid {
 public:
  FlatGrid() = default;
  // The addressable cells of grid plus the ring, every one holding fill.
  FlatGrid(const QuadrantGrid& grid, T fill)
      : myMinX(grid.minx),
        myMinY(grid.miny),
        myColumns(static_cast<size_t>(grid.minx) + grid.maxx + 1),
        myColumnLength(static_cast<size_t>(grid.miny) + grid.maxy + 1),
        myValues(myColumns * myColumnLength, fill) {}

  size_t size() const { return myValues.size(); }
  T& operator[](size_t i) { return myValues[i]; }
  const T& operator[](size_t i) const { return myValues[i]; }

  // The cell (x, y) lies within the addressable area or on the ring.
  bool contains(int32_t x, int32_t y) const {
    return x >= -myMinX && y >= -myMinY && static_cast<size_t>(x + myMinX) < myColumns &&
           static_cast<size_t>(y + myMinY) < myColumnLength;
  }
  // The index of a cell that the grid contains.
  size_t index(int32_t x, int32_t y) const {
    return static_cast<size_t>(x + myMinX) * myColumnLength + static_cast<size_t>(y + myMinY);
  }
  GridCell cellOf(size_t i) const {
    return {static_cast<int32_t>(i / myColumnLength) - myMinX, static_cast<int32_t>(i % myColumnLength) - myMinY};
  }
  // Neighbour k (0 to 7, as NEIGHBOUR_DX/DY) of cell i; false when it lies outside the
  // grid (only ring cells have such neighbours).
  bool neighbour(size_t i, int k, size_t& n) const {
    const auto column = static_cast<ptrdiff_t>(i / myColumnLength) + NEIGHBOUR_DX[k];
    const auto row = static_cast<ptrdiff_t>(i % myColumnLength) + NEIGHBOUR_DY[k];
    if (column < 0 || row < 0 || static_cast<size_t>(column) >= myColumns || static_cast<size_t>(row) >= myColumnLength)
      return false;
    n = static_cast<size_t>(column) * myColumnLength + static_cast<size_t>(row);
    return true;
  }
  // Visits every addressable cell of grid (the ring left out) with its index.
  template <class Visit>
  void forEachMapCell(const QuadrantGrid& grid, Visit&& visit) const {
    for (int32_t x = 1 - grid.minx; x < grid.maxx; ++x) {
      for (int32_t y = 1 - grid.miny; y < grid.maxy; ++y) visit(x, y, index(x, y));
    }
  }

 private:
  int32_t myMinX = 0, myMinY = 0;
  size_t myColumns = 0, myColumnLength = 0;
  std::vector<T> myValues;
};
