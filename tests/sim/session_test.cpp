// One session's packet handling without sockets: commands, SIP contents, output limits.
#include <gtest/gtest.h>

#include "aria/ar_sip.h"
#include "raw_client.h"
#include "sim/session.h"

namespace {

using simtest::Bytes;
using simtest::hexBytes;

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : simulation(sim::World{}, sim::SimOptions{}), robot(simulation.addRobot()), session(simulation, robot) {}

  void feed(const Bytes& bytes) { session.receive(bytes.data(), bytes.size()); }
  void feed(const arproto::Packet& p) { session.receive(p.bytes, p.size); }
  void open() {
    feed(hexBytes("FA FB 03 00 00 00 FA FB 03 01 00 01 FA FB 03 02 00 02 FA FB 03 01 00 01"));
    session.consumeOutput(session.pendingOutput().size());
    ASSERT_TRUE(session.isOpen());
  }
  // The SIP the session queues now, parsed back.
  arproto::Packet sip() {
    session.sendSip();
    arproto::Framer framer;
    framer.feed(session.pendingOutput().data(), session.pendingOutput().size());
    session.consumeOutput(session.pendingOutput().size());
    arproto::Packet p;
    EXPECT_TRUE(framer.next(p));
    return p;
  }
  uint16_t flags() { return arproto::readU16(sip().payload() + 16); }

  sim::Simulation simulation;
  sim::Robot& robot;
  sim::Session session;
};

TEST(SipEncoding, MatchesTheReferenceSipByteForByte) {
  sim::SipFields f;
  f.moving = true;
  f.xpos = sim::toSipPosition(1000);
  f.ypos = sim::toSipPosition(-200);
  f.thpos = sim::toSipAngle(90);
  f.leftVel = 80;
  f.rightVel = 120;
  f.control = sim::toSipAngle(90);
  f.flags = 0x0007;
  f.readings = {{3, 1500}, {4, 5000}};
  f.rotVel = 64;
  arproto::Packet p;
  sim::encodeSip(f, p);
  EXPECT_EQ(Bytes(p.bytes, p.bytes + p.size),
            hexBytes("FA FB 28 33 E8 03 38 7F 00 04 50 00 78 00 7D 00 00 00 04 07 00 00 02"
                     "03 DC 05 04 88 13 00 00 00 00 00 7D 00 00 40 00 00 00 93 DB"));
}

TEST(SipEncoding, PositionsWrapAt15BitsAndHeadingsStaySigned) {
  EXPECT_EQ(sim::toSipPosition(32767.4), 32767);
  EXPECT_EQ(sim::toSipPosition(32768), 0);
  EXPECT_EQ(sim::toSipPosition(-1), 32767);
  EXPECT_EQ(sim::toSipPosition(-40000), 25536);
  EXPECT_EQ(sim::toSipAngle(180), -2048);
  EXPECT_EQ(sim::toSipAngle(-180), -2048);
  EXPECT_EQ(sim::toSipAngle(179.99), -2048) << "rounds to 2048, which wraps";
  EXPECT_EQ(sim::toSipAngle(-90), -1024);
  EXPECT_EQ(sim::toSipAngle(359), -11);
}

TEST(SipEncoding, OurClientDecodesWhatTheServerEncodes) {
  sim::SipFields f;
  f.xpos = sim::toSipPosition(-12345.6);
  f.ypos = sim::toSipPosition(40000);
  f.thpos = sim::toSipAngle(-135);
  f.leftVel = -321;
  f.rightVel = 123;
  f.stallAndBumpers = sim::kStallBits | sim::kRearBumperBit;
  f.flags = 0x0005;
  for (uint8_t d = 0; d < 54; ++d) f.readings.push_back({static_cast<uint8_t>(d % 16), static_cast<uint16_t>(100 * d)});
  f.rotVel = -455;
  arproto::Packet p;
  sim::encodeSip(f, p);
  EXPECT_LE(p.size, static_cast<size_t>(arproto::kMaxSendTotal));
  arproto::Sip sip;
  ASSERT_TRUE(arproto::decodeSip(p.payload(), p.payloadSize(), sip));
  EXPECT_EQ(sip.xRaw, f.xpos);
  EXPECT_EQ(sip.yRaw, f.ypos);
  EXPECT_NEAR(arproto::headingFromRaw(sip.thRaw), -135, 0.1);
  EXPECT_EQ(sip.leftVel, -321);
  EXPECT_EQ(sip.stall, f.stallAndBumpers);
  EXPECT_EQ(sip.flags, 0x0005);
  ASSERT_EQ(sip.sonarCount, 54);
  EXPECT_EQ(sip.sonar[53].disc, 53 % 16);
  EXPECT_EQ(sip.sonar[53].range, 5300);
  EXPECT_TRUE(sip.hasRotVel);
  EXPECT_EQ(sip.rotVel, -455);
}

TEST(SipEncoding, ServerAndClientShareTheSonarGeometry) {
  for (int disc = 0; disc < sim::kSonarCount; ++disc) {
    const arproto::SonarMount& mount = arproto::sonarMount(disc);
    EXPECT_EQ(mount.x, sim::kTransducers[disc].x) << disc;
    EXPECT_EQ(mount.y, sim::kTransducers[disc].y) << disc;
    EXPECT_EQ(mount.th, sim::kTransducers[disc].headingDeg) << disc;
  }
}

TEST_F(SessionTest, OpenResetsTheSessionAndCloseEndsIt) {
  simulation.placeRobot(robot, 5000, -3000, 45);
  open();
  EXPECT_EQ(flags(), 0x0006) << "motors off, both arrays on";
  const arproto::Packet first = sip();
  EXPECT_EQ(arproto::readU16(first.payload() + 1), 0);
  EXPECT_EQ(arproto::readU16(first.payload() + 5), 0) << "odometry starts at the pose of OPEN";
  feed(arproto::makeCommandInt(arproto::ENABLE, 1));
  feed(arproto::makeCommandInt(arproto::SETV, 100));
  EXPECT_EQ(flags(), 0x0007);
  feed(hexBytes("FA FB 03 02 00 02"));  // CLOSE
  EXPECT_FALSE(session.isOpen());
  EXPECT_FALSE(robot.model.motorsEnabled());
  session.sendSip();
  EXPECT_TRUE(session.pendingOutput().empty()) << "no SIPs after CLOSE";
  open();
  EXPECT_EQ(robot.model.limits().transVelMax, 500) << "limits back to their defaults";
}

TEST_F(SessionTest, CommandsApplyOnlyWithValidArguments) {
  open();
  feed(arproto::makeCommandInt(arproto::ENABLE, 2));
  EXPECT_FALSE(robot.model.motorsEnabled());
  feed(arproto::makeCommandInt(arproto::VEL, 300));
  EXPECT_EQ(robot.model.velSetpoint(), 0) << "discarded while the motors are off";
  feed(hexBytes("FA FB 06 04 3B 01 00 05 3B"));
  feed(hexBytes("FA FB 03 0B 00 0B"));  // VEL without its argument
  EXPECT_EQ(robot.model.velSetpoint(), 0);
  feed(hexBytes("FA FB 06 0B 1B 96 00 A1 1B"));  // VEL -150
  EXPECT_EQ(robot.model.velSetpoint(), -150);
  feed(hexBytes("FA FB 06 0B 3B FF FF 0B 3A"));  // 65535 read unsigned, clamped
  EXPECT_EQ(robot.model.velSetpoint(), 500);
  feed(hexBytes("FA FB 06 0B 2B 10 00 1B 2B"));  // a string-typed argument is not a number
  EXPECT_EQ(robot.model.velSetpoint(), 500);
  feed(hexBytes("FA FB 06 0C 3B 5A 00 66 3B"));  // HEAD 90
  EXPECT_TRUE(robot.model.headingMode());
  EXPECT_EQ(robot.model.headingSetpoint(), 90);
  feed(hexBytes("FA FB 08 20 00 0A 04 77 77 A1 7B"));  // VEL2 right 10, left 4, extra bytes
  EXPECT_EQ(robot.model.velSetpoint(), 140);
  for (uint8_t unknown : {14, 40, 99, 200, 255}) feed(arproto::makeCommandInt(unknown, 1));
  feed(arproto::makeCommand(arproto::E_STOP));
  EXPECT_EQ(robot.model.velSetpoint(), 0);
  EXPECT_TRUE(session.isOpen());
}

TEST_F(SessionTest, SonarCommandSwitchesBothOrOneArray) {
  open();
  feed(arproto::makeCommandInt(arproto::SONAR, 0));
  EXPECT_EQ(flags(), 0x0000);
  feed(arproto::makeCommandInt(arproto::SONAR, 5));  // array 2 on
  EXPECT_EQ(flags(), 0x0004);
  feed(arproto::makeCommandInt(arproto::SONAR, 3));  // array 1 on
  EXPECT_EQ(flags(), 0x0006);
  feed(arproto::makeCommandInt(arproto::SONAR, 2));  // array 1 off
  EXPECT_EQ(flags(), 0x0004);
  feed(arproto::makeCommandInt(arproto::SONAR, 7));  // array 3 does not exist
  feed(arproto::makeCommandInt(arproto::SONAR, 17));
  EXPECT_EQ(flags(), 0x0004);
}

TEST_F(SessionTest, SipsAreDroppedWhileTheClientIsNotReading) {
  open();
  session.sendSip();
  const size_t one = session.pendingOutput().size();
  for (int i = 0; i < 1000; ++i) session.sendSip();
  EXPECT_EQ(session.pendingOutput().size(), one) << "a SIP waits for nothing: it is dropped";
  EXPECT_EQ(session.droppedPackets(), 1000u);
  // Handshake echoes of a flooding client stay bounded too.
  session.disconnect();
  for (int i = 0; i < 5000; ++i) feed(hexBytes("FA FB 03 00 00 00"));
  EXPECT_LE(session.pendingOutput().size(), sim::Session::kMaxOutput);
}

TEST_F(SessionTest, SipsCarryReadingsOnceInFiringOrder) {
  open();
  for (int i = 0; i < 10; ++i) simulation.tick();
  const arproto::Packet p = sip();
  const uint8_t n = p.payload()[19];
  ASSERT_EQ(n, 4);  // two firings of two arrays
  EXPECT_EQ(p.payload()[20], 0);
  EXPECT_EQ(p.payload()[23], 8);
  EXPECT_EQ(p.payload()[26], 1);
  EXPECT_EQ(p.payload()[29], 9);
  EXPECT_EQ(sip().payload()[19], 0) << "readings are sent once";
}

}  // namespace
