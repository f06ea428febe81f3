// Motion through ArRobot against a fake robot server: frames set by moveTo and kept
// across a reconnect, direct motion against actions, command refresh, enable
// confirmation, stopping under the robot lock, and the pose history.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "aria/aria.h"
#include "tests/support/fake_robot_session.h"
#include "tests/support/script_server.h"
#include "tests/support/test_helpers.h"

using testsrv::FakeRobot;
using testsrv::FakeRobotSession;
using testsrv::waitUntil;

namespace {

struct Session : FakeRobotSession {
  // Values of the integer arguments of every packet with this command so far.
  std::vector<int> args(uint8_t command) {
    std::vector<int> out;
    for (const arproto::Packet& p : fake.receivedOf(command)) {
      int v = 0;
      if (arproto::readIntArg(p.payload(), p.payloadSize(), v)) out.push_back(v);
    }
    return out;
  }
  bool waitForArg(uint8_t command, int value, int timeoutMs = 1500) {
    return waitUntil([&] {
      std::vector<int> a = args(command);
      return std::find(a.begin(), a.end(), value) != a.end();
    }, timeoutMs);
  }
};

class FixedAction : public ArAction {
 public:
  explicit FixedAction(double vel) : ArAction("fixed"), myVel(vel) {}
  ArActionDesired* fire(ArActionDesired) override {
    myDesired.reset();
    myDesired.setVel(myVel);
    return &myDesired;
  }

 private:
  double myVel;
};

}  // namespace

TEST(RobotMotion, MoveToSetsTheFrameOfPosesAndHeadingCommands) {
  Session s;
  ASSERT_TRUE(s.start());
  // The server's odometry says x 1000, heading 90 degrees.
  s.fake.update([](testsrv::SipState& st) {
    st.xRaw = 1000;
    st.thRaw = 1024;
  });
  ASSERT_TRUE(waitUntil([&] { return std::fabs(s.robot.getX() - 1000) < 1e-9; }, 1000));
  s.robot.lock();
  s.robot.moveTo(ArPose(0, 0, 0));
  EXPECT_NEAR(s.robot.getX(), 0, 1e-9);
  EXPECT_NEAR(s.robot.getTh(), 0, 1e-9);
  s.robot.setHeading(90);  // 90 degrees left of the new zero: 180 in the server's frame
  s.robot.unlock();
  // HEAD 180: FA FB 06 0C 3B B4 00 C0 3B.
  ASSERT_TRUE(waitUntil([&] { return !s.fake.receivedOf(arproto::HEAD).empty(); }, 1000));
  arproto::Packet head = s.fake.receivedOf(arproto::HEAD).front();
  EXPECT_EQ(std::vector<uint8_t>(head.bytes, head.bytes + head.size),
            (std::vector<uint8_t>{0xFA, 0xFB, 0x06, 0x0C, 0x3B, 0xB4, 0x00, 0xC0, 0x3B}));
  // Driving 500 mm along the server's +y (straight ahead) is +x in the new frame.
  s.fake.update([](testsrv::SipState& st) { st.yRaw = 500; });
  ASSERT_TRUE(waitUntil([&] { return std::fabs(s.robot.getX() - 500) < 1e-6; }, 1000));
  EXPECT_NEAR(s.robot.getY(), 0, 1e-6);
  s.robot.setHeading(-90);
  EXPECT_TRUE(s.waitForArg(arproto::HEAD, 0));
  s.robot.setDeltaHeading(-45);  // from the current heading 0: -45, i.e. 45 for the server
  EXPECT_TRUE(s.waitForArg(arproto::HEAD, 45));
  EXPECT_TRUE(s.fake.receivedOf(arproto::DHEAD).empty());
}

// The frame set by moveTo outlives the session. A server that kept the robot's odometry
// goes on reporting where the robot is; one that reset it for the new session reports
// the robot at its odometric origin, and the robot is placed back at its last pose.
// Either way the poses after the reconnect continue those before it.
TEST(RobotMotion, TheFrameSurvivesAReconnectWhetherTheServerKeptOrResetItsOdometry) {
  const double diagonal = 500 / std::sqrt(2.0);
  for (bool serverResets : {false, true}) {
    SCOPED_TRACE(serverResets ? "server resets its odometry" : "server keeps its odometry");
    Session s;
    ASSERT_TRUE(s.start());
    s.robot.lock();
    s.robot.moveTo(ArPose(10000, 7500, 90));
    s.robot.unlock();
    // 1000 mm ahead and a turn of 45 degrees in the server's frame.
    s.fake.update([](testsrv::SipState& st) {
      st.xRaw = 1000;
      st.thRaw = 512;
    });
    ASSERT_TRUE(waitUntil([&] { return s.robot.getPose().findDistanceTo(ArPose(10000, 8500)) < 1e-6; }, 1000));
    s.fake.dropConnection();
    ASSERT_TRUE(waitUntil([&] { return !s.robot.isRunning(); }, 3000));
    if (serverResets) s.fake.update([](testsrv::SipState& st) { st.xRaw = st.yRaw = st.thRaw = 0; });
    s.fake.clearReceived();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(s.robot.blockingConnect());
    s.robot.runAsync(true);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(s.fake.receivedOf(arproto::SETO).empty()) << "the odometry of the robot is not reset";
    EXPECT_NEAR(s.robot.getPose().findDistanceTo(ArPose(10000, 8500)), 0, 1e-6);
    EXPECT_NEAR(s.robot.getTh(), 135, 0.1);
    EXPECT_EQ(said.find("reset the odometry") != std::string::npos, serverResets) << said;

    // 500 mm more along the robot's heading, 135 degrees in the world frame.
    s.fake.update([&](testsrv::SipState& st) {
      st.xRaw = static_cast<uint16_t>(std::lround(serverResets ? 500 : 1000 + diagonal));
      st.yRaw = static_cast<uint16_t>(std::lround(serverResets ? 0 : diagonal));
    });
    const ArPose ahead(10000 - diagonal, 8500 + diagonal);
    EXPECT_TRUE(waitUntil([&] { return s.robot.getPose().findDistanceTo(ahead) < 1; }, 1000))
        << s.robot.getX() << ", " << s.robot.getY();
  }
}

TEST(RobotMotion, DirectMotionOverridesActionsUntilCleared) {
  Session s;
  ASSERT_TRUE(s.start());
  FixedAction action(300), later(200);
  s.robot.lock();
  s.robot.addAction(&action, 50);
  s.robot.addAction(&later, 50);  // equal priorities keep the order they were added in
  s.robot.unlock();
  ASSERT_TRUE(s.waitForArg(arproto::VEL, 300));
  EXPECT_FALSE(s.waitForArg(arproto::VEL, 200, 300));
  s.robot.lock();
  s.robot.setVel(120);
  s.robot.unlock();
  ASSERT_TRUE(s.waitForArg(arproto::VEL, 120, 300));
  s.fake.clearReceived();
  ArUtil::sleep(1300);
  std::vector<int> vels = s.args(arproto::VEL);
  ASSERT_FALSE(vels.empty());  // the direct command is refreshed
  EXPECT_TRUE(std::all_of(vels.begin(), vels.end(), [](int v) { return v == 120; }));
  s.robot.lock();
  s.robot.clearDirectMotion();
  s.robot.unlock();
  EXPECT_TRUE(s.waitForArg(arproto::VEL, 300));
  s.robot.lock();
  s.robot.remAction(&action);
  s.robot.remAction(&later);
  s.robot.unlock();
}

TEST(RobotMotion, UnchangedCommandsAreRefreshedNotRepeatedEveryCycle) {
  Session s;
  ASSERT_TRUE(s.start());
  FixedAction action(250);
  s.robot.lock();
  s.robot.addAction(&action, 10);
  s.robot.unlock();
  ASSERT_TRUE(s.waitForArg(arproto::VEL, 250));
  s.fake.clearReceived();
  ArUtil::sleep(2500);
  size_t vel = s.fake.receivedOf(arproto::VEL).size();
  size_t pulses = s.fake.receivedOf(arproto::PULSE).size();
  EXPECT_GE(vel, 2u);
  EXPECT_LE(vel, 3u);
  EXPECT_GE(pulses, 2u);
  EXPECT_LE(pulses, 3u);
  s.robot.lock();
  s.robot.remAction(&action);
  s.robot.unlock();
}

TEST(RobotMotion, EnableIsResentUntilConfirmedThenGivenUp) {
  Session s;
  s.fake.ignoreEnable(true);
  ASSERT_TRUE(s.start());
  testing::internal::CaptureStderr();
  s.robot.lock();
  s.robot.enableMotors();
  s.robot.enableSonar();
  s.robot.unlock();
  ArUtil::sleep(3600);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.args(arproto::ENABLE), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(s.args(arproto::SONAR), (std::vector<int>{1}));  // confirmed by the first SIP
  EXPECT_NE(err.find("motors"), std::string::npos);
  EXPECT_TRUE(s.robot.isConnected());
  EXPECT_TRUE(s.robot.areSonarsEnabled());
  EXPECT_FALSE(s.robot.areMotorsEnabled());
}

// A behaviour holds the robot lock and stops the robot; the cycle must give way.
TEST(RobotMotion, StopRunningWhileHoldingTheRobotLockReturns) {
  Session s;
  ASSERT_TRUE(s.start());
  s.robot.lock();
  ArUtil::sleep(300);  // SIPs pile up while the cycle waits for the lock
  int64_t start = ArTime::nowMSec();
  s.robot.stop();
  s.robot.stopRunning(true);
  EXPECT_LT(ArTime::nowMSec() - start, 500);
  EXPECT_FALSE(s.robot.isRunning());
  EXPECT_FALSE(s.robot.isConnected());
  s.robot.unlock();
  ASSERT_TRUE(waitUntil([&] { return s.fake.receivedCommands().back() == arproto::CLOSE; }, 1000));
  std::vector<int> cmds = s.fake.receivedCommands();
  EXPECT_EQ(cmds[cmds.size() - 2], arproto::STOP);
}

TEST(RobotMotion, PoseHistoryInterpolatesInsideAndRefusesOutside) {
  Session s;
  s.fake.setStepPerSip(20);  // 200 mm/s
  ASSERT_TRUE(s.start());
  ArUtil::sleep(800);
  ArPose p;
  s.robot.lock();
  ArPose now = s.robot.getPose();
  ArTime earlier;
  earlier.addMSec(-250);
  int inside = s.robot.getPoseInterpPosition(earlier, &p);
  ArTime ancient;
  ancient.addMSec(-10000);
  int before = s.robot.getPoseInterpPosition(ancient, &p);
  ArTime future;
  future.addMSec(1000);
  int after = s.robot.getPoseInterpPosition(future, &p);
  s.robot.unlock();
  EXPECT_EQ(inside, 1);
  EXPECT_LT(before, 0);
  EXPECT_LT(after, 0);
  s.robot.lock();
  s.robot.getPoseInterpPosition(earlier, &p);
  s.robot.unlock();
  // 250 ms before "now" at 200 mm/s is about 50 mm back; SIPs come every 100 ms.
  EXPECT_GT(p.getX(), now.getX() - 100);
  EXPECT_LT(p.getX(), now.getX());
  EXPECT_NE(std::fmod(p.getX(), 20.0), 0.0);  // between two samples, not one of them
}

TEST(RobotMotion, SonarRangesBecomeTimedPointsAroundThePose) {
  Session s;
  ArSonarDevice sonar(64, 1024, "sonar");
  sonar.setMaxRange(2000);
  s.robot.addRangeDevice(&sonar);
  EXPECT_EQ(sonar.getRobot(), &s.robot);
  ASSERT_TRUE(s.start());
  s.fake.update([](testsrv::SipState& st) {
    st.xRaw = 1000;
    st.thRaw = 1024;
    st.sonar = {{3, 1500}, {4, 5000}, {5, 2500}, {20, 800}};
  });
  ASSERT_TRUE(waitUntil([&] {
    sonar.lockDevice();
    bool any = !sonar.getCurrentBufferAsVector().empty();
    sonar.unlockDevice();
    return any;
  }, 1000));
  sonar.lockDevice();
  std::vector<ArPoseWithTime> current = sonar.getCurrentBufferAsVector();
  std::vector<ArPoseWithTime> cumulative = sonar.getCumulativeBufferAsVector();
  sonar.unlockDevice();
  ASSERT_EQ(current.size(), 1u);  // 5000 is no echo, 2500 beyond the trusted range; disc 20 has no known mounting
  EXPECT_EQ(cumulative.size(), 1u);
  // Disc 3 at (166, 27) facing 10 degrees, robot at (1000, 0) facing 90 degrees.
  double fx = 166 + 1500 * std::cos(10 * M_PI / 180), fy = 27 + 1500 * std::sin(10 * M_PI / 180);
  EXPECT_NEAR(current[0].getX(), 1000 - fy, 0.5);
  EXPECT_NEAR(current[0].getY(), fx, 0.5);
  EXPECT_EQ(s.robot.getSonarRange(3), 1500);
  EXPECT_EQ(s.robot.getSonarRange(4), 5000);
  EXPECT_EQ(s.robot.getSonarRange(5), 2500);  // the robot's own avoidance still sees it
  EXPECT_EQ(s.robot.getSonarRange(20), 800);
  ArPose at;
  s.robot.lock();
  EXPECT_EQ(s.robot.getPoseInterpPosition(current[0].getTime(), &at), 1);
  s.robot.unlock();
  EXPECT_NEAR(at.getX(), 1000, 1e-6);
  EXPECT_NEAR(at.getTh(), 90, 1e-6);
  // The polar query sees the obstacle straight ahead at the transducer's offset plus range.
  double angle = 0;
  double dist = s.robot.checkRangeDevicesCurrentPolar(-20, 20, &angle);
  EXPECT_NEAR(dist, std::hypot(fx, fy), 0.5);
  EXPECT_NEAR(angle, std::atan2(fy, fx) * 180 / M_PI, 0.1);
  EXPECT_GT(s.robot.checkRangeDevicesCurrentPolar(20, 160), 1e6);
}
