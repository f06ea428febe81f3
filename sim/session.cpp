#include "sim/session.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

using namespace arproto;

constexpr uint8_t kSipStopped = 0x32;
constexpr uint8_t kSipMoving = 0x33;
constexpr uint16_t kFlagMotors = 0x0001;
// SIP bytes besides the sonar pairs: 20 before them, 12 after them through FAULTFLAGS.
constexpr size_t kSipFixedBytes = 32;

// The SYNC2 reply: the command byte, then name, class and subclass, each NUL-terminated.
constexpr uint8_t kIdentity[] = {SYNC2, 's', 'i', 'm', 'b', 'o', 't', 0, 'P', 'i', 'o', 'n', 'e',
                                 'e', 'r', 0, 'p', '3', 'd', 'x', '-', 's', 'h', 0};

int16_t clampToInt16(int v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

// Commands that take a 16-bit integer argument; VEL2 reads its two bytes itself.
bool takesIntArg(uint8_t command) {
  switch (command) {
    case ENABLE: case SETA: case SETV: case ROTATE: case SETRV: case VEL: case HEAD:
    case DHEAD: case RVEL: case DCHEAD: case SETRA: case SONAR:
      return true;
    default:
      return false;
  }
}

// Commands that set the robot going (MOVE is accepted and ignored, but asks for motion).
bool movesTheRobot(uint8_t command) {
  switch (command) {
    case MOVE: case ROTATE: case VEL: case HEAD: case DHEAD: case RVEL: case DCHEAD:
      return true;
    default:
      return false;
  }
}

}  // namespace

uint16_t toSipPosition(double mm) {
  const long long v = std::llround(mm) % 32768;
  return static_cast<uint16_t>(v < 0 ? v + 32768 : v);
}

int16_t toSipAngle(double deg) {
  long long v = std::llround(deg * 4096.0 / 360.0) % 4096;
  if (v >= 2048) v -= 4096;
  if (v < -2048) v += 4096;
  return static_cast<int16_t>(v);
}

void encodeSip(const SipFields& f, Packet& out) {
  const size_t n = std::min(f.readings.size(), kMaxReadingsPerSip);
  uint8_t p[kSipFixedBytes + 3 * kMaxReadingsPerSip] = {};
  p[0] = f.moving ? kSipMoving : kSipStopped;
  writeU16(p + 1, f.xpos);
  writeU16(p + 3, f.ypos);
  writeU16(p + 5, static_cast<uint16_t>(f.thpos));
  writeU16(p + 7, static_cast<uint16_t>(f.leftVel));
  writeU16(p + 9, static_cast<uint16_t>(f.rightVel));
  p[11] = f.battery;
  writeU16(p + 12, f.stallAndBumpers);
  writeU16(p + 14, static_cast<uint16_t>(f.control));
  writeU16(p + 16, f.flags);
  p[19] = static_cast<uint8_t>(n);
  for (size_t k = 0; k < n; ++k) {
    p[20 + 3 * k] = f.readings[k].disc;
    writeU16(p + 21 + 3 * k, f.readings[k].rangeMm);
  }
  // GRIP_STATE, ANPORT, ANALOG, DIGIN, DIGOUT stay 0.
  const size_t tail = 20 + 3 * n;
  writeU16(p + tail + 5, f.battery);  // BATTERYX10
  writeU16(p + tail + 8, static_cast<uint16_t>(f.rotVel));
  // CHARGESTATE and FAULTFLAGS stay 0.
  makePacket(p, kSipFixedBytes + 3 * n, out);
}

void takeSipFields(Robot& robot, SipFields& f) {
  const RobotModel& m = robot.model;
  f.leftVel = clampToInt16(m.leftWheelVel());
  f.rightVel = clampToInt16(m.rightWheelVel());
  f.moving = f.leftVel != 0 || f.rightVel != 0;
  f.xpos = toSipPosition(m.x());
  f.ypos = toSipPosition(m.y());
  f.thpos = toSipAngle(m.thDeg());
  f.stallAndBumpers = robot.stallAndBumpers();
  f.control = toSipAngle(m.controlDeg());
  f.flags = static_cast<uint16_t>((m.motorsEnabled() ? kFlagMotors : 0) | (robot.sonarOn[0] ? 0x2 : 0) |
                                  (robot.sonarOn[1] ? 0x4 : 0));
  // Copied, not swapped, so both vectors keep their capacity from one SIP to the next.
  f.readings.assign(robot.readings.begin(), robot.readings.end());
  robot.readings.clear();
  f.rotVel = clampToInt16(m.rotVelTenths());
}

void Session::receive(const uint8_t* data, size_t n) {
  Packet packet;
  while (n > 0) {
    const size_t taken = myFramer.feed(data, n);
    data += taken;
    n -= taken;
    while (myFramer.next(packet)) handlePacket(packet);
  }
}

void Session::handlePacket(const Packet& packet) {
  if (packet.payloadSize() == 0) return;
  if (myState != State::Open) {
    handleWaitState(packet.type());
    return;
  }
  if (myOffered && packet.type() != PULSE) settleOffer(packet.type());
  // Any valid packet feeds the watchdog and revives a robot it halted.
  myRobot->lastPacketTick = mySim.ticks();
  handleOpenCommand(packet);
}

void Session::handleWaitState(uint8_t command) {
  if (command == SYNC0) {
    queue(makeCommand(SYNC0));
    myState = State::GotSync0;
  } else if (command == SYNC1 && myState == State::GotSync0) {
    queue(makeCommand(SYNC1));
    myState = State::GotSync1;
  } else if (command == SYNC2 && myState == State::GotSync1) {
    Packet reply;
    makePacket(kIdentity, sizeof kIdentity, reply);
    queue(reply);
    myState = State::GotSync2;
  } else if (command == OPEN && myState == State::GotSync2) {
    openSession();
  }
}

void Session::openSession() {
  if (mySource != nullptr) myRobot = &mySource->robotAtOpen(myOffered);
  mySawMotion = false;
  startRobot();
  myState = State::Open;
}

// A robot handed back to a client keeps its odometry, so the client's pose goes on where
// the previous session left it. An offered robot's sonar stays silent until the offer is
// settled: its echoes are of no use to a client that may get another robot.
void Session::startRobot() {
  if (myRobot->keepOdometry) {
    myRobot->model.endSession();
  } else {
    myRobot->model.reset();
    myRobot->markOdometryOrigin();
  }
  myRobot->keepOdometry = false;
  myRobot->open = true;
  myRobot->sonarOn[0] = myRobot->sonarOn[1] = !myOffered;
  myRobot->nextDisc[0] = myRobot->nextDisc[1] = 0;
  myRobot->readings.clear();
  myRobot->lastPacketTick = mySim.ticks();
}

void Session::settleOffer(uint8_t command) {
  myOffered = false;
  Robot& settled = mySource->settleOffer(*myRobot, command == SETO);
  if (&settled == myRobot) {
    myRobot->sonarOn[0] = myRobot->sonarOn[1] = true;
    return;
  }
  myRobot = &settled;
  startRobot();
}

void Session::closeSession() {
  myState = State::Wait;
  if (myRobot == nullptr) return;
  myRobot->model.endSession();
  myRobot->open = false;
  myRobot->sonarOn[0] = myRobot->sonarOn[1] = false;
  myRobot->readings.clear();
  if (!myOffered) return;
  myOffered = false;
  mySource->withdrawOffer(*myRobot);
  myRobot = nullptr;
}

void Session::handleOpenCommand(const Packet& packet) {
  const uint8_t command = packet.type();
  const uint8_t* payload = packet.payload();
  const size_t len = packet.payloadSize();
  switch (command) {
    case CLOSE: closeSession(); return;
    case SETO:
      myRobot->model.resetOdometry();
      myRobot->markOdometryOrigin();
      return;
    case STOP: myRobot->model.stop(); return;
    case E_STOP: myRobot->model.emergencyStop(); return;
    case VEL2:
      mySawMotion = true;
      // The argument-type byte is ignored; right wheel in the low byte, left in the high.
      if (len >= 4) myRobot->model.setWheels(static_cast<int8_t>(payload[2]), static_cast<int8_t>(payload[3]));
      return;
    default: break;
  }
  if (!takesIntArg(command) || len < 4) return;
  if (payload[1] != kArgPositive && payload[1] != kArgNegative) return;
  int value = 0;
  readIntArg(payload, len, value);
  handleIntCommand(command, value);
}

void Session::handleIntCommand(uint8_t command, int value) {
  RobotModel& m = myRobot->model;
  mySawMotion = mySawMotion || movesTheRobot(command);
  switch (command) {
    case ENABLE:
      if (value == 0 || value == 1) m.enableMotors(value == 1);
      return;
    case SONAR: handleSonar(value); return;
    case VEL: m.setVel(value); return;
    case RVEL: case ROTATE: m.setRotVel(value); return;
    case HEAD: m.setHeading(value); return;
    case DHEAD: m.turnBy(value); return;
    case DCHEAD: m.turnSetpointBy(value); return;
    case SETV: m.setMaxVel(value); return;
    case SETRV: m.setMaxRotVel(value); return;
    case SETA: m.setTransAccel(value); return;
    case SETRA: m.setRotAccel(value); return;
    default: return;
  }
}

// 0/1 switch both arrays; otherwise bit 0 is on/off and bits 1-3 name array 1 or 2.
void Session::handleSonar(int value) {
  if (value == 0 || value == 1) {
    myRobot->sonarOn[0] = myRobot->sonarOn[1] = value == 1;
    return;
  }
  if (value < 0 || value > 0xF) return;
  const int array = (value >> 1) & 0x7;
  if (array < 1 || array > kSonarArrays) return;
  myRobot->sonarOn[array - 1] = (value & 1) != 0;
}

// Bytes still pending mean the socket could not take the last output: this SIP is dropped
// rather than queued behind it, so a slow reader gets fresh SIPs once it catches up.
bool Session::sendSip() {
  if (!isOpen()) return false;
  if (!myOutput.empty()) {
    myRobot->readings.clear();
    ++myDropped;
    return false;
  }
  Packet packet;
  takeSipFields(*myRobot, mySip);
  encodeSip(mySip, packet);
  return queue(packet);
}

bool Session::queue(const Packet& packet) {
  if (myOutput.size() + packet.size > kMaxOutput) {
    ++myDropped;
    return false;
  }
  myOutput.insert(myOutput.end(), packet.bytes, packet.bytes + packet.size);
  return true;
}

void Session::consumeOutput(size_t n) {
  myOutput.erase(myOutput.begin(), myOutput.begin() + static_cast<std::ptrdiff_t>(std::min(n, myOutput.size())));
}

}  // namespace sim
