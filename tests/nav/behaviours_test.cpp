// The behaviours driving a real robot in the simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>

#include "base/clock.h"
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

// Obstacles a map holds without the world having them (or free cells where it has
// them): what the planners see as the map changes.
void setCellsOf(OccupancyMap& map, double x0, double y0, double x1, double y1, MapCell value) {
  ArLockGuard hold(map.mutex);
  for (double x = x0; x <= x1; x += 100) {
    for (double y = y0; y <= y1; y += 100) {
      const int32_t cx = map.toCell(x), cy = map.toCell(y);
      map.growToCover(cx, cy);
      map.cellAt(cx, cy) = value;
    }
  }
}
void setCells(double x0, double y0, double x1, double y1, MapCell value) { setCellsOf(*localMap, x0, y0, x1, y1, value); }
constexpr MapCell SOLID = 0x00FF;
constexpr MapCell FREE = 0x0000;
constexpr MapCell UNSEEN = CELL_UNKNOWN;
constexpr MapCell STRAY = 0x0064;  // an obstacle cell hit once or twice

double robotVel() {
  RobotLockGuard hold;
  return robot->getVel();
}

int occurrences(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// Polls cond every 50 ms; false after timeoutMs.
bool within(int timeoutMs, const std::function<bool()>& cond) {
  const auto start = Clock::now();
  while (!cond()) {
    if (msSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
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

// The robot follows the flood path round a wall the map holds; an obstacle appears in
// the map right ahead of it. The robot stops short of it instead of driving on with its
// last command while the flood is recomputed.
TEST(Behaviours, PathStopsShortOfAnObstacleThatAppearsAhead) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  setCells(600, -500, 600, 500, SOLID);
  goalPose.store(ArPose(900, 0, 0));
  ArPose block;
  double closest = 1e9;
  std::thread observer([&] {
    // Past the point where the field fades, on the path round the wall's end.
    if (within(15000, [&] { return session.pose().getY() > 100 && robotVel() > 50; })) {
      const ArPose at = session.pose();
      block = ArPose(at.getX() + 350 * ArMath::cos(at.getTh()), at.getY() + 350 * ArMath::sin(at.getTh()));
      setCells(block.getX() - 100, block.getY() - 100, block.getX() + 100, block.getY() + 100, SOLID);
      within(2500, [&] {
        closest = std::min(closest, session.pose().findDistanceTo(block));
        return false;
      });
    }
    setMode(MODE_STOP_AND_MANUAL);
  });
  testing::internal::CaptureStderr();
  session.runWithin(actPath, MODE_PATH, 30000);
  const std::string err = testing::internal::GetCapturedStderr();
  observer.join();
  ASSERT_LT(closest, 1e9) << "the robot never drove along the path";
  EXPECT_GT(closest, 250) << "the robot drove on toward the obstacle";
  EXPECT_GE(occurrences(err, "WARN: close obstacles, recomputing flood algorithm!\n"), 1);
}

// A corridor the team map holds, 1.9 m wide, closed at x = -3550 and open to the
// unknown at x = 1050; a robot at its closed end at (-3050, 550) heads down it.
void drawCorridor() {
  robot->lock();
  robot->moveTo(ArPose(-3050, 550, 0));
  robot->unlock();
  setCellsOf(*globalMap, -3550, -450, 1050, 1450, FREE);
  setCellsOf(*globalMap, -3550, -450, 1050, -450, SOLID);
  setCellsOf(*globalMap, -3550, 1450, 1050, 1450, SOLID);
  setCellsOf(*globalMap, -3550, -450, -3550, 1450, SOLID);
}

// Exploring down a corridor the team map holds, between walls 0.9 m off, toward its
// open end 4 m ahead, with the map grown to its bound by poses from far off. Beside two
// small unseen patches the robot slows down. Then stray echoes appear in the map right
// across the corridor but for one cell on the robot's way, while plans are made: the
// plans lead on through that gap (as through a doorway the map holds half shut), and
// the robot stops a gap short of the echoes.
TEST(Behaviours, ExploreSlowsBesideUnseenCellsAndStopsShortOfAnObstacleThatAppearsAhead) {
  SimSession session("box -20000 -20000 20000 20000\n");  // no echo: the map alone guides
  ASSERT_TRUE(session.start());
  for (double x : {-MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM}) {
    for (double y : {-MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM}) {
      ArLockGuard hold(globalMap->mutex);
      markPeerPose(*globalMap, ArPose(x, y));
    }
  }
  drawCorridor();
  setCellsOf(*globalMap, -1450, 350, -750, 350, UNSEEN);  // 200 mm either side of the robot's way
  setCellsOf(*globalMap, -1450, 750, -750, 750, UNSEEN);
  double besideUnseen = 0, shortOf = 1e9;
  bool appeared = false;
  std::thread observer([&] {
    within(12000, [&] {
      const double x = session.pose().getX();
      if (x > -1250 && x < -850) besideUnseen = std::max(besideUnseen, robotVel());
      return x > -200;
    });
    setCellsOf(*globalMap, 850, -350, 850, 450, STRAY);
    setCellsOf(*globalMap, 850, 650, 850, 1350, STRAY);
    appeared = true;
    within(3000, [&] {
      shortOf = std::min(shortOf, 850 - session.pose().getX());
      return robotVel() < 1;
    });
    setMode(MODE_STOP_AND_MANUAL);
  });
  session.runWithin(actExplore, MODE_EXPLORE, 20000);
  observer.join();
  ASSERT_TRUE(appeared) << "the robot never drove down the corridor, stopped at " << session.pose().getX();
  EXPECT_GT(besideUnseen, 200) << "the robot did not drive beside the unseen cells";
  EXPECT_LE(besideUnseen, 310) << "the robot did not slow down beside unseen cells";
  // Stray echoes 100 mm beside its way bar a robot 250 mm in radius 173 mm before they
  // are reached; the robot stops about 150 mm before that.
  EXPECT_GT(shortOf, 173 + 60) << "the robot drove on too close to the echoes";
  EXPECT_EQ(getExitFlag(), 0);
}

// Exploring down the same corridor, a teammate stands in the way: the sonar does not
// hear it (this world echoes nothing), but its P does. The robot stops short of its
// body instead of driving into it.
TEST(Behaviours, ExploreStopsShortOfATeammateInTheWay) {
  SimSession session("box -20000 -20000 20000 20000\n");
  ASSERT_TRUE(session.start());
  drawCorridor();
  const ArPose teammate(-1000, 550, 180);
  double closest = 1e9;
  std::thread observer([&] {
    within(10000, [&] {
      {
        ArLockGuard hold(peerTableMutex);
        recordPeerPose(peerTable, "bravo", teammate, calendarSeconds(), agentId);
      }
      closest = std::min(closest, session.pose().findDistanceTo(teammate));
      return false;
    });
    setMode(MODE_STOP_AND_MANUAL);
  });
  session.runWithin(actExplore, MODE_EXPLORE, 20000);
  observer.join();
  {
    ArLockGuard hold(peerTableMutex);
    peerTable.clear();
  }
  EXPECT_LT(closest, 1300) << "the robot never drove toward the teammate";
  EXPECT_GT(closest, 2 * 250 + 100) << "the robot drove into the teammate";
}

// A goal the map encloses, given while the robot follows the flood path: there is no way
// down from the robot. The robot stops, says so once, and waits; when the map opens a
// way it drives on.
TEST(Behaviours, PathWaitsStoppedWhileTheFloodShowsNoWayAndDrivesOnWhenOneOpens) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  // Away from the cells round the origin, whose double width hides a way down to the west.
  robot->lock();
  robot->moveTo(ArPose(-550, 550, 0));
  robot->unlock();
  const ArPose enclosed(-2550, 550, 0);
  setCells(-3050, 50, -3050, 1050, SOLID);
  setCells(-2050, 50, -2050, 1050, SOLID);
  setCells(-3050, 50, -2050, 50, SOLID);
  setCells(-3050, 1050, -2050, 1050, SOLID);
  goalPose.store(ArPose(-550, 700, 0));  // so close that the field is weak: the path leads
  ArPose stopped, later, driven;
  bool cameToRest = false;
  std::thread observer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    goalPose.store(enclosed);
    cameToRest = within(5000, [&] { return std::fabs(robotVel()) < 1; });
    stopped = session.pose();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    later = session.pose();
    setCells(-2050, 250, -2050, 850, FREE);  // a door in the wall facing the robot
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    driven = session.pose();
    setMode(MODE_STOP_AND_MANUAL);
  });
  testing::internal::CaptureStderr();
  session.runWithin(actPath, MODE_PATH, 30000);
  const std::string err = testing::internal::GetCapturedStderr();
  observer.join();
  EXPECT_TRUE(cameToRest);
  EXPECT_LT(later.findDistanceTo(stopped), 5) << "the robot drove on without a way";
  EXPECT_EQ(occurrences(err, "WARN: no way down the flood path"), 1) << err;
  EXPECT_GT(later.findDistanceTo(enclosed) - driven.findDistanceTo(enclosed), 100)
      << "no drive toward the opened door";
  EXPECT_EQ(getExitFlag(), 0);
}

// A goal the map encloses from the start: the field draws the robot toward it and then
// holds it near the enclosure, where it would drive about for as long as it is left
// there. The robot stops, says so once, and stays.
TEST(Behaviours, PathStopsWhereTheFieldHoldsItFromAnEnclosedGoal) {
  SimSession session(OPEN_ROOM);
  ASSERT_TRUE(session.start());
  setCells(1550, -450, 2450, -450, SOLID);
  setCells(1550, 450, 2450, 450, SOLID);
  setCells(1550, -450, 1550, 450, SOLID);
  setCells(2450, -450, 2450, 450, SOLID);
  goalPose.store(ArPose(2000, 0, 0));
  ArPose stopped, later;
  bool cameToRest = false;
  std::thread observer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    cameToRest = within(25000, [&] { return std::fabs(robotVel()) < 1; });
    stopped = session.pose();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    later = session.pose();
    setMode(MODE_STOP_AND_MANUAL);
  });
  testing::internal::CaptureStderr();
  session.runWithin(actPath, MODE_PATH, 40000);
  const std::string err = testing::internal::GetCapturedStderr();
  observer.join();
  EXPECT_TRUE(cameToRest);
  EXPECT_LT(later.findDistanceTo(stopped), 5) << "the robot drove on without a way";
  EXPECT_GT(stopped.findDistanceTo(ArPose(0, 0)), 500) << "the robot did not head for the goal first";
  EXPECT_EQ(occurrences(err, "WARN: no way down the flood path"), 1) << err;
  EXPECT_EQ(getExitFlag(), 0);
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
