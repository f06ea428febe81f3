#pragma once
// An artificial potential field over occupancy maps: the goal attracts, obstacle cells
// within reach repel. The results for the last point asked are cached.
#include <vector>

#include "aria/ar_pose.h"
#include "map/occupancy_map.h"

class PotField {
 public:
  // Reads the given map, which must outlive the field (the agent's behaviours give it
  // their local map).
  PotField(ArPose goal, double robotRadius, OccupancyMap* map);

  std::vector<OccupancyMap*> maps;  // not owned
  bool useGoal = true;              // false: the goal term is the constant potential 1
  ArPose goal;
  double robotRadius;               // mm; a sample this close counts as contact
  double attractGain = 1.0;
  double repulseGain = 10000.0;
  double influenceRange;            // mm beyond robotRadius where obstacles still act
  double influenceRangeInv;         // 1 / influenceRange
  bool cacheValid = false;
  double cacheX = 0, cacheY = 0;    // the point of the stored results
  double potential = 0, forceX = 0, forceY = 0;

  // Brings potential, forceX and forceY up to date for (x, y), in mm.
  void computeField(double x, double y);

 private:
  struct Sum {
    double u, fx, fy;
  };
  struct Sample {
    double mm;
    int32_t cell;
  };
  void addRepulsion(const OccupancyMap& map, double x, double y, double c, Sum& sum);

  // Scratch reused by every computation so that the per-cycle path never allocates.
  std::vector<Sample> myRows;
};

// Force strength: squared magnitude over one million, capped at 1.
double fieldStrength(const PotField& field);
// Direction of the force in degrees, normalised with normalizeAngle.
double fieldHeading(const PotField& field);

// Whether a robot following a field still gains on its goal. At a local minimum a slow
// control cycle overshoots, so the robot circles round it and the force never fades; the
// robot has then come no closer than its best for a while.
class HeadwayWatch {
 public:
  explicit HeadwayWatch(double windowMs = 10000, double marginMm = 100) : myWindow(windowMs), myMargin(marginMm) {}
  // The distance to the goal at nowMs (any steady clock); false once the robot has not
  // come marginMm closer than its best for windowMs.
  bool gaining(double distanceMm, double nowMs);
  // Headway shown otherwise (a way to the goal opened): the window starts again, and the
  // best is kept unless the distance beats it.
  void progress(double distanceMm, double nowMs);
  // A new goal: the watch starts over.
  void reset() { myStarted = false; }

 private:
  double myWindow, myMargin;
  bool myStarted = false;
  double myBest = 0, myBestAt = 0;
};

// Normalises an angle in degrees into (-180, 180] with the robot library's one rule
// (ArMath::fixAngle): whole turns are removed exactly, so the fraction of a degree is
// kept as it is, and huge angles cannot overflow anything.
double normalizeAngle(double degrees);
