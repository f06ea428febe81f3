// The wander actions' decisions from sonar, bumper and stall bits reported by a fake
// robot, and their resolution by priority in the robot's cycle.
#include <gtest/gtest.h>

#include <algorithm>

#include "aria/aria.h"
#include "tests/support/fake_robot_session.h"
#include "tests/support/script_server.h"
#include "tests/support/test_helpers.h"

using testsrv::FakeRobot;
using testsrv::FakeRobotSession;
using testsrv::waitUntil;

namespace {

constexpr uint16_t kFar = 5000;

struct Rig : FakeRobotSession {
  // Sets the ranges of the front discs 0-7 and waits until the robot has them.
  void frontRanges(std::vector<uint16_t> ranges) {
    fake.update([&](testsrv::SipState& s) {
      s.sonar.clear();
      for (uint8_t d = 0; d < 8; ++d) s.sonar.push_back({d, ranges[d]});
      s.repeatSonar = true;
    });
    waitUntil([&] {
      for (int d = 0; d < 8; ++d) {
        if (robot.getSonarRange(d) != ranges[static_cast<size_t>(d)]) return false;
      }
      return true;
    }, 1000);
  }
  void stallBits(uint16_t bits) {
    fake.update([&](testsrv::SipState& s) { s.stall = bits; });
    waitUntil([&] { return robot.getStallValue() == bits; }, 1000);
  }
  ArActionDesired fire(ArAction& a) {
    robot.lock();
    a.setRobot(&robot);
    ArActionDesired* d = a.fire(ArActionDesired());
    ArActionDesired out = d ? *d : ArActionDesired();
    robot.unlock();
    return out;
  }
};

}  // namespace

TEST(WanderActions, AvoidFrontTurnsTowardTheOpenSideAndKeepsThatWay) {
  Rig r;
  ASSERT_TRUE(r.start());
  ArActionAvoidFront near("Avoid Front Near", 225, 0, 15, true);
  ArActionAvoidFront far("avoid front obstacles", 450, 200, 15, true);
  // Something 150 mm in front of disc 3, the left side cluttered, the right side open.
  r.frontRanges({400, 300, kFar, 150, kFar, kFar, kFar, kFar});
  ArActionDesired d = r.fire(near);
  EXPECT_EQ(d.getVelStrength(), 1.0);
  EXPECT_EQ(d.getVel(), 0);
  EXPECT_EQ(d.getRotKind(), ArActionDesired::Rot::DeltaHeading);
  EXPECT_EQ(d.getRotValue(), -15);  // right, the open side
  d = r.fire(far);
  EXPECT_EQ(d.getVel(), 200);
  EXPECT_EQ(d.getRotValue(), -15);
  // Still blocked, now the right looks worse: the turn keeps its direction.
  r.frontRanges({kFar, kFar, kFar, 150, kFar, kFar, 300, 400});
  EXPECT_EQ(r.fire(near).getRotValue(), -15);
  // Clear ahead: no opinion, and the next obstacle picks its side afresh.
  r.frontRanges({kFar, kFar, kFar, kFar, kFar, kFar, 300, 400});
  EXPECT_EQ(r.fire(near).getVelStrength(), 0);
  r.frontRanges({kFar, kFar, kFar, 150, kFar, kFar, 300, 400});
  EXPECT_EQ(r.fire(near).getRotValue(), 15);
  // Between the two distances only the far action reacts.
  r.frontRanges({kFar, kFar, kFar, 350, kFar, kFar, kFar, kFar});
  EXPECT_EQ(r.fire(near).getVelStrength(), 0);
  EXPECT_EQ(r.fire(far).getVel(), 200);
}

TEST(WanderActions, StallAndBumperContactsBackAwayWithStallRecoveryWinning) {
  Rig r;
  ASSERT_TRUE(r.start());
  ArActionStallRecover recover("stall recover", 225, 50, 150, 45);
  ArActionBumpers bumpers("bumpers", 100, 3000, 3000, false);
  ArActionConstantVelocity forward("Constant Velocity", 400);
  r.frontRanges({kFar, kFar, kFar, kFar, kFar, kFar, kFar, kFar});
  EXPECT_EQ(r.fire(recover).getVelStrength(), 0);
  EXPECT_EQ(r.fire(bumpers).getVelStrength(), 0);
  ArActionStallRecover rightOnly("stall recover", 225, 50, 150, 45);
  r.stallBits(0x0100);  // the right wheel alone
  EXPECT_EQ(r.fire(rightOnly).getVel(), -150);
  r.stallBits(0x0101 | 0x0200);  // both wheels stalled, front bumper pressed
  EXPECT_EQ(r.fire(recover).getVel(), -150);
  EXPECT_EQ(r.fire(bumpers).getVel(), -100);
  EXPECT_EQ(r.fire(forward).getVel(), 400);

  // All three installed: per channel the highest priority that speaks wins.
  ArActionStallRecover recover2("stall recover", 225, 50, 150, 45);
  ArActionBumpers bumpers2("bumpers", 100, 3000, 3000, false);
  r.robot.lock();
  r.robot.addAction(&forward, 25);
  r.robot.addAction(&recover2, 100);
  r.robot.addAction(&bumpers2, 75);
  r.robot.unlock();
  auto vels = [&] {
    std::vector<int> out;
    for (const arproto::Packet& p : r.fake.receivedOf(arproto::VEL)) {
      int v = 0;
      arproto::readIntArg(p.payload(), p.payloadSize(), v);
      out.push_back(v);
    }
    return out;
  };
  EXPECT_TRUE(waitUntil([&] { return !vels().empty() && vels().back() == -150; }, 1000));
  std::vector<int> sent = vels();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 400), 0);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), -100), 0);
  r.robot.lock();
  r.robot.remAction(&forward);
  r.robot.remAction(&recover2);
  r.robot.remAction(&bumpers2);
  r.robot.unlock();
}
