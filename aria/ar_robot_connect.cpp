// Connection set-up and teardown of ArRobot: the SYNC handshake, OPEN, the first SIPs
// and the odometry reset, and the orderly or failed end of a session.
#include <cstdio>

#include "aria/ar_robot_impl.h"

using namespace arrobot;

namespace {

enum SyncOutcome { kReply, kTimeout, kSipSeen, kLinkDead };
enum StepsOutcome { kStepsDone, kStepsFailed, kStepsRestart };

bool isSyncEcho(const arproto::Packet& p, uint8_t command) {
  return p.payloadSize() == 1 && p.payload()[0] == command;
}

}  // namespace

bool ArRobot::Impl::send(const arproto::Packet& p) {
  ArDeviceConnection* conn = connection.load();
  return conn && conn->write(reinterpret_cast<const char*>(p.bytes), static_cast<unsigned>(p.size)) >= 0;
}

// Waits for the answer to one SYNC packet, skipping unrelated packets.
int ArRobot::Impl::awaitSyncReply(ArDeviceConnection* conn, uint8_t command) {
  int64_t deadline = ArTime::nowMSec() + kHandshakeWaitMs;
  char buf[512];
  for (;;) {
    arproto::Packet p;
    while (framer.next(p)) {
      if (arproto::isStandardSipType(p.type())) return kSipSeen;
      if (command == arproto::SYNC2 && arproto::decodeIdentity(p.payload(), p.payloadSize(), pendingIdentity)) {
        return kReply;
      }
      if (command != arproto::SYNC2 && isSyncEcho(p, command)) return kReply;
    }
    int64_t left = deadline - ArTime::nowMSec();
    if (left <= 0) return kTimeout;
    int n = conn->read(buf, sizeof buf, static_cast<unsigned>(left));
    if (n < 0) return kLinkDead;
    framer.feed(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
  }
}

// SYNC0, SYNC1, SYNC2, each sent up to three times until its reply arrives.
int ArRobot::Impl::syncSteps(ArDeviceConnection* conn) {
  for (uint8_t command : {arproto::SYNC0, arproto::SYNC1, arproto::SYNC2}) {
    int outcome = kTimeout;
    for (int sends = 0; sends < kHandshakeSends && outcome == kTimeout; ++sends) {
      if (!sendCommand(command)) return kStepsFailed;
      outcome = awaitSyncReply(conn, command);
    }
    if (outcome == kSipSeen) return kStepsRestart;
    if (outcome != kReply) return kStepsFailed;
  }
  return kStepsDone;
}

// Drops whatever the server sends for a while after CLOSE, so the restarted handshake
// does not see the tail of the old session.
void ArRobot::Impl::settleAfterClose(ArDeviceConnection* conn) {
  int64_t deadline = ArTime::nowMSec() + kCloseSettleMs;
  char buf[512];
  for (int64_t left = kCloseSettleMs; left > 0; left = deadline - ArTime::nowMSec()) {
    if (conn->read(buf, sizeof buf, static_cast<unsigned>(left)) < 0) break;
  }
  framer.clear();
}

bool ArRobot::Impl::handshake(ArDeviceConnection* conn) {
  framer.clear();
  for (int restarts = 0;; ++restarts) {
    int outcome = syncSteps(conn);
    if (outcome == kStepsDone) return true;
    if (outcome == kStepsFailed || restarts == kHandshakeRestarts) return false;
    // A session is still open on this link: close it and start over.
    if (!sendCommand(arproto::CLOSE)) return false;
    settleAfterClose(conn);
  }
}

// Reads until count standard SIPs have arrived (positions decoded), or kFirstSipWaitMs pass.
bool ArRobot::Impl::awaitSips(ArDeviceConnection* conn, int count, std::vector<Sample>& samples) {
  int64_t deadline = ArTime::nowMSec() + kFirstSipWaitMs;
  size_t want = samples.size() + static_cast<size_t>(count);
  while (samples.size() < want) {
    int64_t left = deadline - ArTime::nowMSec();
    if (left <= 0 || !readSamples(conn, static_cast<int>(left), samples)) return false;
  }
  return true;
}

void ArRobot::Impl::resetSessionState() {
  ArLockGuard hold(robotMutex);
  odometry.reset();
  odometry.setDistConv(params.distConv);
  history.clear();
  for (SonarState& s : sonar) s = SonarState();
  for (ArRangeDevice* dev : rangeDevices) dev->clearBuffers();
  vel = rotVel = 0;
  stall = flags = 0;
  haveFlags = false;
  sent = SentMotion();
  motorsConfirm = sonarConfirm = Confirmation();
  // A new session starts still: commands given to the previous one are not replayed.
  directTrans = TransCmd();
  directRot = RotCmd();
}

// OPEN, PULSE, the first SIP, then SETO and the SIPs that re-baseline the odometry.
bool ArRobot::Impl::openSession(ArDeviceConnection* conn) {
  bool known = true;
  arproto::RobotParams chosen = arproto::paramsForSubclass(pendingIdentity.subclass, known);
  if (!known) {
    std::fprintf(stderr, "Unknown robot subclass \"%s\", using the p3dx-sh parameters\n",
                 pendingIdentity.subclass.c_str());
  }
  {
    ArLockGuard hold(robotMutex);
    params = chosen;
    identity = pendingIdentity;
  }
  resetSessionState();
  if (!sendCommand(arproto::OPEN) || !sendCommand(arproto::PULSE)) return false;
  lastPulseMs = ArTime::nowMSec();
  std::vector<Sample> samples;
  if (!awaitSips(conn, 1, samples)) return false;
  if (!sendCommand(arproto::SETO)) return false;
  odometry.requestRebaseline();
  // The first SIP after SETO may predate it; the second one carries the reset position.
  if (!awaitSips(conn, 2, samples)) return false;
  ArLockGuard hold(robotMutex);
  for (const Sample& s : samples) applySample(s);
  return true;
}

bool ArRobot::Impl::failConnect(ArDeviceConnection* conn) {
  if (conn) conn->close();
  std::list<ArFunctor*> callbacks;
  {
    std::lock_guard<std::mutex> cb(callbackMutex);
    callbacks = failedConnectCBs;
  }
  runCallbacks(callbacks);
  return false;
}

bool ArRobot::Impl::connect() {
  if (connected.load()) return true;
  if (running.load()) stopCycle(true);
  ArDeviceConnection* conn = connection.load();
  if (!conn) {
    if (!ownConnection) ownConnection = std::make_unique<ArTcpConnection>();
    conn = ownConnection.get();
    connection.store(conn);
  }
  if (!conn->isOpen() && !conn->openSimple()) return failConnect(conn);
  if (!handshake(conn) || !openSession(conn)) return failConnect(conn);
  lastPacketMs = ArTime::nowMSec();
  connected.store(true);
  std::list<ArFunctor*> callbacks;
  {
    std::lock_guard<std::mutex> cb(callbackMutex);
    callbacks = connectCBs;
  }
  runCallbacks(callbacks);
  return true;
}

void ArRobot::Impl::runCallbacks(const std::list<ArFunctor*>& list) {
  for (ArFunctor* f : list) f->invoke();
}

// Ends the session once, whoever notices first; the matching callbacks run after the
// link is closed and the robot reads not connected.
void ArRobot::Impl::endSession(EndKind kind) {
  if (!connected.exchange(false)) return;
  if (ArDeviceConnection* conn = connection.load()) conn->close();
  std::list<ArFunctor*> callbacks;
  {
    std::lock_guard<std::mutex> cb(callbackMutex);
    callbacks = kind == EndKind::Normal ? disconnectNormallyCBs : disconnectOnErrorCBs;
  }
  runCallbacks(callbacks);
}

// From the signal thread: never waits for the robot lock, writes straight to the link.
void ArRobot::Impl::emergencyStop() {
  if (!connected.load()) return;
  sendCommand(arproto::STOP);
  sendCommand(arproto::CLOSE);
}
