// The robot's processing cycle: reads SIPs off the link without the robot lock, then
// takes the lock (never waiting for it indefinitely) to update the state, feed the
// sonar, run the actions and send motion commands. It also keeps the link alive with
// PULSE and notices when the link is lost.
#include <cmath>
#include <cstdio>

#include "aria/ar_robot_impl.h"
#include "aria/ar_util.h"

using namespace arrobot;

void ArRobot::Impl::takePacket(const arproto::Packet& p, int64_t nowMs, std::vector<Sample>& out) {
  lastPacketMs = nowMs;
  Sample s;
  if (!arproto::decodeSip(p.payload(), p.payloadSize(), s.sip)) return;
  s.arrivalMs = nowMs;
  s.positionValid = odometry.update(s.sip.xRaw, s.sip.yRaw);
  s.x = odometry.x();
  s.y = odometry.y();
  out.push_back(s);
}

// One read from the link; every complete packet in it is taken. False when the link
// reports end of stream or an error.
bool ArRobot::Impl::readSamples(ArDeviceConnection* conn, int waitMs, std::vector<Sample>& out) {
  char buf[2048];
  int n = conn->read(buf, sizeof buf, static_cast<unsigned>(waitMs));
  if (n < 0) return false;
  framer.feed(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
  int64_t now = ArTime::nowMSec();
  arproto::Packet p;
  while (framer.next(p)) takePacket(p, now, out);
  return true;
}

void ArRobot::Impl::pulseIfDue() {
  int64_t now = ArTime::nowMSec();
  if (now - lastPulseMs.load() < kPulseMs) return;
  lastPulseMs = now;
  sendCommand(arproto::PULSE);
}

// Takes the robot lock in short tries so a stop request is seen even when another
// thread holds the lock for long stretches; the link is kept alive meanwhile.
bool ArRobot::Impl::lockForCycle() {
  while (!stopRequested.load()) {
    if (robotMutex.tryLockFor(kLockSliceMs) == 0) return true;
    pulseIfDue();
  }
  return false;
}

void ArRobot::Impl::feedSonar(const Sample& s) {
  ArTransform robotToWorld(pose.getX(), pose.getY(), pose.getTh());
  ArTime when = ArTime::fromMSec(s.arrivalMs);
  for (int k = 0; k < s.sip.sonarCount; ++k) {
    const arproto::SonarReading& r = s.sip.sonar[k];
    if (r.disc >= arproto::kMaxSonarDiscs) continue;
    int range = static_cast<int>(std::lround(r.range * params.rangeConv));
    sonar[r.disc] = SonarState{range, s.arrivalMs};
    if (r.disc >= arproto::kGeometryDiscs) continue;
    ArPoseWithTime point(robotToWorld.apply(arproto::sonarPointInRobotFrame(r.disc, range)), when);
    for (ArRangeDevice* dev : rangeDevices) {
      if (dynamic_cast<ArSonarDevice*>(dev)) dev->addReading(point, r.disc, range);
    }
  }
}

void ArRobot::Impl::applySample(const Sample& s) {
  const arproto::Sip& sip = s.sip;
  bool motorsWereOn = haveFlags && (flags & 1);
  stall = sip.stall;
  flags = sip.flags;
  haveFlags = true;
  vel = (sip.leftVel + sip.rightVel) / 2.0 * params.velConv;
  rotVel = sip.hasRotVel ? sip.rotVel / 10.0
                         : ArMath::radToDeg((sip.rightVel - sip.leftVel) * params.velConv * params.diffConv / 2.0);
  // Motion commands sent while the motors were off were dropped by the server.
  if (!motorsWereOn && (flags & 1)) sent = SentMotion();
  if (!s.positionValid) return;
  rawPose = ArPose(s.x, s.y, arproto::headingFromRaw(sip.thRaw));
  pose = transform.apply(rawPose);
  frameKnown = true;
  history.push_back(ArPoseWithTime(pose, ArTime::fromMSec(s.arrivalMs)));
  while (history.size() > kHistoryMax || s.arrivalMs - history.front().getTime().getMSec() > kHistoryMs) {
    history.pop_front();
  }
  feedSonar(s);
}

void ArRobot::Impl::checkConfirmation(Confirmation& c, uint8_t command, int bit, const char* what) {
  if (!c.pending) return;
  if (haveFlags && ((flags & bit) != 0) == c.want) {
    c.pending = false;
    return;
  }
  int64_t now = ArTime::nowMSec();
  if (now < c.deadlineMs) return;
  if (c.sends >= kConfirmSends) {
    c.pending = false;
    std::fprintf(stderr, "The robot did not confirm %s %s\n", what, c.want ? "on" : "off");
    return;
  }
  sendCommandInt(command, c.want ? 1 : 0);
  ++c.sends;
  c.deadlineMs = now + kConfirmWaitMs;
}

// One cycle with the robot locked, after new SIPs arrived.
void ArRobot::Impl::tick() {
  TransCmd trans;
  RotCmd rot;
  wantedMotion(trans, rot);
  int64_t now = ArTime::nowMSec();
  sendTrans(trans, now);
  sendRot(rot, now);
  checkConfirmation(motorsConfirm, arproto::ENABLE, 1, "motors");
  checkConfirmation(sonarConfirm, arproto::SONAR, 2, "sonar");
}

void ArRobot::Impl::cycleLoop() {
  cycleThreadId = std::this_thread::get_id();
  std::vector<Sample> samples;
  while (!stopRequested.load()) {
    ArDeviceConnection* conn = connection.load();
    if (!connected.load() || !conn) {
      if (stopRunIfNotConnected.load()) break;
      ArUtil::sleep(kReadSliceMs);
      continue;
    }
    samples.clear();
    bool linkUp = readSamples(conn, kReadSliceMs, samples);
    if (!linkUp || ArTime::nowMSec() - lastPacketMs.load() > kLinkLossMs) {
      endSession(EndKind::Error);
      continue;
    }
    pulseIfDue();
    if (samples.empty()) continue;
    if (!lockForCycle()) break;
    for (const Sample& s : samples) applySample(s);
    tick();
    robotMutex.unlock();
  }
  cycleThreadId = std::thread::id();
  running = false;
}

// Stops the cycle thread; waits for it unless called on that thread (from a callback).
void ArRobot::Impl::stopCycle(bool join) {
  stopRequested = true;
  if (!join || cycleThreadId.load() == std::this_thread::get_id()) return;
  std::thread finished;
  {
    std::lock_guard<std::mutex> t(threadMutex);
    finished = std::move(cycleThread);
  }
  if (finished.joinable()) finished.join();
}
