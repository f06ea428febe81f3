#include <gtest/gtest.h>

#include "aria/ar_robot.h"
#include "runtime/controller.h"
#include "state/shared_state.h"
#include "tests/support/fake_robot_session.h"
#include "tests/support/test_helpers.h"

namespace {

// The controller needs a robot object; an unconnected one reads as lost.
class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    robot = new ArRobot(nullptr, true, true, true, true);
    setMode(MODE_ERRATIC);
    setExitFlag(0);
  }
  void TearDown() override {
    delete robot;
    robot = nullptr;
    setMode(MODE_ERRATIC);
    setExitFlag(0);
  }
};

TEST_F(ControllerTest, ExitFlagAlreadySetEndsTheThreadWithoutADispatch) {
  setExitFlag(1);
  testing::internal::CaptureStderr();
  controllerThread();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CONTROLER: Exiting thread\n");
  EXPECT_EQ(getExitFlag(), 1);
}

TEST_F(ControllerTest, ALostRobotSetsTheExitFlagBeforeAnyDispatch) {
  setMode(MODE_SAVE_MAPS);
  testing::internal::CaptureStderr();
  controllerThread();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CONTROLER: Exiting thread\n");
  EXPECT_EQ(getExitFlag(), 1);
  EXPECT_EQ(getMode(), MODE_SAVE_MAPS) << "the mode is left for the next pass";
}

TEST_F(ControllerTest, InvalidModesFallBackToExplorationAndStopEndsTheAgent) {
  for (int invalid : {5, 97, 100, 65535, -1}) {
    setMode(invalid);
    testing::internal::CaptureStderr();
    dispatchMode(invalid);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CONTROLER: Invalid mode received, switching to random exploration\n");
    EXPECT_EQ(getMode(), MODE_ERRATIC);
  }
  setMode(MODE_STOP);
  testing::internal::CaptureStderr();
  dispatchMode(MODE_STOP);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CONTROLER: Run: actStop\n");
  EXPECT_EQ(getExitFlag(), 1);
  EXPECT_EQ(getMode(), MODE_STOP);
}

TEST_F(ControllerTest, ABehaviourThatFinishedMovesToManualUnlessTheModeWasChanged) {
  setMode(MODE_POT_FIELD);
  finishBehaviourMode(MODE_POT_FIELD);
  EXPECT_EQ(getMode(), MODE_STOP_AND_MANUAL);

  setMode(MODE_PATH);  // a command arrived while the potential field ran
  finishBehaviourMode(MODE_POT_FIELD);
  EXPECT_EQ(getMode(), MODE_PATH);
  finishBehaviourMode(MODE_PATH);
  EXPECT_EQ(getMode(), MODE_STOP_AND_MANUAL);

  // Dispatched, each behaviour returns at once (the robot reads as lost), and the
  // dispatch moves its own mode on.
  createMaps();
  for (int behaviourMode : {MODE_POT_FIELD, MODE_PATH}) {
    setMode(behaviourMode);
    testing::internal::CaptureStderr();
    dispatchMode(behaviourMode);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(getMode(), MODE_STOP_AND_MANUAL) << behaviourMode;
  }
  // Exploration ended by a lost robot keeps its mode, so the pass after a reconnect
  // explores on.
  setExitFlag(0);
  setMode(MODE_EXPLORE);
  testing::internal::CaptureStderr();
  dispatchMode(MODE_EXPLORE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CONTROLER: Run: actExplore\n");
  EXPECT_EQ(getExitFlag(), 1);
  EXPECT_EQ(getMode(), MODE_EXPLORE);
  destroyMaps();
}

// A stall of either wheel alone, reported by the robot server, ends the controller
// before any dispatch; the mode is left for the next pass.
TEST(ControllerStall, EitherWheelAloneEndsTheThreadBeforeADispatch) {
  for (uint16_t bits : {uint16_t{0x0001}, uint16_t{0x0100}}) {
    SCOPED_TRACE(bits);
    testsrv::FakeRobotSession session;
    ASSERT_TRUE(session.start());
    session.fake.update([&](testsrv::SipState& st) { st.stall = bits; });
    ASSERT_TRUE(testsrv::waitUntil([&] { return session.robot.getStallValue() == bits; }, 1000));
    robot = &session.robot;
    setMode(MODE_STOP);
    setExitFlag(0);
    testing::internal::CaptureStderr();
    controllerThread();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CONTROLER: Exiting thread\n");
    EXPECT_EQ(getExitFlag(), 1);
    EXPECT_EQ(getMode(), MODE_STOP);
    robot = nullptr;
  }
  setMode(MODE_ERRATIC);
  setExitFlag(0);
}

}  // namespace
