#pragma once
// Whole-map copy and comparison for tests and the fuzz target (the map itself is not
// copyable because of its mutex).
#include "map/occupancy_map.h"

// Copies every parameter and cell.
inline void copyMap(const OccupancyMap& from, OccupancyMap& to) {
  to.res = from.res;
  to.growStep = from.growStep;
  to.fillValue = from.fillValue;
  to.minx = from.minx;
  to.maxx = from.maxx;
  to.miny = from.miny;
  to.maxy = from.maxy;
  to.rradius = from.rradius;
  to.ssrange = from.ssrange;
  to.margin = from.margin;
  to.posXposY = from.posXposY;
  to.negXposY = from.negXposY;
  to.negXnegY = from.negXnegY;
  to.posXnegY = from.posXnegY;
}

// Every parameter and every stored cell, addressable or not.
inline bool sameMap(const OccupancyMap& a, const OccupancyMap& b) {
  return a.res == b.res && a.growStep == b.growStep && a.fillValue == b.fillValue && a.minx == b.minx &&
         a.maxx == b.maxx && a.miny == b.miny && a.maxy == b.maxy && a.rradius == b.rradius &&
         a.ssrange == b.ssrange && a.margin == b.margin && a.posXposY == b.posXposY && a.negXposY == b.negXposY &&
         a.negXnegY == b.negXnegY && a.posXnegY == b.posXnegY;
}
