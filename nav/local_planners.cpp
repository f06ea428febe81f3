#include "nav/local_planners.h"

#include "state/shared_state.h"

PotField localPotField(ArPose goal, double robotRadius) { return PotField(goal, robotRadius, &*localMap); }

FloodPath localFloodPath(ArPose goal, double res, double robotRadius) {
  return FloodPath(goal, res, robotRadius, &*localMap);
}
