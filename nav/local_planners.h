#pragma once
// The planners as the behaviours use them: over the shared localMap, which must exist
// for as long as the planner does (it lives from before the first pass to process exit).
#include "aria/ar_pose.h"
#include "nav/plan/flood_path.h"
#include "nav/plan/pot_field.h"

PotField localPotField(ArPose goal, double robotRadius);
// Computes the flood at once.
FloodPath localFloodPath(ArPose goal, double res, double robotRadius);
