// Protocol conformance of the running server, seen through raw TCP bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "raw_client.h"
#include "sim/server.h"

namespace {

using simtest::Bytes;
using simtest::hexBytes;
using simtest::RawClient;
using namespace std::chrono_literals;

constexpr char kWorld[] =
    "wall 2000 -5000 2000 5000\n"
    "start 0 0 0\n"
    "start 0 1000 90\n"
    "start 0 -1000 180\n";

class ServerProtocol : public ::testing::Test {
 protected:
  void SetUp() override { startServer(30); }

  void startServer(double graceSeconds) {
    sim::World world;
    std::string error;
    ASSERT_TRUE(sim::parseWorld(kWorld, world, error)) << error;
    sim::ServerOptions options;
    options.port = 0;
    options.quiet = true;
    options.graceSeconds = graceSeconds;
    server.reset();
    server = std::make_unique<sim::Server>(world, options);
    ASSERT_TRUE(server->start(error)) << error;
  }

  // Waits until count() is n (connections are accepted and closed asynchronously).
  bool waitFor(size_t (sim::Server::*count)() const, size_t n, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((server.get()->*count)() != n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  bool waitForRobots(size_t n, int timeoutMs = 3000) { return waitFor(&sim::Server::robotCount, n, timeoutMs); }
  bool waitForConnections(size_t n, int timeoutMs = 3000) { return waitFor(&sim::Server::connectionCount, n, timeoutMs); }

  std::unique_ptr<sim::Server> server;
};

uint16_t u16(const arproto::Packet& p, size_t payloadOffset) { return arproto::readU16(p.payload() + payloadOffset); }
int16_t s16(const arproto::Packet& p, size_t payloadOffset) { return arproto::readS16(p.payload() + payloadOffset); }

TEST_F(ServerProtocol, HandshakeRepliesAreExactBytesAndOpenStartsSips) {
  RawClient c(server->port());
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 00 00 00")));
  EXPECT_EQ(c.readRaw(6), hexBytes("FA FB 03 00 00 00"));
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 01 00 01")));
  EXPECT_EQ(c.readRaw(6), hexBytes("FA FB 03 01 00 01"));
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 02 00 02")));
  EXPECT_EQ(c.readRaw(29), hexBytes("FA FB 1A 02 73 69 6D 62 6F 74 00 50 69 6F 6E 65 65 72 00 70 33 64 78 2D 73 68 00 43 A9"));
  const auto opened = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 01 00 01")));
  arproto::Packet sip;
  ASSERT_TRUE(c.next(sip, 500));
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 200ms);
  EXPECT_EQ(sip.type(), 0x32);
}

TEST_F(ServerProtocol, HandshakeStepsOutOfOrderAreIgnored) {
  RawClient c(server->port());
  // Nothing but SYNC0 starts the handshake.
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 01 00 01")));
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 02 00 02")));
  EXPECT_TRUE(c.readRaw(1, 300).empty());
  // SYNC2 right after SYNC0 and OPEN before the identity reply are ignored too.
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 00 00 00")));
  EXPECT_EQ(c.readRaw(6), hexBytes("FA FB 03 00 00 00"));
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 02 00 02")));
  EXPECT_TRUE(c.readRaw(1, 300).empty());
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 01 00 01")));
  EXPECT_EQ(c.readRaw(6), hexBytes("FA FB 03 01 00 01"));
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 01 00 01")));  // a second SYNC1 is not echoed
  EXPECT_TRUE(c.readRaw(1, 300).empty());
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 02 00 02")));
  EXPECT_EQ(c.readRaw(29).size(), 29u);
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 01 00 01")));
  arproto::Packet sip;
  EXPECT_TRUE(c.nextOfType(0x32, sip));
}

TEST_F(ServerProtocol, SipsCarryEveryFieldAtTenHertz) {
  RawClient c(server->port());
  ASSERT_TRUE(c.openSession());
  arproto::Packet sip;
  int count = 0;
  std::vector<int> discs;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 1s) {
    ASSERT_TRUE(c.next(sip, 500));
    ++count;
    const size_t n = sip.payload()[19];
    ASSERT_EQ(sip.bytes[2], 34 + 3 * n) << "byte count covers every field through FAULTFLAGS";
    ASSERT_EQ(sip.payloadSize(), 32 + 3 * n);
    EXPECT_EQ(sip.payload()[11], 125);                 // BATTERY
    EXPECT_EQ(u16(sip, 16), 0x0006);                    // both sonar arrays on, motors off
    EXPECT_EQ(u16(sip, 20 + 3 * n + 5), 125);          // BATTERYX10
    EXPECT_EQ(u16(sip, 20 + 3 * n + 10), 0);           // FAULTFLAGS
    for (size_t k = 0; k < n; ++k) {
      discs.push_back(sip.payload()[20 + 3 * k]);
      EXPECT_LE(u16(sip, 21 + 3 * k), 5000);
    }
  }
  EXPECT_GE(count, 9);
  EXPECT_LE(count, 11);
  // Each array fires its discs in order, one per 40 ms: 25 readings per array a second.
  int front = -1, frontCount = 0;
  for (int disc : discs) {
    if (disc >= 8) continue;
    if (front >= 0) {
      EXPECT_EQ(disc, (front + 1) % 8);
    }
    front = disc;
    ++frontCount;
  }
  EXPECT_GE(frontCount, 22);
  EXPECT_LE(frontCount, 28);
}

TEST_F(ServerProtocol, EnableAndVelocityShowInSips) {
  RawClient c(server->port());
  ASSERT_TRUE(c.openSession());
  ASSERT_TRUE(c.send(hexBytes("FA FB 06 04 3B 01 00 05 3B")));  // ENABLE 1
  ASSERT_TRUE(c.send(hexBytes("FA FB 06 0B 3B C8 00 D3 3B")));  // VEL 200
  arproto::Packet sip;
  for (int i = 0; i < 15; ++i) ASSERT_TRUE(c.nextOfType(0x32, sip));
  EXPECT_EQ(sip.type(), 0x33);
  EXPECT_EQ(u16(sip, 16) & 1, 1);
  EXPECT_EQ(s16(sip, 7), 200);
  EXPECT_EQ(s16(sip, 9), 200);
  EXPECT_GT(u16(sip, 1), 100);  // moved forward in x
}

TEST_F(ServerProtocol, WatchdogHaltsSilentClientAndNextPacketRevivesIt) {
  RawClient c(server->port());
  ASSERT_TRUE(c.openSession());
  ASSERT_TRUE(c.send(arproto::makeCommandInt(arproto::ENABLE, 1)));
  ASSERT_TRUE(c.send(arproto::makeCommandInt(arproto::ROTATE, 30)));  // turning needs no free space
  // Silent from here on: SIPs keep coming, and after 2 s the robot slows to a stop.
  const auto silentSince = std::chrono::steady_clock::now();
  arproto::Packet sip;
  auto rotVel = [&] { return s16(sip, sip.payloadSize() - 4); };
  do {
    ASSERT_TRUE(c.nextOfType(0x32, sip, 500));
  } while (rotVel() != 300);
  while (std::chrono::steady_clock::now() - silentSince < 1800ms) {
    ASSERT_TRUE(c.nextOfType(0x32, sip, 500));
    EXPECT_EQ(rotVel(), 300);
  }
  while (std::chrono::steady_clock::now() - silentSince < 2800ms) ASSERT_TRUE(c.nextOfType(0x32, sip, 500));
  EXPECT_EQ(rotVel(), 0);
  ASSERT_TRUE(c.send(arproto::makeCommand(arproto::PULSE)));
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(c.nextOfType(0x32, sip));
  EXPECT_EQ(rotVel(), 300) << "the kept setpoint of 30 deg/s resumes";
}

TEST_F(ServerProtocol, CloseStopsSipsAndTheConnectionCanHandshakeAgain) {
  RawClient c(server->port());
  ASSERT_TRUE(c.openSession());
  ASSERT_TRUE(c.send(hexBytes("FA FB 03 02 00 02")));
  std::this_thread::sleep_for(150ms);
  c.readRaw(100000, 100);  // drain what was sent before the CLOSE
  EXPECT_TRUE(c.readRaw(1, 300).empty());
  EXPECT_TRUE(c.openSession());
  EXPECT_EQ(server->robotCount(), 1u);
}

// Robots are handed out as sessions open, at successive start poses, and a robot whose
// client leaves stays parked. A session that opens while robots are parked is offered the
// one parked last: a client that starts with SETO (a new client, with a frame of its own)
// gets a new robot instead, any other takes the offered one up; one that leaves again
// without moving it gives it back behind the other parked robots.
TEST_F(ServerProtocol, ClientsGetRobotsAtSuccessiveStartPosesAndParkThemWhenTheyLeave) {
  auto newest = [&](double& x, double& y, double& th) { return server->truePose(server->connectionCount() - 1, x, y, th); };
  auto parkedAre = [&](size_t n) { return waitFor(&sim::Server::parkedCount, n); };
  auto opened = [&](uint8_t first) {
    auto c = std::make_unique<RawClient>(server->port());
    EXPECT_TRUE(c->openSession());
    EXPECT_TRUE(c->send(first == arproto::SETO ? arproto::makeCommand(first) : arproto::makeCommandInt(first, 1)));
    return c;
  };
  {
    RawClient probe(server->port());
    ASSERT_TRUE(waitForConnections(1));
  }
  ASSERT_TRUE(waitForConnections(0));
  EXPECT_EQ(server->robotCount(), 0u) << "a connection that opens no session takes no robot";
  auto a = opened(arproto::SETO);
  auto b = opened(arproto::SETO);
  auto c = opened(arproto::SETO);
  ASSERT_TRUE(waitForRobots(3));
  double x, y, th;
  ASSERT_TRUE(server->truePose(1, x, y, th));
  EXPECT_DOUBLE_EQ(y, 1000);
  EXPECT_DOUBLE_EQ(th, 90);
  ASSERT_TRUE(server->truePose(2, x, y, th));
  EXPECT_DOUBLE_EQ(th, 180);
  EXPECT_FALSE(server->truePose(3, x, y, th));
  b.reset();
  ASSERT_TRUE(parkedAre(1));
  EXPECT_EQ(server->robotCount(), 3u) << "the robot stays, parked";

  auto d = opened(arproto::SETO);
  ASSERT_TRUE(waitForRobots(4)) << "a new client gets a new robot while one is parked";
  ASSERT_TRUE(newest(x, y, th));
  EXPECT_DOUBLE_EQ(y, 0) << "at the next start pose";
  EXPECT_EQ(server->parkedCount(), 1u);
  c.reset();
  ASSERT_TRUE(parkedAre(2));
  {
    auto e = opened(arproto::ENABLE);
    ASSERT_TRUE(parkedAre(1));
    ASSERT_TRUE(newest(x, y, th));
    EXPECT_DOUBLE_EQ(th, 180) << "a client coming back gets the robot parked last";
  }
  ASSERT_TRUE(parkedAre(2));
  auto f = opened(arproto::ENABLE);
  ASSERT_TRUE(parkedAre(1));
  ASSERT_TRUE(newest(x, y, th));
  EXPECT_DOUBLE_EQ(th, 90) << "the robot given back unmoved waits behind the other";
  EXPECT_EQ(server->robotCount(), 4u);
}

// A client that loses its connection and comes back within the grace period finds its robot
// where it left it, with its odometry going on; after the grace period it gets a new robot.
TEST_F(ServerProtocol, ReconnectWithinTheGracePeriodContinuesTheSameRobot) {
  startServer(0.5);
  auto odometryX = [](const arproto::Packet& sip) { return arproto::readU16(sip.payload() + 1); };
  arproto::Packet sip;
  double x0, y0, th0, x, y, th;
  {
    RawClient a(server->port());
    ASSERT_TRUE(a.openSession());
    ASSERT_TRUE(a.send(arproto::makeCommandInt(arproto::ENABLE, 1)));
    ASSERT_TRUE(a.send(arproto::makeCommandInt(arproto::VEL, 300)));
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(a.send(arproto::makeCommandInt(arproto::ENABLE, 0)));  // stops at once
    std::this_thread::sleep_for(250ms);
    while (a.next(sip, 0)) {}
    ASSERT_TRUE(a.nextOfType(0x32, sip));
    ASSERT_TRUE(server->truePose(0, x0, y0, th0));
    ASSERT_GT(x0, 100);
    ASSERT_NEAR(odometryX(sip), x0, 1);
  }
  ASSERT_TRUE(waitForConnections(0));
  ASSERT_EQ(server->parkedCount(), 1u);
  {
    RawClient b(server->port());
    ASSERT_TRUE(b.openSession());
    ASSERT_TRUE(b.nextOfType(0x32, sip));
    ASSERT_TRUE(server->truePose(0, x, y, th));
    EXPECT_EQ(x, x0);
    EXPECT_EQ(y, y0);
    EXPECT_NEAR(odometryX(sip), x0, 1) << "OPEN did not reset the odometry";
  }
  ASSERT_TRUE(waitForConnections(0));
  ASSERT_TRUE(waitForRobots(0, 2000)) << "removed once the grace period is over";
  RawClient c(server->port());
  ASSERT_TRUE(c.openSession());
  ASSERT_TRUE(c.nextOfType(0x32, sip));
  ASSERT_TRUE(server->truePose(0, x, y, th));
  EXPECT_EQ(y, 1000) << "a new robot at the next start pose";
  EXPECT_EQ(odometryX(sip), 0);
}

TEST_F(ServerProtocol, HundredClientsAtOnceAllGetTheirSips) {
  constexpr size_t kClients = 100;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (size_t i = 0; i < kClients; ++i) clients.push_back(std::make_unique<RawClient>(server->port()));
  // Each handshake step for everyone, then the replies: no client waits on another.
  arproto::Packet p;
  for (uint8_t step : {arproto::SYNC0, arproto::SYNC1, arproto::SYNC2}) {
    for (auto& c : clients) ASSERT_TRUE(c->send(arproto::makeCommand(step)));
    for (auto& c : clients) ASSERT_TRUE(c->nextOfType(step, p));
  }
  for (auto& c : clients) {
    ASSERT_TRUE(c->send(arproto::makeCommand(arproto::OPEN)));
    ASSERT_TRUE(c->send(arproto::makeCommandInt(arproto::ENABLE, 1)));
    ASSERT_TRUE(c->send(arproto::makeCommandInt(arproto::RVEL, 20)));
  }
  EXPECT_TRUE(waitForRobots(kClients));
  std::this_thread::sleep_for(1s);
  for (auto& c : clients) {
    int sips = 0;
    while (c->next(p, 0)) sips += p.type() == 0x32 || p.type() == 0x33;
    EXPECT_GE(sips, 7);
    EXPECT_EQ(p.type(), 0x33) << "every robot turns";
  }
}

TEST_F(ServerProtocol, HostileBytesNeitherCrashNorStallOthers) {
  RawClient good(server->port());
  ASSERT_TRUE(good.openSession());
  RawClient hostile(server->port());
  Bytes garbage(20000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>((i * 7919u) ^ (i >> 3));
  ASSERT_TRUE(hostile.send(garbage));
  ASSERT_TRUE(hostile.send(hexBytes("FA FB 03 00 00 01")));           // bad checksum
  ASSERT_TRUE(hostile.send(hexBytes("FA FB FF 00 00 00 FA FB 02")));  // impossible counts
  // A malformed handshake then a valid one on the same connection still works.
  EXPECT_TRUE(hostile.openSession());
  ASSERT_TRUE(hostile.send(hexBytes("FA FB 06 0B 3B")));  // half a packet, then silence
  arproto::Packet sip;
  const auto start = std::chrono::steady_clock::now();
  int sips = 0;
  while (std::chrono::steady_clock::now() - start < 500ms) {
    ASSERT_TRUE(good.nextOfType(0x32, sip, 250));
    ++sips;
  }
  EXPECT_GE(sips, 4);
  EXPECT_EQ(server->robotCount(), 2u);
}

TEST_F(ServerProtocol, ThousandsOfDroppedConnectionsLeaveNoRobotsBehind) {
  startServer(0.5);
  for (int i = 0; i < 2000; ++i) {
    RawClient c(server->port());
    ASSERT_TRUE(c.connected());
    if (i % 3 == 0) c.send(hexBytes("FA FB 03 00"));
  }
  ASSERT_TRUE(waitForRobots(0, 10000)) << "parked robots go once the grace period is over";
  RawClient fresh(server->port());
  EXPECT_TRUE(fresh.openSession());
}

}  // namespace
