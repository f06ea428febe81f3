#include "tools/lib/map_score.h"

#include <utility>
#include <vector>

namespace {

bool isWall(const OccupancyMap& truth, int x, int y) { return isObstacleCell(truth.cellOrUnknown(x, y)); }

bool knownFree(MapCell c) { return (c & CELL_UNKNOWN) == 0 && (c & CELL_OCCUPANCY) < OBSTACLE_OCCUPANCY; }

bool nearTrueWall(const OccupancyMap& truth, int x, int y) {
  for (int dx = -1; dx <= 1; ++dx)
    for (int dy = -1; dy <= 1; ++dy)
      if (isWall(truth, x + dx, y + dy)) return true;
  return false;
}

// Marks the truth cells reachable from the origin; indexed by (x + minx) * height + (y + miny).
std::vector<char> reachableFrom0(const OccupancyMap& truth) {
  const int width = truth.minx + truth.maxx, height = truth.miny + truth.maxy;
  std::vector<char> seen(static_cast<size_t>(width) * height, 0);
  auto index = [&](int x, int y) { return static_cast<size_t>(x + truth.minx) * height + (y + truth.miny); };
  std::vector<std::pair<int, int>> todo;
  if (!isWall(truth, 0, 0)) {
    seen[index(0, 0)] = 1;
    todo.emplace_back(0, 0);
  }
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    const int next[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
    for (const auto& n : next) {
      if (!truth.inBounds(n[0], n[1]) || isWall(truth, n[0], n[1]) || seen[index(n[0], n[1])]) continue;
      seen[index(n[0], n[1])] = 1;
      todo.emplace_back(n[0], n[1]);
    }
  }
  return seen;
}

}  // namespace

MapScore scoreMap(const OccupancyMap& agent, const OccupancyMap& truth) {
  MapScore s;
  const std::vector<char> reachable = reachableFrom0(truth);
  const int height = truth.miny + truth.maxy;
  for (int x = -truth.minx + 1; x < truth.maxx; ++x) {
    for (int y = -truth.miny + 1; y < truth.maxy; ++y) {
      MapCell mine = agent.cellOrUnknown(x, y);
      if (isWall(truth, x, y)) {
        ++s.trueWalls;
        if (knownFree(mine)) ++s.wallsReadFree;
      } else if (reachable[static_cast<size_t>(x + truth.minx) * height + (y + truth.miny)]) {
        ++s.reachableFree;
        if (knownFree(mine)) ++s.coveredFree;
      }
    }
  }
  for (int x = -agent.minx + 1; x < agent.maxx; ++x) {
    for (int y = -agent.miny + 1; y < agent.maxy; ++y) {
      if (!isObstacleCell(agent.cellValue(x, y))) continue;
      ++s.agentObstacles;
      if (nearTrueWall(truth, x, y)) ++s.nearWall;
    }
  }
  return s;
}
