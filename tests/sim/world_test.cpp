// World files: the parser's rules and errors, and the shipped worlds.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "sim/wall_grid.h"
#include "sim/world.h"

namespace {

std::string parseError(const std::string& text) {
  sim::World world;
  std::string error;
  EXPECT_FALSE(sim::parseWorld(text, world, error)) << text;
  return error;
}

TEST(WorldParser, ReadsWallsBoxesStartsAndComments) {
  sim::World world;
  std::string error;
  ASSERT_TRUE(sim::parseWorld("# a comment\n\n  wall 0 0 1000 0   # trailing comment\r\n"
                              "box -1 -2 3 4\n\tstart 1.5 -2e3 90\n",
                              world, error))
      << error;
  ASSERT_EQ(world.walls.size(), 5u);
  EXPECT_EQ(world.walls[0].x2, 1000);
  // The box's four sides close on its corners.
  for (size_t i = 1; i < 5; ++i) {
    const sim::Segment& side = world.walls[i];
    const sim::Segment& next = world.walls[i == 4 ? 1 : i + 1];
    EXPECT_EQ(side.x2, next.x1);
    EXPECT_EQ(side.y2, next.y1);
    EXPECT_TRUE(side.x1 == side.x2 || side.y1 == side.y2);
  }
  ASSERT_EQ(world.starts.size(), 1u);
  EXPECT_EQ(world.starts[0].y, -2000);
}

TEST(WorldParser, BadLinesNameTheirLineAndLeaveTheWorldUntouched) {
  EXPECT_EQ(parseError("wall 0 0 1 1\n\nwall 0 0 1\n"), "line 3: wall needs 4 numbers, got 3");
  EXPECT_EQ(parseError("start 0 0 nan\n"), "line 1: number out of range: 'nan'");
  EXPECT_EQ(parseError("start 0 0 inf\n"), "line 1: number out of range: 'inf'");
  EXPECT_EQ(parseError("box 0 0 1e300 1\n"), "line 1: number out of range: '1e300'");
  EXPECT_EQ(parseError("wall 0 0 1 1x\n"), "line 1: not a number: '1x'");
  EXPECT_EQ(parseError("wall 5 5 5 5\n"), "line 1: wall has zero length");
  EXPECT_EQ(parseError("box 0 0 0 10\n"), "line 1: box needs a non-zero width and height");
  EXPECT_EQ(parseError("#\ncircle 0 0 5\n"), "line 2: unknown item 'circle' (expected wall, box or start)");
  EXPECT_EQ(parseError("start 1 2 3 4\n"), "line 1: start needs 3 numbers, got 4");
  sim::World world;
  world.starts.push_back({1, 2, 3});
  std::string error;
  EXPECT_FALSE(sim::parseWorld("start 0 0 0\nwall\n", world, error));
  EXPECT_EQ(world.starts.size(), 1u);
  EXPECT_EQ(world.starts[0].x, 1);
}

TEST(WorldParser, FileErrorsNameTheFile) {
  const std::string path = ::testing::TempDir() + "bad.world";
  std::ofstream(path) << "start 0 0 0\nbox 1 2 3\n";
  sim::World world;
  std::string error;
  EXPECT_FALSE(sim::loadWorld(path, world, error));
  EXPECT_EQ(error, path + ":2: box needs 4 numbers, got 3");
  EXPECT_FALSE(sim::loadWorld(path + ".missing", world, error));
  EXPECT_EQ(error, path + ".missing: cannot open the world file");
  // A directory opens as a file on Linux and used to load as an empty world.
  EXPECT_FALSE(sim::loadWorld(::testing::TempDir(), world, error));
  EXPECT_EQ(error, ::testing::TempDir() + ": is a directory, not a world file");
  // Binary bytes never reach the message raw: escaped, cut, or refused as not text.
  std::ofstream(path, std::ios::binary) << "\x7f" "ELF\x1b[2J" << std::string(60, 'A') << " 0\n";
  EXPECT_FALSE(sim::loadWorld(path, world, error));
  EXPECT_EQ(error, path + ":1: unknown item '\\x7FELF\\x1B[2J" + std::string(32, 'A') + "'... (expected wall, box or start)");
  std::ofstream(path, std::ios::binary) << "wall 0 0 1 1\n\n" << std::string("\x01\0\x02", 3);
  EXPECT_FALSE(sim::loadWorld(path, world, error));
  EXPECT_EQ(error, path + ":3: a NUL byte: not a text file");
}

double clearance(const sim::World& world, double x, double y) {
  double nearest = 1e12;
  for (const sim::Segment& s : world.walls) {
    double cx, cy;
    sim::closestPointOnSegment(s, x, y, cx, cy);
    nearest = std::min(nearest, std::hypot(cx - x, cy - y));
  }
  return nearest;
}

TEST(ShippedWorlds, LoadAndStartEveryRobotClearOfWallsAndOfEachOther) {
  for (const char* name : {"office", "arena", "maze", "trap"}) {
    const std::string path = std::string(MCAGENT_SOURCE_DIR) + "/worlds/" + name + ".world";
    sim::World world;
    std::string error;
    ASSERT_TRUE(sim::loadWorld(path, world, error)) << error;
    ASSERT_FALSE(world.starts.empty()) << name;
    for (size_t i = 0; i < world.starts.size(); ++i) {
      const sim::StartPose& a = world.starts[i];
      EXPECT_GT(clearance(world, a.x, a.y), 400) << name << " start " << i;
      for (size_t j = i + 1; j < world.starts.size(); ++j) {
        EXPECT_GT(std::hypot(a.x - world.starts[j].x, a.y - world.starts[j].y), 600) << name;
      }
    }
  }
}

TEST(ShippedWorlds, TrapGoalIsBehindTheU) {
  sim::World world;
  std::string error;
  ASSERT_TRUE(sim::loadWorld(std::string(MCAGENT_SOURCE_DIR) + "/worlds/trap.world", world, error)) << error;
  const sim::WallGrid grid(world.walls);
  const sim::StartPose start = world.starts.at(0);
  // Straight ahead the U's back wall blocks the way to the goal 4 m ahead...
  EXPECT_NEAR(grid.castRay(start.x, start.y, 1, 0, 5000), 2000, 1e-9);
  // ...and the U is open toward the robot, wide enough to drive into.
  EXPECT_GE(clearance(world, start.x + 1500, start.y), 500);
  EXPECT_GT(clearance(world, start.x + 4000, start.y), 500) << "the goal is reachable free space";
}

}  // namespace
