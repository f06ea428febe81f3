#pragma once
// A grid of 16-bit cells centred on the origin, addressable with negative and positive
// cell indices, that grows in each of its four directions independently without moving
// any cell. Four quadrant stores hold rows indexed by |x| and cells by |y|.
#include <cassert>
#include <cmath>
#include <cstdint>
#include <vector>

class QuadrantGrid {
 public:
  using Row = std::vector<uint16_t>;
  using Store = std::vector<Row>;
  // The four extents, and four stores handed over together (see adopt).
  struct Extents {
    int32_t minx, maxx, miny, maxy;
  };
  struct Stores {
    Store posXposY, negXposY, negXnegY, posXnegY;
  };

  QuadrantGrid(double res, uint16_t fillValue, double extent);
  QuadrantGrid(double res, double extent);

  Store posXposY;  // x >= 0, y >= 0
  Store negXposY;  // x < 0,  y >= 0
  Store negXnegY;  // x < 0,  y < 0
  Store posXnegY;  // x >= 0, y < 0
  double res;          // cell edge, mm
  int32_t growStep;    // initial extent and headroom added on growth, cells (>= 1)
  uint16_t fillValue;  // value of cells made by reset() and growToInclude()
  int32_t minx, maxx, miny, maxy;  // addressable: -minx < x < maxx, -miny < y < maxy

  // Millimetres to a cell index, truncated toward zero (cell 0 spans (-res, res)).
  // Values beyond the 32-bit range saturate and NaN gives 0, so no input is undefined;
  // callers still bound their coordinates before growing a grid to them.
  int32_t toCell(double mm) const {
    double c = mm / res;
    if (c >= 2147483647.0) return INT32_MAX;
    if (c <= -2147483648.0) return INT32_MIN;
    if (std::isnan(c)) return 0;
    return static_cast<int32_t>(c);
  }
  bool inBounds(int32_t x, int32_t y) const { return x > -minx && x < maxx && y > -miny && y < maxy; }
  // The cell at (x, y), which must be inBounds.
  uint16_t& cellAt(int32_t x, int32_t y) {
    assert(inBounds(x, y));
    Store& s = x >= 0 ? (y >= 0 ? posXposY : posXnegY) : (y >= 0 ? negXposY : negXnegY);
    return s[magnitude(x)][magnitude(y)];
  }
  uint16_t cellValue(int32_t x, int32_t y) const {
    assert(inBounds(x, y));
    const Store& s = x >= 0 ? (y >= 0 ? posXposY : posXnegY) : (y >= 0 ? negXposY : negXnegY);
    return s[magnitude(x)][magnitude(y)];
  }

  // All extents back to growStep, every cell fillValue.
  void reset();
  // Grows so that (x, y) is addressable; new cells get fillValue.
  void growToInclude(int32_t x, int32_t y);

  // Takes new extents and their stores in one step (the stores are swapped in, so
  // `stores` holds the old ones afterwards). False, changing nothing, unless every
  // store has exactly the rows and cells the extents require.
  bool adopt(const Extents& extents, Stores& stores);
  // Every store has exactly the rows and cells the current extents require.
  bool storesMatchExtents() const;

 protected:
  static size_t magnitude(int32_t v) { return v >= 0 ? static_cast<size_t>(v) : static_cast<size_t>(-static_cast<int64_t>(v)); }
  // Refills every store at the current extents with one value.
  void rebuild(uint16_t value);
  // Brings every store to the sizes the current extents require: rows and cells beyond
  // them are dropped, cells within keep their values, new cells get value.
  void resizeStores(uint16_t value);
};
