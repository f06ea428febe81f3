// Manual drive with a joystick faked by a FIFO at /dev/input/js0. The device tree is
// changed only inside a private mount namespace: the test runs itself again there,
// under an overlay of /dev (or a tmpfs on /dev/input where that exists). The overlay's
// own directories live on a tmpfs mounted over a fresh temporary directory, so nothing
// else of the file system (the build tree may be under /tmp) is hidden.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/joystick.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

#include "nav/behaviours.h"
#include "state/shared_state.h"
#include "tests/nav/sim_session.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char CHILD_ENV[] = "MCAGENT_NAV_JOYSTICK_NAMESPACE";
constexpr char JOYSTICK[] = "/dev/input/js0";

TEST(ManualBehaviour, DrivesByAFakeJoystickInAPrivateMountNamespace) {
  if (getuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  const std::string script =
      "mount --make-rprivate / && "
      "if [ -d /dev/input ]; then mount -t tmpfs tmpfs /dev/input; else "
      "d=$(mktemp -d) && mount -t tmpfs tmpfs \"$d\" && mkdir \"$d/upper\" \"$d/work\" && "
      "mount -t overlay overlay -o lowerdir=/dev,upperdir=\"$d/upper\",workdir=\"$d/work\" /dev && "
      "mkdir /dev/input; fi && exec \"$0\" --gtest_filter=ManualBehaviourInNamespace.*";
  const std::string command = std::string(CHILD_ENV) + "=1 unshare -m sh -c '" + script + "' " + self;
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class ManualBehaviourInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv(CHILD_ENV) == nullptr) GTEST_SKIP() << "runs inside the namespace only";
  }
};

void sendEvent(int fd, uint8_t type, uint8_t number, int16_t value) {
  const js_event event{0, value, type, number};
  ASSERT_EQ(write(fd, &event, sizeof event), static_cast<ssize_t>(sizeof event));
}

TEST_F(ManualBehaviourInNamespace, DrivesAndReportsTheStick) {
  navtest::SimSession session("box -8000 -8000 8000 8000\n");
  ASSERT_TRUE(session.start());

  // No joystick: every run says so and pauses about a second.
  testing::internal::CaptureStderr();
  const auto start = Clock::now();
  ASSERT_TRUE(session.runWithin(actStopAndManual, MODE_STOP_AND_MANUAL, 5000));
  ASSERT_TRUE(session.runWithin(actStopAndManual, MODE_STOP_AND_MANUAL, 5000));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Please reconnect the joystick\nPlease reconnect the joystick\n");
  EXPECT_GE(elapsed, 2000);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(getExitFlag(), 0);

  ASSERT_EQ(mkfifo(JOYSTICK, 0600), 0);
  const int stick = open(JOYSTICK, O_RDWR | O_NONBLOCK);
  ASSERT_GE(stick, 0);
  for (uint8_t axis = 0; axis < 6; ++axis) sendEvent(stick, JS_EVENT_AXIS | JS_EVENT_INIT, axis, 0);
  sendEvent(stick, JS_EVENT_AXIS, 1, -32767);  // fully forward
  sendEvent(stick, JS_EVENT_AXIS, 0, -8192);   // a quarter to the left
  sendEvent(stick, JS_EVENT_BUTTON, 1, 1);

  const double headingBefore = session.pose().getTh();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    close(stick);  // the joystick goes away while it drives the robot
  });
  const bool returned = session.runWithin(actStopAndManual, MODE_STOP_AND_MANUAL, 10000);
  unplug.join();
  ASSERT_TRUE(returned);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Please reconnect the joystick\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "B: 0000000010 X:  -8192 Y: -32767 Z:      0 R:      0 U:      0 V:      0\n");
  const ArPose moved = session.pose();
  EXPECT_GT(moved.findDistanceTo(ArPose(0, 0)), 300);
  EXPECT_GT(ArMath::subAngle(moved.getTh(), headingBefore), 20);  // turned left
  EXPECT_EQ(getExitFlag(), 0);
  // Nobody steers any more: the robot was stopped, it does not drive on.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  RobotLockGuard hold;
  EXPECT_LT(std::fabs(robot->getVel()), 1);
}

}  // namespace
