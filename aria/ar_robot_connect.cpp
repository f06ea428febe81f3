// Connection set-up and teardown of ArRobot: the SYNC handshake, OPEN, the first SIPs,
// the odometry reset of the first session and the kept frame of later ones, and the
// orderly or failed end of a session.
#include <cmath>
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

// A resumed session keeps the odometry decoder, so positions go on unwrapping from
// where the previous session left them.
void ArRobot::Impl::resetSessionState(bool resume) {
  ArLockGuard hold(robotMutex);
  if (!resume) odometry.reset();
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

// Reconnecting to a robot already placed in the caller's frame. A server that kept the
// robot's odometry (a simulator that parks a robot for its client, a controller that
// was not restarted) reports where the robot is, and the kept frame goes on as before.
// A server that reset the odometry for the new session reports the robot at the
// odometric origin; the robot has not moved meanwhile (its motors stop when the link
// goes quiet), so the frame is re-anchored to put it at its last pose.
void ArRobot::Impl::resumeFrame(const Sample& first) {
  const arproto::Sip& sip = first.sip;
  const bool atOrigin = std::fabs(arproto::positionFromRaw(sip.xRaw, params.distConv)) <= kOriginToleranceMm &&
                        std::fabs(arproto::positionFromRaw(sip.yRaw, params.distConv)) <= kOriginToleranceMm &&
                        std::fabs(arproto::headingFromRaw(sip.thRaw)) <= kOriginToleranceDeg;
  if (!first.positionValid || !atOrigin) return;
  const ArPose reported(first.x, first.y, arproto::headingFromRaw(sip.thRaw));
  const ArPose kept = transform.apply(reported);
  const bool frameHolds = kept.findDistanceTo(pose) <= kOriginToleranceMm &&
                          std::fabs(ArMath::subAngle(kept.getTh(), pose.getTh())) <= kOriginToleranceDeg;
  if (frameHolds) return;  // the robot stood at the origin of a kept odometry
  transform = ArTransform::between(reported, pose);
  std::fprintf(stderr, "The robot server reset the odometry; poses go on from the last one (%.0f, %.0f, %.0f)\n",
               pose.getX(), pose.getY(), pose.getTh());
}

// OPEN, PULSE, the first SIP. On the first session SETO follows, with the SIPs that
// re-baseline the odometry; a later session keeps the frame (resumeFrame).
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
  bool resume = false;
  {
    ArLockGuard hold(robotMutex);
    resume = frameKnown;
  }
  resetSessionState(resume);
  if (!sendCommand(arproto::OPEN) || !sendCommand(arproto::PULSE)) return false;
  lastPulseMs = ArTime::nowMSec();
  std::vector<Sample> samples;
  if (!awaitSips(conn, 1, samples)) return false;
  if (!resume) {
    if (!sendCommand(arproto::SETO)) return false;
    odometry.requestRebaseline();
    // The first SIP after SETO may predate it; the second one carries the reset position.
    if (!awaitSips(conn, 2, samples)) return false;
  }
  ArLockGuard hold(robotMutex);
  if (resume) resumeFrame(samples.front());
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
  if (processEnding()) return false;  // stopped by a signal: the robot stays stopped
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
  if (processEnding()) {  // a stop signal came during the handshake: the robot stays still
    endQuietly();
    return false;
  }
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

// STOP, CLOSE and the link closed, without callbacks: for ends that nobody is told of.
void ArRobot::Impl::endQuietly() {
  if (!connected.exchange(false)) return;
  sendCommand(arproto::STOP);
  sendCommand(arproto::CLOSE);
  if (ArDeviceConnection* conn = connection.load()) conn->close();
}

// From the signal thread: never waits for the robot lock, writes straight to the link.
void ArRobot::Impl::emergencyStop() {
  if (!connected.load()) return;
  sendCommand(arproto::STOP);
  sendCommand(arproto::CLOSE);
}
