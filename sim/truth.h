#pragma once
// Ground-truth maps of a world, in the agent's map file format, for comparing the maps
// the agents build.
#include <string>

#include "map/occupancy_map.h"
#include "sim/world.h"

namespace sim {

constexpr double kTruthResMm = 100;
constexpr double kTruthRobotRadiusMm = 150;
constexpr double kTruthCorridorMm = 2500;

// The file for start pose index when a world has several: "truth.ppm" -> "truth.1.ppm"
// (the index goes before the extension, or at the end of a name without one).
std::string truthFileName(const std::string& file, size_t index);

// The frame of the truth maps: one per start pose in the odometric frame of a robot
// starting there, or one in the world file's own coordinates.
enum class TruthFrame { StartPoses, World };

// Writes the ground truth. Wall cells are occupied (254), every other cell within the
// walls' bounding box free; cells beyond it unknown. In the start-pose frame: one map per
// start pose (one only, named file, in ghost mode or with a single start pose), each with
// its origin at the pose and x along its heading. In the world frame: one map, named file.
// False with a message on failure.
// Draws the ground truth of world into map (the caller holds its mutex) as the files
// have it, in the frame of a robot starting at pose; pose (0, 0, 0) gives the world frame.
void drawTruthMap(const World& world, const StartPose& pose, OccupancyMap& map);

bool writeTruthMaps(const World& world, bool ghosts, TruthFrame frame, const std::string& file, std::string& error);

}  // namespace sim
