// Feeds arbitrary bytes to the map file reader. A refused file must leave the map
// exactly as it was; an accepted one must give a map whose stores match its extents
// and that later updates can grow safely.
#include <cstdint>
#include <cstdlib>

#include "map/map_file.h"
#include "map/map_updates.h"
#include "tests/support/map_copy.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
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
  check(map.storesMatchExtents());
  check(map.res >= MAP_FILE_MIN_RES_MM && map.minx > map.margin && map.maxx > map.margin &&
        map.miny > map.margin && map.maxy > map.margin && map.growStep == map.margin + 100);
  check(markReading(map, ArPose(-1500, 2500), ArPose(300, -200)));
  check(markPeerReading(map, ArPose(900, 900), ArPose(-300, 200)));
  return 0;
}
