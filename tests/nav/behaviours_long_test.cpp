// Long runs of the behaviours in the simulator (about a minute each).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "nav/behaviours.h"
#include "state/shared_state.h"
#include "tests/nav/sim_session.h"

namespace {

// A furnished room: the robot meets walls, corners and free-standing boxes.
constexpr char FURNISHED_ROOM[] =
    "box -4000 -3000 4000 3000\n"
    "box 1000 500 1800 1300\n"
    "box -2500 -2000 -1700 -1200\n";

TEST(BehavioursLong, ErraticWandersAMinuteWithoutAStallEndingIt) {
  navtest::SimSession session(FURNISHED_ROOM);
  ASSERT_TRUE(session.start());
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::seconds(60));
    setMode(MODE_STOP_AND_MANUAL);
  });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(session.runWithin(actErratic, MODE_ERRATIC, 70000));
  const auto ranS = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  const ArPose stoppedAt = session.pose();
  release.join();
  EXPECT_GE(ranS, 59) << "ended at " << stoppedAt.getX() << "," << stoppedAt.getY();
  EXPECT_EQ(getExitFlag(), 0) << "the run ended on a lost or stalled robot";
  EXPECT_EQ(getMode(), MODE_STOP_AND_MANUAL);
  const ArPose end = session.pose();
  EXPECT_GT(end.findDistanceTo(ArPose(0, 0)), 300);  // it went somewhere
  EXPECT_LT(std::fabs(end.getX()), 4000);             // and stayed in the room
  EXPECT_LT(std::fabs(end.getY()), 3000);
  // The readings it gathered on the way mapped the room's walls.
  ArLockGuard hold(localMap->mutex);
  EXPECT_GT(localMap->knownCells(), 2000);
}

}  // namespace
