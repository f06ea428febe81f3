// Ground-truth map files: names, frames and cell contents, read back with the agent's reader.
#include <gtest/gtest.h>

#include <cstdio>

#include "map/map_file.h"
#include "map/occupancy_map.h"
#include "sim/truth.h"

namespace {

sim::World loadShipped(const char* name) {
  sim::World world;
  std::string error;
  EXPECT_TRUE(sim::loadWorld(std::string(MCAGENT_SOURCE_DIR) + "/worlds/" + name + ".world", world, error)) << error;
  return world;
}

// Cell value at the robot-frame point (x, y) mm of a map file.
MapCell cellAt(const std::string& file, double x, double y) {
  OccupancyMap map(100, 150, 2500);
  ArLockGuard lock(map.mutex);
  EXPECT_TRUE(readMapFile(map, file.c_str())) << file;
  return map.cellOrUnknown(map.toCell(x), map.toCell(y));
}

TEST(TruthMaps, FileNamesTakeThePoseIndexBeforeTheExtension) {
  EXPECT_EQ(sim::truthFileName("truth.ppm", 0), "truth.0.ppm");
  EXPECT_EQ(sim::truthFileName("out/a.b/truth.ppm", 12), "out/a.b/truth.12.ppm");
  EXPECT_EQ(sim::truthFileName("out.d/truth", 1), "out.d/truth.1");
  EXPECT_EQ(sim::truthFileName(".truth", 2), ".truth.2");
}

TEST(TruthMaps, EachStartPoseGetsAMapInItsOwnFrameOrOneMapIsInTheWorldFrame) {
  const std::string base = ::testing::TempDir() + "office_truth.ppm";
  std::string error;
  ASSERT_TRUE(sim::writeTruthMaps(loadShipped("office"), false, sim::TruthFrame::StartPoses, base, error)) << error;
  // Start 1 at (10000, 7500) facing +x: the corridor wall 1.5 m to its right.
  EXPECT_EQ(cellAt(sim::truthFileName(base, 1), 0, -1550), 254);
  EXPECT_EQ(cellAt(sim::truthFileName(base, 1), 0, -1000), 0) << "corridor floor is free and known";
  // Start 2 at (18000, 7500) facing -x: world (19000, 6000) is 1 m behind, 1.5 m to the left.
  EXPECT_EQ(cellAt(sim::truthFileName(base, 2), -1050, 1550), 254);
  EXPECT_EQ(cellAt(sim::truthFileName(base, 2), 0, 1550), 0) << "the door gap at x 16900-18100";
  // Outside the building nothing is known.
  EXPECT_EQ(cellAt(sim::truthFileName(base, 0), -5000, 0), CELL_UNKNOWN);
  for (int i = 0; i < 4; ++i) std::remove(sim::truthFileName(base, i).c_str());
  // The world frame: one file in the world file's coordinates.
  ASSERT_TRUE(sim::writeTruthMaps(loadShipped("office"), false, sim::TruthFrame::World, base, error)) << error;
  EXPECT_EQ(cellAt(base, 10000, 5950), 254) << "the corridor wall at y 6000";
  EXPECT_EQ(cellAt(base, 10000, 7500), 0);
  EXPECT_EQ(cellAt(base, 2500, 6000), 0) << "the door gap at x 1900-3100";
  EXPECT_EQ(cellAt(base, -500, 7500), CELL_UNKNOWN);
  EXPECT_EQ(std::fopen(sim::truthFileName(base, 0).c_str(), "r"), nullptr);
  std::remove(base.c_str());
}

TEST(TruthMaps, GhostsAndSingleStartWorldsWriteOneFile) {
  const std::string file = ::testing::TempDir() + "trap_truth.ppm";
  std::string error;
  ASSERT_TRUE(sim::writeTruthMaps(loadShipped("trap"), false, sim::TruthFrame::StartPoses, file, error)) << error;
  EXPECT_EQ(cellAt(file, 2050, 0), 254) << "the U's back wall 2 m ahead";
  EXPECT_EQ(cellAt(file, 1500, 0), 0);
  const std::string ghosts = ::testing::TempDir() + "arena_truth.ppm";
  ASSERT_TRUE(sim::writeTruthMaps(loadShipped("arena"), true, sim::TruthFrame::StartPoses, ghosts, error)) << error;
  EXPECT_EQ(cellAt(ghosts, 6050, 0), 254);
  EXPECT_EQ(std::fopen(sim::truthFileName(ghosts, 1).c_str(), "r"), nullptr);
  std::remove(file.c_str());
  std::remove(ghosts.c_str());
  EXPECT_FALSE(sim::writeTruthMaps(loadShipped("trap"), false, sim::TruthFrame::StartPoses, "/nonexistent-dir/t.ppm", error));
  EXPECT_NE(error.find("/nonexistent-dir/t.ppm"), std::string::npos);
}

}  // namespace
