#pragma once
// Wall segments bucketed in a uniform grid, so that a sonar ray or a robot's contact test
// looks only at the walls near it instead of every wall of the world.
#include <cstdint>
#include <vector>

#include "sim/grid_geometry.h"
#include "sim/world.h"

namespace sim {

// The first wall a ray meets: its distance and index, or a distance beyond the range
// (and no wall) when there is none.
struct WallHit {
  double distance;
  const Segment* wall;
};

class WallGrid {
 public:
  explicit WallGrid(const std::vector<Segment>& walls);

  // The first wall along the ray from (x, y) in the unit direction (dx, dy); its distance
  // is greater than maxRange (and wall null) when no wall lies within maxRange.
  WallHit castRayToWall(double x, double y, double dx, double dy, double maxRange) const;
  // The distance part of castRayToWall.
  double castRay(double x, double y, double dx, double dy, double maxRange) const {
    return castRayToWall(x, y, dx, dy, maxRange).distance;
  }

  // Calls visit(segment) for every wall that may come within radius of (x, y); a wall may
  // be visited more than once. visit returns false to stop early.
  template <typename Visit>
  void forEachWallNear(double x, double y, double radius, Visit&& visit) const;

  const std::vector<Segment>& walls() const { return myWalls; }
  double cellSize() const { return myGeometry.cell; }

 private:
  const std::vector<uint32_t>& bucket(int cx, int cy) const {
    return myBuckets[static_cast<size_t>(cy) * myGeometry.cols + cx];
  }
  // Lowers best to the nearest hit of the ray among the walls in one bucket.
  void nearestInBucket(int cx, int cy, double x, double y, double dx, double dy, WallHit& best) const;

  std::vector<Segment> myWalls;
  std::vector<std::vector<uint32_t>> myBuckets;  // wall indices per cell, row-major
  GridGeometry myGeometry;
};

// Distance from the ray origin (x, y) along the unit direction (dx, dy) to segment s;
// negative when the ray misses it. A ray running along the segment counts as a miss.
double raySegmentDistance(double x, double y, double dx, double dy, const Segment& s);
// Cosine of the angle between the unit direction (dx, dy) and the normal of segment s: 1
// meeting it head on, 0 running along it.
double cosIncidence(double dx, double dy, const Segment& s);
// Nearest point of segment s to (px, py).
void closestPointOnSegment(const Segment& s, double px, double py, double& cx, double& cy);
// Distance from (x, y) along the unit direction (dx, dy) to the circle of radius r
// centred at (cx, cy); 0 when the origin is inside, negative when the ray misses.
double rayCircleDistance(double x, double y, double dx, double dy, double cx, double cy, double r);

template <typename Visit>
void WallGrid::forEachWallNear(double x, double y, double radius, Visit&& visit) const {
  const int x0 = myGeometry.cellX(x - radius), x1 = myGeometry.cellX(x + radius);
  const int y0 = myGeometry.cellY(y - radius), y1 = myGeometry.cellY(y + radius);
  for (int cy = y0; cy <= y1; ++cy) {
    for (int cx = x0; cx <= x1; ++cx) {
      for (uint32_t index : bucket(cx, cy)) {
        if (!visit(myWalls[index])) return;
      }
    }
  }
}

}  // namespace sim
