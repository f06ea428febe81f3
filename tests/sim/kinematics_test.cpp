// The motion model stepped directly: ramps, limits, the heading servo, odometry.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/robot_model.h"

namespace {

using sim::Motion;
using sim::RobotModel;

constexpr double kDt = 0.01;

// Advances the model as the simulation does when nothing blocks it.
void run(RobotModel& m, double seconds, bool halted = false) {
  const int steps = static_cast<int>(std::lround(seconds / kDt));
  for (int i = 0; i < steps; ++i) m.applyMotion(m.advance(kDt, halted), 1.0);
}

RobotModel enabledRobot() {
  RobotModel m;
  m.enableMotors(true);
  return m;
}

TEST(Kinematics, VelocityRampsWithAccelerationAndStopsAtTheLimit) {
  RobotModel m = enabledRobot();
  m.setVel(1000);  // above the 500 mm/s default limit
  EXPECT_DOUBLE_EQ(m.velSetpoint(), 500);
  run(m, 1.0);
  EXPECT_NEAR(m.vel(), 300, 1e-6);
  run(m, 1.0);
  EXPECT_NEAR(m.vel(), 500, 1e-6);
  // Distance under a 300 mm/s^2 ramp to 500 mm/s then cruising: 416.7 + 0.333 s * 500.
  EXPECT_NEAR(m.x(), 500.0 * 500 / 600 + 500 * (2.0 - 500.0 / 300), 5);
  EXPECT_NEAR(m.y(), 0, 1e-9);
  m.setTransAccel(-1000);  // deceleration only
  m.setVel(-200);
  run(m, 0.5);
  EXPECT_NEAR(m.vel(), 0, 1e-6) << "braking at 1000 mm/s^2 reaches zero without crossing it in one step";
  run(m, 0.5);
  EXPECT_NEAR(m.vel(), -150, 1e-6) << "reverse speed builds at the unchanged 300 mm/s^2";
}

TEST(Kinematics, MotorsOffDiscardMotionAndEnableStartsFromZero) {
  RobotModel m;
  m.setVel(300);
  m.setRotVel(20);
  m.setHeading(90);
  run(m, 1.0);
  EXPECT_EQ(m.x(), 0);
  EXPECT_EQ(m.thDeg(), 0);
  m.enableMotors(true);
  run(m, 1.0);
  EXPECT_EQ(m.x(), 0) << "commands sent while off are not remembered";
  m.setVel(300);
  run(m, 0.5);
  m.enableMotors(false);
  EXPECT_EQ(m.vel(), 0);
  m.enableMotors(true);
  run(m, 0.5);
  EXPECT_EQ(m.vel(), 0);
}

TEST(Kinematics, HeadingServoTurnsTheShortWayAndSettlesWithoutOvershoot) {
  RobotModel m = enabledRobot();
  m.setHeading(170);
  double peak = 0;
  for (int i = 0; i < 400; ++i) {
    m.applyMotion(m.advance(kDt, false), 1.0);
    peak = std::max(peak, m.thDeg());
    EXPECT_LE(m.rotVelDeg(), 100 + 1e-9);
  }
  EXPECT_NEAR(m.thDeg(), 170, 1.0);
  EXPECT_LT(peak, 171.0);
  EXPECT_EQ(m.rotVelDeg(), 0);
  EXPECT_NEAR(m.controlDeg(), 170, 1e-9);
  // From 170 to -170 is 20 degrees counter-clockwise across 180, not 340 clockwise.
  m.setHeading(-170);
  run(m, 0.2);
  EXPECT_TRUE(m.thDeg() > 170 || m.thDeg() < -175) << m.thDeg();
  run(m, 3);
  EXPECT_NEAR(m.thDeg(), -170, 1.0);
  EXPECT_EQ(m.rotVelDeg(), 0);
}

TEST(Kinematics, RelativeTurnsUseHeadingOrSetpoint) {
  RobotModel m = enabledRobot();
  m.turnBy(-45);  // DHEAD: from the current heading
  run(m, 0.1);
  m.turnSetpointBy(-45);  // DCHEAD: from the setpoint (-45), not from the heading (~-0.5)
  EXPECT_NEAR(m.headingSetpoint(), -90, 1e-9);
  run(m, 4);
  EXPECT_NEAR(m.thDeg(), -90, 1.0);
  m.setHeading(450);  // HEAD takes any value modulo 360
  EXPECT_NEAR(m.headingSetpoint(), 90, 1e-9);
  m.turnBy(-30);
  EXPECT_NEAR(m.headingSetpoint(), m.thDeg() - 30, 1e-9);
}

TEST(Kinematics, StopDeceleratesButEmergencyStopIsImmediate) {
  RobotModel m = enabledRobot();
  m.setVel(300);
  m.setRotVel(50);
  run(m, 2);
  m.stop();
  run(m, 0.5);
  EXPECT_NEAR(m.vel(), 150, 1e-6);
  EXPECT_NEAR(m.rotVelDeg(), 0, 1e-6);
  EXPECT_TRUE(m.motorsEnabled());
  m.setVel(300);
  run(m, 1);
  m.emergencyStop();
  EXPECT_EQ(m.vel(), 0);
  run(m, 0.5);
  EXPECT_EQ(m.vel(), 0) << "setpoints are zero after E_STOP";
}

TEST(Kinematics, WheelCommandDecomposesIntoLimitedVelocities) {
  RobotModel m = enabledRobot();
  m.setWheels(10, 4);  // right 200 mm/s, left 80 mm/s
  EXPECT_NEAR(m.velSetpoint(), 140, 1e-9);
  run(m, 3);
  EXPECT_NEAR(m.rightWheelVel(), 200, 1);
  EXPECT_NEAR(m.leftWheelVel(), 80, 1);
  EXPECT_NEAR(m.rotVelDeg(), 120 * 0.0056 / 2 * 180 / M_PI, 1e-6);
  // Leaving wheel mode drops its rotation: VEL alone now.
  m.setVel(100);
  run(m, 3);
  EXPECT_EQ(m.rotVelDeg(), 0);
  m.setWheels(127, 127);
  EXPECT_DOUBLE_EQ(m.velSetpoint(), 500) << "VEL2 obeys the translational limit";
}

TEST(Kinematics, WatchdogHaltDeceleratesAndKeepsSetpoints) {
  RobotModel m = enabledRobot();
  m.setVel(300);
  m.setHeading(90);
  run(m, 0.5);
  run(m, 2, true);
  EXPECT_EQ(m.vel(), 0);
  EXPECT_EQ(m.rotVelDeg(), 0);
  EXPECT_DOUBLE_EQ(m.velSetpoint(), 300);
  const double headingWhenHalted = m.thDeg();
  run(m, 4);
  EXPECT_NEAR(m.vel(), 300, 1e-6);
  EXPECT_NEAR(m.thDeg(), 90, 1.0);
  EXPECT_LT(headingWhenHalted, 89);
}

TEST(Kinematics, LimitsAreClampedAndZeroAccelerationsIgnored) {
  RobotModel m = enabledRobot();
  m.setMaxVel(5000);
  EXPECT_EQ(m.limits().transVelMax, 2200);
  m.setMaxVel(-10);
  EXPECT_EQ(m.limits().transVelMax, 0);
  m.setMaxRotVel(900);
  EXPECT_EQ(m.limits().rotVelMax, 500);
  m.setTransAccel(0);
  m.setRotAccel(0);
  EXPECT_EQ(m.limits().transAccel, 300);
  EXPECT_EQ(m.limits().rotAccel, 100);
  m.setRotAccel(-20000);
  EXPECT_EQ(m.limits().rotDecel, 1000);
  m.setVel(100);
  run(m, 1);
  EXPECT_EQ(m.x(), 0) << "a zero speed limit holds the robot";
}

TEST(Kinematics, OdometryResetKeepsThePhysicalHeadingTarget) {
  RobotModel m = enabledRobot();
  m.setVel(200);
  m.setRotVel(20);
  run(m, 2);
  m.resetOdometry();
  EXPECT_EQ(m.x(), 0);
  EXPECT_EQ(m.thDeg(), 0);
  EXPECT_DOUBLE_EQ(m.velSetpoint(), 200) << "velocity setpoints survive SETO";
  m.setHeading(60);
  run(m, 0.3);
  m.resetOdometry();
  EXPECT_EQ(m.headingSetpoint(), 0);
}

}  // namespace
