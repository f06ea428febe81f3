// Feeds arbitrary bytes to the map file reader. A refused file must leave the map
// exactly as it was; an accepted one must give a map whose stores match its extents
// and that later updates can grow safely.
#include <cstdint>
#include <cstdlib>

#include "map/map_file.h"
#include "map/map_updates.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool sameMap(const OccupancyMap& a, const OccupancyMap& b) {
  return a.res == b.res && a.growStep == b.growStep && a.fillValue == b.fillValue && a.minx == b.minx &&
         a.maxx == b.maxx && a.miny == b.miny && a.maxy == b.maxy && a.rradius == b.rradius &&
         a.ssrange == b.ssrange && a.margin == b.margin && a.posXposY == b.posXposY && a.negXposY == b.negXposY &&
         a.negXnegY == b.negXnegY && a.posXnegY == b.posXnegY;
}

void copyMap(const OccupancyMap& from, OccupancyMap& to) {
  to.res = from.res;
  to.growStep = from.growStep;
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

bool storeMatches(const QuadrantGrid::Store& s, int32_t rows, int32_t cells) {
  if (s.size() != static_cast<size_t>(rows)) return false;
  for (const QuadrantGrid::Row& r : s) {
    if (r.size() != static_cast<size_t>(cells)) return false;
  }
  return true;
}

const OccupancyMap& pristine() {
  static OccupancyMap* map = [] {
    auto* m = new OccupancyMap(100, 150, 2500);
    markReading(*m, ArPose(1500, -700), ArPose(0, 0));
    markPeerPose(*m, ArPose(-2000, 3000));
    return m;
  }();
  return *map;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static OccupancyMap map(100, 150, 2500);
  copyMap(pristine(), map);
  if (!readMapBuffer(map, reinterpret_cast<const char*>(data), size)) {
    check(sameMap(map, pristine()));
    return 0;
  }
  check(storeMatches(map.posXposY, map.maxx, map.maxy) && storeMatches(map.negXposY, map.minx, map.maxy) &&
        storeMatches(map.negXnegY, map.minx, map.miny) && storeMatches(map.posXnegY, map.maxx, map.miny));
  check(map.res >= MAP_FILE_MIN_RES_MM && map.minx > map.margin && map.maxx > map.margin &&
        map.miny > map.margin && map.maxy > map.margin && map.growStep == map.margin + 100);
  check(markReading(map, ArPose(-1500, 2500), ArPose(300, -200)));
  check(markPeerReading(map, ArPose(900, 900), ArPose(-300, 200)));
  return 0;
}
