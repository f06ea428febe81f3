#include "nav/plan/pot_field.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "aria/ar_math.h"

PotField::PotField(ArPose goal, double robotRadius, OccupancyMap* map)
    : goal(goal),
      robotRadius(robotRadius),
      influenceRange(10.0 * robotRadius),
      influenceRangeInv(1.0 / influenceRange) {
  assert(map != nullptr);
  maps.push_back(map);
}

void PotField::computeField(double x, double y) {
  if (cacheValid && x == cacheX && y == cacheY) return;
  Sum sum{1.0, 0.0, 0.0};
  if (useGoal) {
    const double dx = x - goal.getX();
    const double dy = y - goal.getY();
    sum = {(attractGain / 2.0) * (dx * dx + dy * dy), -attractGain * dx, -attractGain * dy};
  }
  // Repulsion is scaled by the attraction potential at the point, so obstacles at the
  // goal itself add nothing.
  const double c = sum.u * repulseGain;
  for (OccupancyMap* map : maps) {
    ArLockGuard hold(map->mutex);
    addRepulsion(*map, x, y, c, sum);
  }
  potential = sum.u;
  forceX = sum.fx;
  forceY = sum.fy;
  cacheX = x;
  cacheY = y;
  cacheValid = true;
}

// Samples the square of side 2 x influenceRange around (x, y) in steps of the map's
// cell size. Sample points keep their offset from (x, y); a cell met by two samples
// counts twice. The rows of samples are the same in every column, so their cell
// indices are computed once.
void PotField::addRepulsion(const OccupancyMap& map, double x, double y, double c, Sum& sum) {
  const double step = map.res;
  if (!(step > 0)) return;  // a broken resolution would never end the scan
  const double cmax = 1000.0 * c;
  myRows.clear();
  for (double cy = y - influenceRange; cy <= y + influenceRange; cy += step) myRows.push_back({cy, map.toCell(cy)});

  for (double cx = x - influenceRange; cx <= x + influenceRange; cx += step) {
    const int32_t cellX = map.toCell(cx);
    if (cellX <= -map.minx || cellX >= map.maxx) continue;  // the whole column reads unknown
    for (const Sample& row : myRows) {
      if (!isObstacleCell(map.cellOrUnknown(cellX, row.cell))) continue;
      const double ox = x - cx;
      const double oy = y - row.mm;
      const double rho = std::sqrt(ox * ox + oy * oy);
      if (rho <= robotRadius) {
        sum.u += cmax;
        continue;
      }
      const double r = rho - robotRadius;
      if (r > influenceRange) continue;
      const double q = 1.0 / r;
      const double e = q - influenceRangeInv;
      sum.u += std::min((c / 2.0) * (e * e), cmax);
      const double push = c * e * (q * q * q);
      sum.fx += push * ox;
      sum.fy += push * oy;
    }
  }
}

double fieldStrength(const PotField& field) {
  return std::min(1.0, (field.forceX * field.forceX + field.forceY * field.forceY) * 0.000001);
}

double fieldHeading(const PotField& field) {
  return normalizeAngle(std::atan2(field.forceY, field.forceX) * 180.0 / 3.1415927);
}

bool HeadwayWatch::gaining(double distanceMm, double nowMs) {
  if (!myStarted || distanceMm <= myBest - myMargin) progress(distanceMm, nowMs);
  return nowMs - myBestAt < myWindow;
}

void HeadwayWatch::progress(double distanceMm, double nowMs) {
  myBest = myStarted ? std::min(myBest, distanceMm) : distanceMm;
  myStarted = true;
  myBestAt = nowMs;
}

double normalizeAngle(double degrees) { return ArMath::fixAngle(degrees); }
