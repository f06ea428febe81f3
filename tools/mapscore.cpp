// mapscore: compares an agent's map file with the simulator's ground truth for that
// robot and prints coverage, accuracy and false free.
#include <cstdio>
#include <cstring>

#include "map/map_file.h"
#include "tools/lib/map_score.h"

namespace {

void usage(FILE* to) {
  std::fprintf(to,
               "usage: mapscore AGENT_MAP.ppm TRUTH.ppm\n"
               "       mapscore --known MAP.ppm   prints the number of known cells\n"
               "  coverage    share of the reachable free cells of the truth that the map knows as free\n"
               "  accuracy    share of the map's obstacle cells (occupancy >= 64, known) within one cell of a true wall\n"
               "  false free  share of the true wall cells that the map knows as free\n"
               "Both files are map files in the agent's PPM format, in the same robot frame\n"
               "(robosim --truth writes the truth for each start pose).\n");
}

bool load(const char* path, OccupancyMap& map) {
  if (readMapFile(map, path)) return true;
  std::fprintf(stderr, "mapscore: cannot read map file %s\n", path);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--known") == 0) {
    OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
    if (!load(argv[2], map)) return 1;
    std::printf("%ld\n", map.knownCells());
    return 0;
  }
  if (argc != 3) {
    usage(stderr);
    return 2;
  }
  OccupancyMap agent(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  OccupancyMap truth(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  if (!load(argv[1], agent) || !load(argv[2], truth)) return 1;
  MapScore s = scoreMap(agent, truth);
  std::printf("coverage %.3f (%ld of %ld reachable free cells)\n", s.coverage(), s.coveredFree, s.reachableFree);
  std::printf("accuracy %.3f (%ld of %ld obstacle cells near a true wall)\n", s.accuracy(), s.nearWall, s.agentObstacles);
  std::printf("false free %.3f (%ld of %ld wall cells read as free)\n", s.falseFree(), s.wallsReadFree, s.trueWalls);
  return 0;
}
