#pragma once
// Scores an agent's map against the simulator's ground truth for the same robot frame.
#include <array>
#include <vector>

#include "map/occupancy_map.h"

// A cell index of a map.
struct GridCell {
  int32_t x, y;
  bool operator==(const GridCell&) const = default;
};

// The map's obstacle cells by their Chebyshev distance, in cells, to the nearest wall cell
// of the truth, in the bins 0, 1, 2, 3, 4, 5-6 and 7 or more.
struct WallDistances {
  static constexpr int BINS = 7;
  static constexpr int PHANTOM_CELLS = 5;  // this far or farther from every wall: a phantom
  std::array<long, BINS> cells{};

  static int binOf(int distance) { return distance <= 4 ? distance : distance <= 6 ? 5 : 6; }
  long total() const;
  // Cells at most `distance` cells (0 to 4) from a wall.
  long within(int distance) const;
  long phantoms() const { return cells[5] + cells[6]; }
  double share(long count) const { return total() ? double(count) / total() : 0.0; }
};

struct MapScore {
  long reachableFree = 0;  // truth cells that are free and reachable from the seeds
  long coveredFree = 0;    // of those, cells the agent knows as free
  long agentObstacles = 0; // cells the agent reads as obstacles
  long nearWall = 0;       // of those, cells within one cell of a true wall
  long trueWalls = 0;      // wall cells of the truth
  long wallsReadFree = 0;  // of those, cells the agent knows as free
  long freeReadOccupied = 0;  // reachable free cells that the agent holds as obstacles
  // The same two figures with one cell of tolerance for where a wall lies. The worlds'
  // walls are lines without thickness; one on the edge between two cells is written into
  // one of them, while range noise puts its echoes into either, so a map can hold a wall
  // one cell across from the truth's cell and be right.
  long wallGaps = 0;         // walls read free with no obstacle in a free 4-neighbour either
  long coveredTolerant = 0;  // covered, or known as an obstacle while next to a true wall
  WallDistances distances; // the agent's obstacle cells by distance to a true wall

  double coverage() const { return reachableFree ? double(coveredFree) / reachableFree : 0.0; }
  double accuracy() const { return agentObstacles ? double(nearWall) / agentObstacles : 0.0; }
  double falseFree() const { return trueWalls ? double(wallsReadFree) / trueWalls : 0.0; }
  double falseOccupied() const { return reachableFree ? double(freeReadOccupied) / reachableFree : 0.0; }
  double gaps() const { return trueWalls ? double(wallGaps) / trueWalls : 0.0; }
  double tolerantCoverage() const { return reachableFree ? double(coveredTolerant) / reachableFree : 0.0; }
};

// Where the flood of reachable free space starts, and why there.
enum class SeedSource { Origin, Starts, Footprints, None };
struct CoverageSeeds {
  SeedSource source = SeedSource::None;
  std::vector<GridCell> cells;
};

// The seeds of the coverage flood: the cells of `starts` when there are any; otherwise
// cell (0, 0), the robot's start cell in its own frame, when the truth has it free;
// otherwise (a world-frame truth, whose origin is a corner of the building) every cell
// the map marks as some robot's footprint that the truth has free. Source None when
// there is none of these.
CoverageSeeds chooseSeeds(const OccupancyMap& agent, const OccupancyMap& truth, const std::vector<GridCell>& starts);

// A cell is free to the agent when it is known and below the obstacle threshold.
// Reachable truth cells are found by a 4-connected flood from the seeds over cells that
// are not walls, within the truth map's bounds; seeds on walls or outside start nothing.
// Distances to the walls come from one distance transform over the truth.
MapScore scoreMap(const OccupancyMap& agent, const OccupancyMap& truth, const std::vector<GridCell>& seeds);

// How far two maps of one frame agree: of the cells known in either, those that both
// read alike (free, obstacle or unknown, as map_raster.h classifies them).
struct MapAgreement {
  long knownEither = 0, alike = 0;
  long knownA = 0, knownB = 0;
  double share() const { return knownEither == 0 ? 1.0 : static_cast<double>(alike) / static_cast<double>(knownEither); }
};
MapAgreement compareMaps(const OccupancyMap& a, const OccupancyMap& b);
