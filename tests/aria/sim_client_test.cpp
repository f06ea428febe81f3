// ArRobot against the in-process simulator: the handshake, driving by direct commands,
// and sonar points landing on a known wall.
#include <gtest/gtest.h>

#include <memory>

#include "aria/aria.h"
#include "sim/server.h"
#include "tests/support/test_helpers.h"
#include "tests/support/sim_robot.h"

using testsrv::waitUntil;

TEST(SimulatorClient, ConnectsEnablesAndDrivesByDirectCommands) {
  testsupport::SimRobot s("start 0 0 0\n");
  ASSERT_TRUE(s.connectAndRun());
  EXPECT_STREQ(s.robot.getRobotName(), "simbot");
  ASSERT_TRUE(waitUntil([&] { return s.robot.areMotorsEnabled() && s.robot.areSonarsEnabled(); }, 2000));

  s.robot.lock();
  s.robot.setVel(300);
  s.robot.unlock();
  ArUtil::sleep(1500);
  s.robot.lock();
  s.robot.setVel(0);
  s.robot.setHeading(90);
  s.robot.unlock();
  ASSERT_TRUE(waitUntil([&] { return std::fabs(s.robot.getTh() - 90) < 2 && std::fabs(s.robot.getVel()) < 1; }, 4000));
  double x = 0, y = 0, th = 0;
  ASSERT_TRUE(s.server->truePose(0, x, y, th));
  // Odometry and the simulator's truth agree; the robot went forward, then turned left.
  EXPECT_GT(s.robot.getX(), 200);
  EXPECT_NEAR(s.robot.getX(), x, 20);
  EXPECT_NEAR(s.robot.getY(), y, 20);
  EXPECT_NEAR(th, 90, 2);

  s.robot.lock();
  s.robot.setDeltaHeading(-45);
  s.robot.unlock();
  EXPECT_TRUE(waitUntil([&] { return std::fabs(s.robot.getTh() - 45) < 2; }, 3000));
  s.robot.lock();
  s.robot.setRotVel(-30);
  s.robot.unlock();
  EXPECT_TRUE(waitUntil([&] { return s.robot.getRotVel() < -25; }, 2000));
  s.robot.lock();
  s.robot.stop();
  s.robot.unlock();
  EXPECT_TRUE(waitUntil([&] { return std::fabs(s.robot.getRotVel()) < 0.5; }, 2000));
}

TEST(SimulatorClient, SonarPointsLieOnTheWallAhead) {
  testsupport::SimRobot s("wall 1500 -3000 1500 3000\nstart 0 0 0\n");
  ArSonarDevice& sonar = s.sonar;
  ASSERT_TRUE(s.connectAndRun());
  ArUtil::sleep(1200);
  sonar.lockDevice();
  std::vector<ArPoseWithTime> points = sonar.getCurrentBufferAsVector();
  sonar.unlockDevice();
  int onWall = 0;
  for (const ArPoseWithTime& p : points) {
    // A wide beam reports its nearest echo, which the axis puts short of the wall.
    EXPECT_GT(p.getX(), 1250);
    EXPECT_LT(p.getX(), 1520);
    if (std::fabs(p.getX() - 1500) < 40 && std::fabs(p.getY()) < 300) ++onWall;
    ArPose at;
    s.robot.lock();
    EXPECT_EQ(s.robot.getPoseInterpPosition(p.getTime(), &at), 1);
    s.robot.unlock();
  }
  EXPECT_GE(onWall, 2);  // discs 3 and 4 look straight at it
  EXPECT_GE(points.size(), 4u);
  EXPECT_LE(points.size(), 16u);
  double front = s.robot.checkRangeDevicesCurrentPolar(-10, 10);
  EXPECT_NEAR(front, 1500, 40);
}
