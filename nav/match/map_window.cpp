#include "nav/match/map_window.h"

MapWindow copyMapWindow(const OccupancyMap& map, double x, double y, double reach) {
  MapWindow w;
  w.res = map.res;
  if (!pointInBounds(x, y)) return w;
  w.x0 = w.cellIndex(x - reach);
  w.y0 = w.cellIndex(y - reach);
  w.width = w.cellIndex(x + reach) - w.x0 + 1;
  w.height = w.cellIndex(y + reach) - w.y0 + 1;
  w.cells.resize(static_cast<size_t>(w.width) * static_cast<size_t>(w.height));
  size_t i = 0;
  for (int32_t cy = w.y0; cy < w.y0 + w.height; ++cy) {
    for (int32_t cx = w.x0; cx < w.x0 + w.width; ++cx) w.cells[i++] = map.cellOrUnknown(cx, cy);
  }
  return w;
}

void fillUnknownCells(MapWindow& into, const MapWindow& other) {
  size_t i = 0;
  for (int32_t cy = into.y0; cy < into.y0 + into.height; ++cy) {
    for (int32_t cx = into.x0; cx < into.x0 + into.width; ++cx, ++i) {
      if ((into.cells[i] & CELL_UNKNOWN) != 0) into.cells[i] = other.at(cx, cy);
    }
  }
}
