// The behaviours driving a real robot in the simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "nav/behaviours.h"
#include "state/shared_state.h"
#include "tests/nav/sim_session.h"

namespace {

using navtest::SimSession;
using Clock = std::chrono::steady_clock;

constexpr char OPEN_ROOM[] = "box -8000 -8000 8000 8000\n";
// A wall square across the way to the goal at (3000, 0): the field alone balances in
// front of it on the axis of symmetry.
constexpr char WALL_AHEAD[] = "box -8000 -8000 8000 8000\nwall 1500 -1000 1500 1000\n";

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(Behaviours, PotFieldDrivesToAGoalAheadAndReturnsNearIt) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  goalPose.store(ArPose(2000, 0, 0));
  ASSERT_TRUE(session.runWithin(actPotField, MODE_POT_FIELD, 40000));
  EXPECT_EQ(getMode(), MODE_POT_FIELD);  // the controller, not the behaviour, moves on
  EXPECT_EQ(getExitFlag(), 0);
  const double left = session.pose().findDistanceTo(ArPose(2000, 0));
  EXPECT_LT(left, 260);  // the force fades below 0.05 about 224 mm before the goal
  EXPECT_GT(left, 100);
}

TEST(Behaviours, PathGoesAroundTheWallWhereTheFieldStops) {
  SimSession session(WALL_AHEAD);
  ASSERT_TRUE(session.start());
  const ArPose goal(3000, 0, 0);
  goalPose.store(goal);
  ASSERT_TRUE(session.runWithin(actPotField, MODE_POT_FIELD, 40000));
  const ArPose stuck = session.pose();
  EXPECT_LT(stuck.getX(), 1500 - 250);
  EXPECT_GT(stuck.findDistanceTo(goal), 1000);
  EXPECT_EQ(getExitFlag(), 0);

  ASSERT_TRUE(session.runWithin(actPath, MODE_PATH, 240000)) << "stopped at " << session.pose().getX() << ","
                                                             << session.pose().getY();
  EXPECT_EQ(getExitFlag(), 0);
  EXPECT_LT(session.pose().findDistanceTo(goal), 200);
}

TEST(Behaviours, PathFollowsAGoalChangedDuringTheRun) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  goalPose.store(ArPose(3000, 0, 0));
  const ArPose second(0, 1200, 0);
  std::thread retarget([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    goalPose.store(second);
  });
  ASSERT_TRUE(session.runWithin(actPath, MODE_PATH, 90000));
  retarget.join();
  EXPECT_EQ(getExitFlag(), 0);
  EXPECT_LT(session.pose().findDistanceTo(second), 200);
}

TEST(Behaviours, EveryBehaviourReturnsAtOnceWhenTheExitFlagIsSet) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  goalPose.store(ArPose(3000, 0, 0));
  for (auto behaviour : {actErratic, actPotField, actPath, actStopAndManual}) {
    setExitFlag(1);
    const auto start = Clock::now();
    ASSERT_TRUE(session.runWithin(behaviour, MODE_ERRATIC, 5000));
    EXPECT_LT(msSince(start), 500);
  }
}

TEST(Behaviours, ErraticWandersUntilTheModeChangesAndLeavesNoActionBehind) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  std::thread changer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    setMode(MODE_POT_FIELD);
  });
  const auto start = Clock::now();
  ASSERT_TRUE(session.runWithin(actErratic, MODE_ERRATIC, 10000));
  const long long ranMs = msSince(start);
  changer.join();
  EXPECT_GE(ranMs, 2500);
  EXPECT_LT(ranMs, 2500 + 700);  // noticed at the next 100 ms check
  EXPECT_GT(session.pose().getX(), 400);  // constant velocity drove it forward
  EXPECT_EQ(getExitFlag(), 0);

  // With the actions gone and no command, the robot does not speed up again.
  robot->lock();
  robot->stop();
  robot->unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const ArPose halted = session.pose();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT(session.pose().findDistanceTo(halted), 5);
}

TEST(Behaviours, LostRobotSetsTheExitFlag) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  goalPose.store(ArPose(6000, 0, 0));
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    session.stopServer();
  });
  ASSERT_TRUE(session.runWithin(actPotField, MODE_POT_FIELD, 20000));
  unplug.join();
  EXPECT_EQ(getExitFlag(), 1);
  EXPECT_EQ(getMode(), MODE_POT_FIELD);
}

}  // namespace
