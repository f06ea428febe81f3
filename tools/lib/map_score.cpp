#include "tools/lib/map_score.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tools/lib/map_raster.h"

namespace {

bool isWall(const OccupancyMap& truth, int x, int y) { return isObstacleCell(truth.cellOrUnknown(x, y)); }

bool knownFree(MapCell c) { return (c & CELL_UNKNOWN) == 0 && (c & CELL_OCCUPANCY) < OBSTACLE_OCCUPANCY; }

// The addressable cells of a map, inclusive.
struct CellBox {
  int32_t x0, x1, y0, y1;
  explicit CellBox(const QuadrantGrid& g) : x0(-g.minx + 1), x1(g.maxx - 1), y0(-g.miny + 1), y1(g.maxy - 1) {}
  CellBox(const CellBox& a, const CellBox& b)
      : x0(std::min(a.x0, b.x0)), x1(std::max(a.x1, b.x1)), y0(std::min(a.y0, b.y0)), y1(std::max(a.y1, b.y1)) {}
  size_t width() const { return static_cast<size_t>(x1 - x0 + 1); }
  size_t height() const { return static_cast<size_t>(y1 - y0 + 1); }
  size_t index(int32_t x, int32_t y) const { return static_cast<size_t>(x - x0) * height() + static_cast<size_t>(y - y0); }
};

// Chebyshev distance, in cells, from every cell of the box to the nearest wall of the
// truth, capped at 255: the two-pass chamfer transform with unit steps to all eight
// neighbours, which is exact for this distance.
class WallDistanceField {
 public:
  WallDistanceField(const OccupancyMap& truth, const CellBox& box)
      : myBox(box), myDistance(box.width() * box.height(), FAR) {
    const CellBox truthBox(truth);
    for (int32_t x = truthBox.x0; x <= truthBox.x1; ++x)
      for (int32_t y = truthBox.y0; y <= truthBox.y1; ++y)
        if (isObstacleCell(truth.cellValue(x, y))) myDistance[box.index(x, y)] = 0;
    sweep(box.x0, box.x1 + 1, 1);
    sweep(box.x1, box.x0 - 1, -1);
  }

  int at(int32_t x, int32_t y) const { return myDistance[myBox.index(x, y)]; }

 private:
  static constexpr uint8_t FAR = 255;

  // One pass in the direction `step` along x and along y: each cell takes one more than
  // the least of its four neighbours already visited in this pass.
  void sweep(int32_t xFrom, int32_t xEnd, int32_t step) {
    const int32_t yFrom = step > 0 ? myBox.y0 : myBox.y1, yEnd = step > 0 ? myBox.y1 + 1 : myBox.y0 - 1;
    for (int32_t x = xFrom; x != xEnd; x += step) {
      for (int32_t y = yFrom; y != yEnd; y += step) {
        int best = myDistance[myBox.index(x, y)];
        if (best == 0) continue;
        const int32_t px = x - step, py = y - step, ny = y + step;
        if (y != yFrom) best = std::min(best, at(x, py) + 1);
        if (x != xFrom) {
          best = std::min(best, at(px, y) + 1);
          if (y != yFrom) best = std::min(best, at(px, py) + 1);
          if (ny != yEnd) best = std::min(best, at(px, ny) + 1);
        }
        myDistance[myBox.index(x, y)] = static_cast<uint8_t>(std::min<int>(best, FAR));
      }
    }
  }

  CellBox myBox;
  std::vector<uint8_t> myDistance;
};

// Marks the truth cells reachable from the seeds; indexed by the truth's own box.
std::vector<char> reachableFrom(const OccupancyMap& truth, const std::vector<GridCell>& seeds) {
  const CellBox box(truth);
  std::vector<char> seen(box.width() * box.height(), 0);
  std::vector<GridCell> todo;
  auto visit = [&](int32_t x, int32_t y) {
    if (!truth.inBounds(x, y) || isWall(truth, x, y) || seen[box.index(x, y)]) return;
    seen[box.index(x, y)] = 1;
    todo.push_back({x, y});
  };
  for (const GridCell& s : seeds) visit(s.x, s.y);
  while (!todo.empty()) {
    const GridCell c = todo.back();
    todo.pop_back();
    visit(c.x - 1, c.y);
    visit(c.x + 1, c.y);
    visit(c.x, c.y - 1);
    visit(c.x, c.y + 1);
  }
  return seen;
}

constexpr GridCell FOUR_NEIGHBOURS[] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};

// A wall cell the map reads free still holds its wall when a free 4-neighbour of it (in the
// truth) is an obstacle in the map: the wall moved one cell across its line.
bool wallHeldBeside(const OccupancyMap& agent, const OccupancyMap& truth, int32_t x, int32_t y) {
  for (const GridCell& d : FOUR_NEIGHBOURS) {
    const int32_t nx = x + d.x, ny = y + d.y;
    if (truth.inBounds(nx, ny) && !isWall(truth, nx, ny) && isObstacleCell(agent.cellOrUnknown(nx, ny))) return true;
  }
  return false;
}

bool nextToWall(const OccupancyMap& truth, int32_t x, int32_t y) {
  for (const GridCell& d : FOUR_NEIGHBOURS)
    if (isWall(truth, x + d.x, y + d.y)) return true;
  return false;
}

void countTruth(const OccupancyMap& agent, const OccupancyMap& truth, const std::vector<GridCell>& seeds, MapScore& s) {
  const std::vector<char> reachable = reachableFrom(truth, seeds);
  const CellBox box(truth);
  for (int32_t x = box.x0; x <= box.x1; ++x) {
    for (int32_t y = box.y0; y <= box.y1; ++y) {
      const MapCell mine = agent.cellOrUnknown(x, y);
      if (isWall(truth, x, y)) {
        ++s.trueWalls;
        if (!knownFree(mine)) continue;
        ++s.wallsReadFree;
        if (!wallHeldBeside(agent, truth, x, y)) ++s.wallGaps;
      } else if (reachable[box.index(x, y)]) {
        ++s.reachableFree;
        if (knownFree(mine)) {
          ++s.coveredFree;
          ++s.coveredTolerant;
        } else if (isObstacleCell(mine)) {
          ++s.freeReadOccupied;
          if (nextToWall(truth, x, y)) ++s.coveredTolerant;
        }
      }
    }
  }
}

void countObstacles(const OccupancyMap& agent, const OccupancyMap& truth, MapScore& s) {
  const CellBox agentBox(agent);
  const WallDistanceField field(truth, CellBox(agentBox, CellBox(truth)));
  for (int32_t x = agentBox.x0; x <= agentBox.x1; ++x) {
    for (int32_t y = agentBox.y0; y <= agentBox.y1; ++y) {
      if (!isObstacleCell(agent.cellValue(x, y))) continue;
      ++s.distances.cells[static_cast<size_t>(WallDistances::binOf(field.at(x, y)))];
    }
  }
  s.agentObstacles = s.distances.total();
  s.nearWall = s.distances.within(1);
}

}  // namespace

long WallDistances::total() const {
  long sum = 0;
  for (long c : cells) sum += c;
  return sum;
}

long WallDistances::within(int distance) const {
  long sum = 0;
  for (int bin = 0; bin <= distance && bin <= 4; ++bin) sum += cells[static_cast<size_t>(bin)];
  return sum;
}

CoverageSeeds chooseSeeds(const OccupancyMap& agent, const OccupancyMap& truth, const std::vector<GridCell>& starts) {
  if (!starts.empty()) return {SeedSource::Starts, starts};
  if (knownFree(truth.cellOrUnknown(0, 0))) return {SeedSource::Origin, {{0, 0}}};
  CoverageSeeds seeds{SeedSource::Footprints, {}};
  const CellBox box(agent);
  for (int32_t x = box.x0; x <= box.x1; ++x) {
    for (int32_t y = box.y0; y <= box.y1; ++y) {
      const MapCell c = agent.cellValue(x, y);
      const bool footprint = (c & CELL_UNKNOWN) == 0 && (c & (CELL_FOOTPRINT | CELL_OWN_FOOTPRINT)) != 0;
      if (footprint && knownFree(truth.cellOrUnknown(x, y))) seeds.cells.push_back({x, y});
    }
  }
  if (seeds.cells.empty()) seeds.source = SeedSource::None;
  return seeds;
}

MapScore scoreMap(const OccupancyMap& agent, const OccupancyMap& truth, const std::vector<GridCell>& seeds) {
  MapScore s;
  countTruth(agent, truth, seeds, s);
  countObstacles(agent, truth, s);
  return s;
}

MapAgreement compareMaps(const OccupancyMap& a, const OccupancyMap& b) {
  MapAgreement m;
  const RasterView va = RasterView::whole(a), vb = RasterView::whole(b);
  for (int32_t y = std::min(va.y0, vb.y0); y <= std::max(va.y1, vb.y1); ++y) {
    for (int32_t x = std::min(va.x0, vb.x0); x <= std::max(va.x1, vb.x1); ++x) {
      const CellClass ca = classify(a.cellOrUnknown(x, y)), cb = classify(b.cellOrUnknown(x, y));
      m.knownA += ca != CellClass::Unknown;
      m.knownB += cb != CellClass::Unknown;
      if (ca == CellClass::Unknown && cb == CellClass::Unknown) continue;
      ++m.knownEither;
      m.alike += ca == cb;
    }
  }
  return m;
}
