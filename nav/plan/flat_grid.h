#pragma once
// One value per cell of a map window's box, laid out by columns with a ring of extra
// cells all round: what the planners' passes over a whole window work on.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "nav/plan/map_window.h"

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
  // The cells of box plus the ring, every one holding fill.
  FlatGrid(const CellBox& box, T fill) { reset(box, fill); }
  // As the constructor, reusing the storage held.
  void reset(const CellBox& box, T fill) {
    myBox = box;
    myMinX = 1 - box.x0;
    myMinY = 1 - box.y0;
    myColumns = static_cast<size_t>(box.x1 - box.x0) + 3;
    myColumnLength = static_cast<size_t>(box.y1 - box.y0) + 3;
    myValues.assign(myColumns * myColumnLength, fill);
  }

  size_t size() const { return myValues.size(); }
  T& operator[](size_t i) { return myValues[i]; }
  const T& operator[](size_t i) const { return myValues[i]; }

  // The cell (x, y) lies within the box or on the ring.
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
  // What to add to the index of a cell of the box (not the ring) for its neighbour k.
  ptrdiff_t step(int k) const {
    return static_cast<ptrdiff_t>(NEIGHBOUR_DX[k]) * static_cast<ptrdiff_t>(myColumnLength) + NEIGHBOUR_DY[k];
  }
  // Visits every cell of the box (the ring left out) with its index.
  template <class Visit>
  void forEachBoxCell(Visit&& visit) const {
    for (int32_t x = myBox.x0; x <= myBox.x1; ++x) {
      for (int32_t y = myBox.y0; y <= myBox.y1; ++y) visit(x, y, index(x, y));
    }
  }

 private:
  CellBox myBox;
  int32_t myMinX = 0, myMinY = 0;
  size_t myColumns = 0, myColumnLength = 0;
  std::vector<T> myValues;
};
