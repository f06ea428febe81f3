#include "map/quadrant_grid.h"

#include <algorithm>

namespace {

// Gives a store exactly `rows` rows of `cells` cells, keeping the cells that fit.
void resizeStore(QuadrantGrid::Store& store, int32_t rows, int32_t cells, uint16_t value) {
  store.resize(static_cast<size_t>(rows));
  for (QuadrantGrid::Row& row : store) row.resize(static_cast<size_t>(cells), value);
}

// The extent that makes a cell `magnitude` cells from the origin addressable, with
// growStep - 1 cells of headroom beyond it.
int32_t extentFor(int64_t magnitude, int32_t growStep) {
  int64_t e = magnitude + growStep;
  assert(e <= INT32_MAX);
  return static_cast<int32_t>(e);
}

// The store holds exactly `rows` rows of `cells` cells each.
bool storeHasSize(const QuadrantGrid::Store& store, int32_t rows, int32_t cells) {
  if (store.size() != static_cast<size_t>(rows)) return false;
  for (const QuadrantGrid::Row& row : store) {
    if (row.size() != static_cast<size_t>(cells)) return false;
  }
  return true;
}

bool storesFit(const QuadrantGrid::Store& posXposY, const QuadrantGrid::Store& negXposY,
               const QuadrantGrid::Store& negXnegY, const QuadrantGrid::Store& posXnegY,
               const QuadrantGrid::Extents& e) {
  return storeHasSize(posXposY, e.maxx, e.maxy) && storeHasSize(negXposY, e.minx, e.maxy) &&
         storeHasSize(negXnegY, e.minx, e.miny) && storeHasSize(posXnegY, e.maxx, e.miny);
}

}  // namespace

QuadrantGrid::QuadrantGrid(double res, uint16_t fillValue, double extent)
    : res(res), growStep(1), fillValue(fillValue), minx(0), maxx(0), miny(0), maxy(0) {
  growStep = std::max(1, toCell(extent));
  reset();
}

QuadrantGrid::QuadrantGrid(double res, double extent) : QuadrantGrid(res, 0, extent) {}

void QuadrantGrid::reset() { rebuild(fillValue); }

void QuadrantGrid::rebuild(uint16_t value) {
  minx = maxx = miny = maxy = growStep;
  for (Store* s : {&posXposY, &negXposY, &negXnegY, &posXnegY}) s->clear();
  resizeStores(value);
}

void QuadrantGrid::resizeStores(uint16_t value) {
  resizeStore(posXposY, maxx, maxy, value);
  resizeStore(negXposY, minx, maxy, value);
  resizeStore(negXnegY, minx, miny, value);
  resizeStore(posXnegY, maxx, miny, value);
}

void QuadrantGrid::growToInclude(int32_t x, int32_t y) {
  bool changed = false;
  if (x >= maxx) { maxx = extentFor(x, growStep); changed = true; }
  if (-static_cast<int64_t>(x) >= minx) { minx = extentFor(-static_cast<int64_t>(x), growStep); changed = true; }
  if (y >= maxy) { maxy = extentFor(y, growStep); changed = true; }
  if (-static_cast<int64_t>(y) >= miny) { miny = extentFor(-static_cast<int64_t>(y), growStep); changed = true; }
  if (changed) resizeStores(fillValue);
}

bool QuadrantGrid::adopt(const Extents& extents, Stores& stores) {
  if (!storesFit(stores.posXposY, stores.negXposY, stores.negXnegY, stores.posXnegY, extents)) return false;
  minx = extents.minx;
  maxx = extents.maxx;
  miny = extents.miny;
  maxy = extents.maxy;
  posXposY.swap(stores.posXposY);
  negXposY.swap(stores.negXposY);
  negXnegY.swap(stores.negXnegY);
  posXnegY.swap(stores.posXnegY);
  return true;
}

bool QuadrantGrid::storesMatchExtents() const {
  return storesFit(posXposY, negXposY, negXnegY, posXnegY, {minx, maxx, miny, maxy});
}
