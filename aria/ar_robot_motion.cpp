// Motion of ArRobot: direct commands, action resolution, and writing the resulting
// VEL / HEAD / RVEL commands only when they change or need a refresh.
#include <algorithm>
#include <cmath>

#include "aria/ar_robot_impl.h"

using namespace arrobot;

namespace {

int clampToInt16(double v) { return static_cast<int>(std::lround(std::clamp(v, -32767.0, 32767.0))); }

}  // namespace

// Highest priority first; per channel the first action that proposes something wins.
void ArRobot::Impl::resolveActions(TransCmd& trans, RotCmd& rot) {
  ArActionDesired resolved;
  for (const ActionEntry& e : actions) {
    if (!e.action->isActive()) continue;
    ArActionDesired* d = e.action->fire(resolved);
    if (!d) continue;
    if (resolved.getVelStrength() <= 0 && d->getVelStrength() > 0) resolved.setVel(d->getVel(), d->getVelStrength());
    if (resolved.getRotStrength() > 0 || d->getRotStrength() <= 0) continue;
    switch (d->getRotKind()) {
      case ArActionDesired::Rot::Heading: resolved.setHeading(d->getRotValue(), d->getRotStrength()); break;
      case ArActionDesired::Rot::DeltaHeading: resolved.setDeltaHeading(d->getRotValue(), d->getRotStrength()); break;
      case ArActionDesired::Rot::RotVel: resolved.setRotVel(d->getRotValue(), d->getRotStrength()); break;
      case ArActionDesired::Rot::None: break;
    }
  }
  // A channel no action speaks for is held still while actions drive the robot.
  trans = TransCmd{true, resolved.getVelStrength() > 0 ? resolved.getVel() : 0.0};
  switch (resolved.getRotStrength() > 0 ? resolved.getRotKind() : ArActionDesired::Rot::None) {
    case ArActionDesired::Rot::Heading: rot = RotCmd{RotKind::Heading, resolved.getRotValue()}; break;
    case ArActionDesired::Rot::DeltaHeading: rot = RotCmd{RotKind::Heading, pose.getTh() + resolved.getRotValue()}; break;
    case ArActionDesired::Rot::RotVel: rot = RotCmd{RotKind::RotVel, resolved.getRotValue()}; break;
    case ArActionDesired::Rot::None: rot = RotCmd{RotKind::RotVel, 0}; break;
  }
}

// Direct commands override the actions channel by channel.
void ArRobot::Impl::wantedMotion(TransCmd& trans, RotCmd& rot) {
  trans = directTrans;
  rot = directRot;
  bool anyActive = std::any_of(actions.begin(), actions.end(), [](const ActionEntry& e) { return e.action->isActive(); });
  if (!anyActive) return;
  TransCmd fromActions;
  RotCmd rotFromActions;
  resolveActions(fromActions, rotFromActions);
  if (!trans.set) trans = fromActions;
  if (rot.kind == RotKind::None) rot = rotFromActions;
}

int ArRobot::Impl::headingToServer(double heading) const {
  int deg = static_cast<int>(std::lround(ArMath::fixAngle(heading - transform.rotation())));
  return (deg % 360 + 360) % 360;
}

void ArRobot::Impl::sendTrans(const TransCmd& t, int64_t nowMs) {
  if (!t.set || !connected.load()) return;
  int v = clampToInt16(t.vel);
  if (sent.velKnown && sent.vel == v && nowMs - sent.velMs < kRefreshMs) return;
  if (!sendCommandInt(arproto::VEL, v)) return;
  sent.velKnown = true;
  sent.vel = v;
  sent.velMs = nowMs;
}

void ArRobot::Impl::sendRot(const RotCmd& r, int64_t nowMs) {
  if (r.kind == RotKind::None || !connected.load()) return;
  bool heading = r.kind == RotKind::Heading;
  int value = heading ? headingToServer(r.value) : clampToInt16(r.value);
  if (sent.rotKind == r.kind && sent.rotValue == value && nowMs - sent.rotMs < kRefreshMs) return;
  if (!sendCommandInt(heading ? arproto::HEAD : arproto::RVEL, value)) return;
  sent.rotKind = r.kind;
  sent.rotValue = value;
  sent.rotMs = nowMs;
}

void ArRobot::Impl::requestFlag(Confirmation& c, uint8_t command, bool on) {
  if (!connected.load()) return;
  sendCommandInt(command, on ? 1 : 0);
  c = Confirmation{true, on, 1, ArTime::nowMSec() + kConfirmWaitMs};
}

void ArRobot::stop() {
  ArLockGuard hold(d->robotMutex);
  d->directTrans = TransCmd{true, 0};
  d->directRot = RotCmd{RotKind::RotVel, 0};
  if (!d->connected.load() || !d->sendCommand(arproto::STOP)) return;
  int64_t now = ArTime::nowMSec();
  d->sent = SentMotion{true, 0, now, RotKind::RotVel, 0, now};
}

void ArRobot::setVel(double mmPerSec) {
  ArLockGuard hold(d->robotMutex);
  d->directTrans = TransCmd{true, mmPerSec};
  d->sendTrans(d->directTrans, ArTime::nowMSec());
}

void ArRobot::setHeading(double degrees) {
  ArLockGuard hold(d->robotMutex);
  d->directRot = RotCmd{RotKind::Heading, ArMath::fixAngle(degrees)};
  d->sendRot(d->directRot, ArTime::nowMSec());
}

// Turned into an absolute heading at the time of the call, so that resending it to
// refresh the command cannot turn the robot further.
void ArRobot::setDeltaHeading(double degrees) { setHeading(getTh() + degrees); }

void ArRobot::setRotVel(double degPerSec) {
  ArLockGuard hold(d->robotMutex);
  d->directRot = RotCmd{RotKind::RotVel, degPerSec};
  d->sendRot(d->directRot, ArTime::nowMSec());
}

void ArRobot::clearDirectMotion() {
  ArLockGuard hold(d->robotMutex);
  d->directTrans = TransCmd();
  d->directRot = RotCmd();
}

bool ArRobot::isDirectMotion() const {
  ArLockGuard hold(d->robotMutex);
  return d->directTrans.set || d->directRot.kind != RotKind::None;
}

bool ArRobot::addAction(ArAction* action, int priority) {
  if (!action) return false;
  ArLockGuard hold(d->robotMutex);
  remAction(action);
  action->setRobot(this);
  // After the entries of the same priority, so equal priorities keep their order of addition.
  auto at = std::find_if(d->actions.begin(), d->actions.end(), [&](const ActionEntry& e) { return e.priority < priority; });
  d->actions.insert(at, ActionEntry{action, priority});
  return true;
}

bool ArRobot::remAction(ArAction* action) {
  ArLockGuard hold(d->robotMutex);
  return std::erase_if(d->actions, [&](const ActionEntry& e) { return e.action == action; }) > 0;
}

void ArRobot::enableMotors() {
  ArLockGuard hold(d->robotMutex);
  d->requestFlag(d->motorsConfirm, arproto::ENABLE, true);
}

void ArRobot::disableMotors() {
  ArLockGuard hold(d->robotMutex);
  d->requestFlag(d->motorsConfirm, arproto::ENABLE, false);
}

void ArRobot::enableSonar() {
  ArLockGuard hold(d->robotMutex);
  d->requestFlag(d->sonarConfirm, arproto::SONAR, true);
}

void ArRobot::disableSonar() {
  ArLockGuard hold(d->robotMutex);
  d->requestFlag(d->sonarConfirm, arproto::SONAR, false);
}
