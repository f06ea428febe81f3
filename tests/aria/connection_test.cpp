// Connecting ArRobot to scripted servers: the handshake, its failures, link loss and
// the callbacks that report them.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdlib>

#include "aria/aria.h"
#include "tests/support/script_server.h"
#include "tests/support/test_helpers.h"

using testsrv::CountingCallback;
using testsrv::FakeRobot;
using testsrv::ScriptServer;
using testsrv::waitUntil;

namespace {

struct Connected {
  ArTcpConnection link;
  ArRobot robot;
  CountingCallback onConnect, onFailed, onNormal, onError;

  explicit Connected(int port) {
    link.setPort("127.0.0.1", port);
    robot.setDeviceConnection(&link);
    robot.addConnectCB(&onConnect);
    robot.addFailedConnectCB(&onFailed);
    robot.addDisconnectNormallyCB(&onNormal);
    robot.addDisconnectOnErrorCB(&onError);
  }
};

int64_t timedConnect(ArRobot& robot, bool& result) {
  int64_t start = ArTime::nowMSec();
  result = robot.blockingConnect();
  return ArTime::nowMSec() - start;
}

}  // namespace

TEST(RobotConnection, HandshakeOpensSessionAndReadsIdentity) {
  FakeRobot fake;
  Connected c(fake.port());
  ASSERT_TRUE(c.robot.blockingConnect());
  EXPECT_TRUE(c.robot.isConnected());
  EXPECT_EQ(c.onConnect.count(), 1);
  EXPECT_EQ(c.onFailed.count(), 0);
  EXPECT_STREQ(c.robot.getRobotName(), "fakebot");
  EXPECT_STREQ(c.robot.getRobotType(), "Pioneer");
  EXPECT_STREQ(c.robot.getRobotSubType(), "p3dx-sh");
  // SYNC0, SYNC1, SYNC2, OPEN, PULSE, SETO in this order.
  std::vector<int> cmds = fake.receivedCommands();
  ASSERT_GE(cmds.size(), 6u);
  EXPECT_EQ(std::vector<int>(cmds.begin(), cmds.begin() + 6), (std::vector<int>{0, 1, 2, 1, 0, 7}));
  EXPECT_TRUE(c.robot.disconnect());
  EXPECT_FALSE(c.robot.isConnected());
  EXPECT_EQ(c.onNormal.count(), 1);
  EXPECT_EQ(c.onError.count(), 0);
  // The orderly end is STOP then CLOSE.
  ASSERT_TRUE(waitUntil([&] { return fake.receivedCommands().back() == arproto::CLOSE; }, 1000));
  cmds = fake.receivedCommands();
  EXPECT_EQ(cmds[cmds.size() - 2], arproto::STOP);
}

TEST(RobotConnection, RefusedConnectionFailsAtOnceWithFailedCallbacks) {
  Connected c(testsrv::unusedPort());
  bool ok = true;
  int64_t ms = timedConnect(c.robot, ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(c.onFailed.count(), 1);
  EXPECT_EQ(c.onConnect.count(), 0);
  EXPECT_FALSE(c.robot.isConnected());
  EXPECT_FALSE(c.link.isOpen());
}

TEST(RobotConnection, SilentServerFailsAfterThreeSyncTries) {
  std::atomic<int> packets{0};
  ScriptServer silent([&](int fd) {
    arproto::Framer f;
    arproto::Packet p;
    for (;;) {
      testsrv::ReadResult r = testsrv::readPacket(fd, f, p, 100);
      if (r == testsrv::ReadResult::Closed) return;
      if (r == testsrv::ReadResult::Packet) ++packets;
    }
  });
  Connected c(silent.port());
  bool ok = true;
  int64_t ms = timedConnect(c.robot, ok);
  EXPECT_FALSE(ok);
  EXPECT_GE(ms, 2900);
  EXPECT_LT(ms, 3600);
  EXPECT_EQ(c.onFailed.count(), 1);
  EXPECT_FALSE(c.link.isOpen());
  EXPECT_TRUE(waitUntil([&] { return packets.load() == 3; }, 1000));
}

TEST(RobotConnection, GarbageFromServerNeverPassesForAHandshake) {
  ScriptServer noisy([](int fd) {
    std::srand(7);
    uint8_t junk[300];
    for (int round = 0; round < 40; ++round) {
      for (uint8_t& b : junk) b = static_cast<uint8_t>(std::rand());
      // Headers with impossible counts and with bad checksums among the noise.
      junk[0] = 0xFA, junk[1] = 0xFB, junk[2] = 0xFF;
      junk[100] = 0xFA, junk[101] = 0xFB, junk[102] = 3, junk[103] = 0, junk[104] = 0, junk[105] = 1;
      junk[298] = 0xFA, junk[299] = 0xFB;
      if (!testsrv::sendBytes(fd, junk, sizeof junk)) return;
      ArUtil::sleep(100);
    }
  });
  Connected c(noisy.port());
  bool ok = true;
  int64_t ms = timedConnect(c.robot, ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(ms, 4000);
  EXPECT_EQ(c.onFailed.count(), 1);
}

TEST(RobotConnection, SipDuringHandshakeClosesTheOldSessionAndStartsOver) {
  FakeRobot fake;
  fake.startWithStaleSession();
  Connected c(fake.port());
  ASSERT_TRUE(c.robot.blockingConnect());
  std::vector<int> cmds = fake.receivedCommands();
  // SYNC0 (taken as a PULSE by the open session), CLOSE, then the full handshake.
  ASSERT_GE(cmds.size(), 5u);
  EXPECT_EQ(cmds[0], 0);
  EXPECT_EQ(cmds[1], 2);
  EXPECT_EQ(std::vector<int>(cmds.begin() + 2, cmds.begin() + 5), (std::vector<int>{0, 1, 2}));
}

TEST(RobotConnection, UnknownSubclassStillConnects) {
  FakeRobot fake("mystery-bot");
  Connected c(fake.port());
  testing::internal::CaptureStderr();
  bool ok = c.robot.blockingConnect();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ok);
  EXPECT_NE(err.find("mystery-bot"), std::string::npos);
}

TEST(RobotConnection, LostLinkRunsErrorCallbacksOnceAndAllowsReconnect) {
  FakeRobot fake;
  Connected c(fake.port());
  ASSERT_TRUE(c.robot.blockingConnect());
  c.robot.runAsync(true);
  EXPECT_TRUE(c.robot.isRunning());
  fake.dropConnection();
  ASSERT_TRUE(waitUntil([&] { return !c.robot.isRunning(); }, 3000));
  EXPECT_FALSE(c.robot.isConnected());
  EXPECT_EQ(c.onError.count(), 1);
  EXPECT_EQ(c.onNormal.count(), 0);
  ArUtil::sleep(200);
  EXPECT_EQ(c.onError.count(), 1);

  c.robot.lock();
  c.robot.setVel(300);  // given while the link is down
  c.robot.unlock();
  fake.clearReceived();
  ASSERT_TRUE(c.robot.blockingConnect());
  c.robot.runAsync(true);
  EXPECT_TRUE(c.robot.isRunning());
  EXPECT_EQ(c.onConnect.count(), 2);
  ArUtil::sleep(300);
  EXPECT_TRUE(fake.receivedOf(arproto::VEL).empty());  // the new session starts still
  c.robot.stopRunning(true);
  EXPECT_FALSE(c.robot.isRunning());
  EXPECT_EQ(c.onNormal.count(), 1);
  EXPECT_EQ(c.onError.count(), 1);
}

TEST(RobotConnection, ServerStallingMidPacketCountsAsLoss) {
  FakeRobot fake;
  Connected c(fake.port());
  ASSERT_TRUE(c.robot.blockingConnect());
  c.robot.runAsync(true);
  int64_t start = ArTime::nowMSec();
  fake.stallMidPacket();
  ASSERT_TRUE(waitUntil([&] { return !c.robot.isRunning(); }, 4000));
  int64_t ms = ArTime::nowMSec() - start;
  EXPECT_GE(ms, 1800);
  EXPECT_FALSE(c.robot.isConnected());
  EXPECT_EQ(c.onError.count(), 1);
}

TEST(RobotConnection, DamagedPacketsAmongSipsAreDroppedAndTheSessionGoesOn) {
  FakeRobot fake;
  Connected c(fake.port());
  ASSERT_TRUE(c.robot.blockingConnect());
  c.robot.runAsync(true);
  fake.addNoise();
  fake.update([](testsrv::SipState& s) { s.xRaw = 777; });
  EXPECT_TRUE(waitUntil([&] { return std::fabs(c.robot.getX() - 777) < 1e-9; }, 1000));
  ArUtil::sleep(2500);
  EXPECT_TRUE(c.robot.isConnected());
  EXPECT_TRUE(c.robot.isRunning());
  EXPECT_EQ(c.onError.count(), 0);
  EXPECT_DOUBLE_EQ(c.robot.getX(), 777);
}

TEST(RobotConnection, CallbacksRunInListOrderWithFirstAtTheFront) {
  FakeRobot fake;
  ArTcpConnection link;
  link.setPort("127.0.0.1", fake.port());
  ArRobot robot;
  robot.setDeviceConnection(&link);
  std::vector<std::string> log;
  std::mutex m;
  testsrv::TaggingCallback a(log, m, "a"), b(log, m, "b"), c(log, m, "c");
  robot.addConnectCB(&a);
  robot.addConnectCB(&b, ArListPos::FIRST);
  robot.addConnectCB(&c, ArListPos::LAST);
  robot.addDisconnectNormallyCB(&a, ArListPos::FIRST);
  robot.addDisconnectNormallyCB(&b, ArListPos::FIRST);
  ASSERT_TRUE(robot.blockingConnect());
  robot.disconnect();
  EXPECT_EQ(log, (std::vector<std::string>{"b", "a", "c", "b", "a"}));
}

// What a program does when the first attempt fails: stop the robot and shut the
// library down from inside the failed-connect callback, then try again later.
TEST(RobotConnection, FailedConnectCallbackMayStopAndShutDownThenRetrySucceeds) {
  ArTcpConnection link;
  link.setPort("127.0.0.1", testsrv::unusedPort());
  ArRobot robot;
  robot.setDeviceConnection(&link);
  CountingCallback onFailed([&] {
    robot.stopRunning(true);
    Aria::shutdown();
  });
  robot.addFailedConnectCB(&onFailed, ArListPos::FIRST);
  EXPECT_FALSE(robot.blockingConnect());
  EXPECT_EQ(onFailed.count(), 1);

  FakeRobot fake;
  link.setPort("127.0.0.1", fake.port());
  ASSERT_TRUE(link.openSimple());
  ASSERT_TRUE(robot.blockingConnect());
  robot.runAsync(true);
  EXPECT_TRUE(robot.isRunning());
  Aria::shutdown();
  EXPECT_FALSE(robot.isRunning());
  robot.disconnect();
}

// The cycle thread runs the error callbacks; one that stops the robot must not wait for itself.
TEST(RobotConnection, ErrorCallbackOnCycleThreadMayStopRunning) {
  FakeRobot fake;
  Connected c(fake.port());
  CountingCallback stopper([&] { c.robot.stopRunning(true); });
  c.robot.addDisconnectOnErrorCB(&stopper);
  ASSERT_TRUE(c.robot.blockingConnect());
  c.robot.runAsync(true);
  fake.dropConnection();
  ASSERT_TRUE(waitUntil([&] { return !c.robot.isRunning(); }, 3000));
  EXPECT_EQ(stopper.count(), 1);
  ASSERT_TRUE(c.robot.blockingConnect());
  c.robot.runAsync(true);
  EXPECT_TRUE(c.robot.isRunning());
}
