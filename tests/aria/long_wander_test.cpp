// Long run (about a minute per start pose): the five wander actions, installed the way
// the exploring behaviour installs them, keep a robot moving through the office world
// without ever stalling against a wall. Filter with --gtest_filter=LongWander.* (or
// exclude with -LongWander.*).
#include <gtest/gtest.h>

#include "aria/aria.h"
#include "sim/server.h"
#include "tests/support/sim_robot.h"

namespace {

constexpr int kRunMs = 60000;

struct WanderResult {
  int stalledChecks = 0;
  double travelled = 0;
  double farthest = 0;  // from the start point
  int lostChecks = 0;
};

// Holds the robot lock except around 100 ms sleeps and checks the stall bits at every
// wake-up, as the exploring behaviour does.
WanderResult wander(ArRobot& robot, int runMs) {
  ArActionStallRecover recover("stall recover", 225, 50, 150, 45);
  ArActionBumpers bumpers("bumpers", 100, 3000, 3000, false);
  ArActionAvoidFront avoidNear("Avoid Front Near", 225, 0, 15, true);
  ArActionAvoidFront avoidFar("avoid front obstacles", 450, 200, 15, true);
  ArActionConstantVelocity forward("Constant Velocity", 400);
  WanderResult r;
  robot.lock();
  robot.clearDirectMotion();
  robot.addAction(&recover, 100);
  robot.addAction(&bumpers, 75);
  robot.addAction(&avoidNear, 50);
  robot.addAction(&avoidFar, 49);
  robot.addAction(&forward, 25);
  ArPose start = robot.getPose(), last = start;
  for (int64_t end = ArTime::nowMSec() + runMs; ArTime::nowMSec() < end;) {
    if (robot.getStallValue() & 0x0101) ++r.stalledChecks;
    if (!robot.isConnected() || !robot.isRunning()) ++r.lostChecks;
    ArPose now = robot.getPose();
    r.travelled += now.findDistanceTo(last);
    r.farthest = std::max(r.farthest, now.findDistanceTo(start));
    last = now;
    robot.unlock();
    ArUtil::sleep(100);
    robot.lock();
  }
  robot.remAction(&recover);
  robot.remAction(&bumpers);
  robot.remAction(&avoidNear);
  robot.remAction(&avoidFar);
  robot.remAction(&forward);
  robot.stop();
  robot.unlock();
  return r;
}

void wanderFrom(size_t startIndex) {
  sim::World world;
  std::string error;
  ASSERT_TRUE(sim::loadWorld(MCAGENT_SOURCE_DIR "/worlds/office.world", world, error)) << error;
  world.starts = {world.starts.at(startIndex)};
  testsupport::SimRobot s(world);
  ASSERT_TRUE(s.connectAndRun());
  WanderResult r = wander(s.robot, kRunMs);
  EXPECT_EQ(r.stalledChecks, 0);
  EXPECT_EQ(r.lostChecks, 0);
  EXPECT_GT(r.travelled, 8000);  // 60 s at up to 400 mm/s, with turns
  EXPECT_GT(r.farthest, 2000);
  std::fprintf(stderr, "travelled %.0f mm, farthest %.0f mm from the start\n", r.travelled, r.farthest);
}

}  // namespace

TEST(LongWander, OfficeCorridorStart) { wanderFrom(0); }
TEST(LongWander, OfficeRoomStart) { wanderFrom(3); }
