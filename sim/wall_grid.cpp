#include "sim/wall_grid.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr double kMinCellSize = 500.0;

double cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

}  // namespace

WallGrid::WallGrid(const std::vector<Segment>& walls) : myWalls(walls) {
  if (myWalls.empty()) {
    myBuckets.resize(1);
    return;
  }
  double minX = myWalls[0].x1, maxX = minX, minY = myWalls[0].y1, maxY = minY;
  for (const Segment& s : myWalls) {
    minX = std::min({minX, s.x1, s.x2});
    maxX = std::max({maxX, s.x1, s.x2});
    minY = std::min({minY, s.y1, s.y2});
    maxY = std::max({maxY, s.y1, s.y2});
  }
  myGeometry = GridGeometry::covering(minX, minY, maxX, maxY, kMinCellSize);
  myBuckets.resize(static_cast<size_t>(myGeometry.cols) * myGeometry.rows);
  for (uint32_t i = 0; i < myWalls.size(); ++i) {
    const Segment& s = myWalls[i];
    // The segment's bounding box of cells: a few extra candidates, never a missed wall.
    const int x0 = myGeometry.cellX(std::min(s.x1, s.x2)), x1 = myGeometry.cellX(std::max(s.x1, s.x2));
    const int y0 = myGeometry.cellY(std::min(s.y1, s.y2)), y1 = myGeometry.cellY(std::max(s.y1, s.y2));
    for (int cy = y0; cy <= y1; ++cy) {
      for (int cx = x0; cx <= x1; ++cx) myBuckets[static_cast<size_t>(cy) * myGeometry.cols + cx].push_back(i);
    }
  }
}

void WallGrid::nearestInBucket(int cx, int cy, double x, double y, double dx, double dy, WallHit& best) const {
  for (uint32_t index : bucket(cx, cy)) {
    const double d = raySegmentDistance(x, y, dx, dy, myWalls[index]);
    if (d >= 0 && d < best.distance) best = {d, &myWalls[index]};
  }
}

// Walks the cells the ray crosses in order (Amanatides-Woo) and stops once a hit lies
// before the exit of the cell being searched: every wall crossed earlier on the ray sits in
// a cell already searched. An origin outside the grid starts in the nearest border cell.
WallHit WallGrid::castRayToWall(double x, double y, double dx, double dy, double maxRange) const {
  int cx = myGeometry.cellX(x), cy = myGeometry.cellY(y);
  const int stepX = dx > 0 ? 1 : -1, stepY = dy > 0 ? 1 : -1;
  const double inf = maxRange * 2 + 1;
  const double nextX = myGeometry.minX + (cx + (dx > 0 ? 1 : 0)) * myGeometry.cell;
  const double nextY = myGeometry.minY + (cy + (dy > 0 ? 1 : 0)) * myGeometry.cell;
  double tMaxX = dx != 0 ? std::max(0.0, (nextX - x) / dx) : inf;
  double tMaxY = dy != 0 ? std::max(0.0, (nextY - y) / dy) : inf;
  const double tDeltaX = dx != 0 ? myGeometry.cell / std::fabs(dx) : inf;
  const double tDeltaY = dy != 0 ? myGeometry.cell / std::fabs(dy) : inf;
  WallHit best{maxRange + 1, nullptr};
  for (;;) {
    nearestInBucket(cx, cy, x, y, dx, dy, best);
    const double exit = std::min(tMaxX, tMaxY);
    if (best.distance <= exit || exit > maxRange) return best;
    if (tMaxX < tMaxY) {
      cx += stepX;
      tMaxX += tDeltaX;
    } else {
      cy += stepY;
      tMaxY += tDeltaY;
    }
    // Every wall lies inside the grid, so leaving it ends the search.
    if (cx < 0 || cy < 0 || cx >= myGeometry.cols || cy >= myGeometry.rows) return best;
  }
}

double raySegmentDistance(double x, double y, double dx, double dy, const Segment& s) {
  const double ex = s.x2 - s.x1, ey = s.y2 - s.y1;
  const double denom = cross(dx, dy, ex, ey);
  if (std::fabs(denom) < 1e-12) return -1;
  const double ax = s.x1 - x, ay = s.y1 - y;
  const double t = cross(ax, ay, ex, ey) / denom;
  const double u = cross(ax, ay, dx, dy) / denom;
  if (t < 0 || u < 0 || u > 1) return -1;
  return t;
}

double cosIncidence(double dx, double dy, const Segment& s) {
  const double ex = s.x2 - s.x1, ey = s.y2 - s.y1;
  return std::fabs(cross(dx, dy, ex, ey)) / std::hypot(ex, ey);
}

void closestPointOnSegment(const Segment& s, double px, double py, double& cx, double& cy) {
  const double ex = s.x2 - s.x1, ey = s.y2 - s.y1;
  const double len2 = ex * ex + ey * ey;
  double u = len2 > 0 ? ((px - s.x1) * ex + (py - s.y1) * ey) / len2 : 0;
  u = std::clamp(u, 0.0, 1.0);
  cx = s.x1 + u * ex;
  cy = s.y1 + u * ey;
}

double rayCircleDistance(double x, double y, double dx, double dy, double cx, double cy, double r) {
  const double ox = x - cx, oy = y - cy;
  const double c = ox * ox + oy * oy - r * r;
  if (c <= 0) return 0;
  const double b = ox * dx + oy * dy;
  if (b >= 0) return -1;  // pointing away from the circle
  const double disc = b * b - c;
  if (disc < 0) return -1;
  return -b - std::sqrt(disc);
}

}  // namespace sim
