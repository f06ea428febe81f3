#pragma once
// A grid of 16-bit cells centred on the origin, addressable with negative and positive
// cell indices, that grows in each of its four directions independently without moving
// any cell. Four quadrant stores hold rows indexed by |x| and cells by |y|.
#include <cstdint>
#include <vector>

class QuadrantGrid {
 public:
  using Row = std::vector<uint16_t>;
  using Store = std::vector<Row>;

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
  int32_t toCell(double mm) const { return static_cast<int32_t>(mm / res); }
  bool inBounds(int32_t x, int32_t y) const { return x > -minx && x < maxx && y > -miny && y < maxy; }
  // The cell at (x, y), which must be inBounds.
  uint16_t& cellAt(int32_t x, int32_t y);
  uint16_t cellValue(int32_t x, int32_t y) const;

  // All extents back to growStep, every cell fillValue.
  void reset();
  // Grows so that (x, y) is addressable; new cells get fillValue.
  void growToInclude(int32_t x, int32_t y);

 protected:
  // Refills every store at the current extents with one value.
  void rebuild(uint16_t value);
  // Brings every store to the sizes the current extents require: rows and cells beyond
  // them are dropped, cells within keep their values, new cells get value.
  void resizeStores(uint16_t value);
};
