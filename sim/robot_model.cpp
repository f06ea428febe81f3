#include "sim/robot_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "aria/ar_math.h"

namespace sim {
namespace {

constexpr double kDegPerRad = 180.0 / std::numbers::pi;
constexpr double kHeadingToleranceDeg = 1.0;

double clampMagnitude(double value, double limit) { return std::clamp(value, -limit, limit); }

double sign(double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0); }

}  // namespace

double normalizeDeg(double deg) { return ArMath::fixAngle(deg); }

double rampToward(double value, double goal, double up, double down) {
  if (value == goal) return goal;
  const bool speedingUp = (value >= 0 && goal > value) || (value <= 0 && goal < value);
  const double limit = speedingUp ? up : down;
  double next = value + clampMagnitude(goal - value, limit);
  if (!speedingUp && ((value > 0 && next < 0) || (value < 0 && next > 0))) next = 0;
  return next;
}

void RobotModel::reset() { *this = RobotModel(); }

void RobotModel::endSession() {
  const double x = myX, y = myY, th = myTh;
  reset();
  myX = x;
  myY = y;
  myTh = th;
}

void RobotModel::enableMotors(bool on) {
  myMotorsOn = on;
  myVel = myRotVel = 0;
  myVelTarget = myRotVelTarget = 0;
  myHeadingMode = false;
  myWheelMode = false;
}

void RobotModel::leaveWheelMode() {
  if (!myWheelMode) return;
  myWheelMode = false;
  myVelTarget = 0;
  myRotVelTarget = 0;
}

void RobotModel::setVel(int mmPerSec) {
  if (!myMotorsOn) return;
  leaveWheelMode();
  myVelTarget = clampMagnitude(mmPerSec, myLimits.transVelMax);
}

void RobotModel::setRotVel(int degPerSec) {
  if (!myMotorsOn) return;
  leaveWheelMode();
  myHeadingMode = false;
  myRotVelTarget = clampMagnitude(degPerSec, myLimits.rotVelMax);
}

void RobotModel::setHeading(int deg) {
  if (!myMotorsOn) return;
  leaveWheelMode();
  myHeadingMode = true;
  myHeadingTarget = normalizeDeg(deg);
}

void RobotModel::turnBy(int deg) {
  if (!myMotorsOn) return;
  leaveWheelMode();
  myHeadingMode = true;
  myHeadingTarget = normalizeDeg(myTh + deg);
}

void RobotModel::turnSetpointBy(int deg) {
  if (!myMotorsOn) return;
  leaveWheelMode();
  const double base = myHeadingMode ? myHeadingTarget : myTh;
  myHeadingMode = true;
  myHeadingTarget = normalizeDeg(base + deg);
}

void RobotModel::setWheels(int8_t rightUnits, int8_t leftUnits) {
  if (!myMotorsOn) return;
  const double right = rightUnits * kVel2Unit, left = leftUnits * kVel2Unit;
  myWheelMode = true;
  myHeadingMode = false;
  myVelTarget = clampMagnitude((right + left) / 2, myLimits.transVelMax);
  myRotVelTarget = clampMagnitude((right - left) * kDiffConvFactor / 2 * kDegPerRad, myLimits.rotVelMax);
}

void RobotModel::stop() {
  myWheelMode = false;
  myHeadingMode = false;
  myVelTarget = 0;
  myRotVelTarget = 0;
}

void RobotModel::emergencyStop() {
  stop();
  myVel = 0;
  myRotVel = 0;
}

void RobotModel::setMaxVel(int mmPerSec) { myLimits.transVelMax = std::clamp(mmPerSec, 0, 2200); }

void RobotModel::setMaxRotVel(int degPerSec) { myLimits.rotVelMax = std::clamp(degPerSec, 0, 500); }

void RobotModel::setTransAccel(int signedValue) {
  if (signedValue == 0) return;
  const double magnitude = std::clamp(std::abs(signedValue), 1, 5000);
  (signedValue > 0 ? myLimits.transAccel : myLimits.transDecel) = magnitude;
}

void RobotModel::setRotAccel(int signedValue) {
  if (signedValue == 0) return;
  const double magnitude = std::clamp(std::abs(signedValue), 1, 1000);
  (signedValue > 0 ? myLimits.rotAccel : myLimits.rotDecel) = magnitude;
}

void RobotModel::resetOdometry() {
  myX = myY = myTh = 0;
  if (myHeadingMode) myHeadingTarget = 0;
}

// The rotational velocity the heading servo wants now: as fast as allowed while the
// remaining error can still be braked away, never more than closes the error in one step.
double RobotModel::rotGoal(double dt) const {
  if (!myHeadingMode) return clampMagnitude(myRotVelTarget, myLimits.rotVelMax);
  const double error = normalizeDeg(myHeadingTarget - myTh);
  const double speed = std::min({myLimits.rotVelMax, std::sqrt(2 * myLimits.rotDecel * std::fabs(error)),
                                 std::fabs(error) / dt});
  return sign(error) * speed;
}

void RobotModel::settleHeading(double dt) {
  const double error = normalizeDeg(myHeadingTarget - myTh);
  if (std::fabs(error) <= kHeadingToleranceDeg && std::fabs(myRotVel) <= myLimits.rotDecel * dt) myRotVel = 0;
}

Motion RobotModel::advance(double dt, bool halted) {
  if (!myMotorsOn) {
    myVel = myRotVel = 0;
    return {};
  }
  const double velGoal = halted ? 0 : clampMagnitude(myVelTarget, myLimits.transVelMax);
  const double rotGoalDeg = halted ? 0 : rotGoal(dt);
  myVel = rampToward(myVel, velGoal, myLimits.transAccel * dt, myLimits.transDecel * dt);
  myRotVel = rampToward(myRotVel, rotGoalDeg, myLimits.rotAccel * dt, myLimits.rotDecel * dt);
  if (myHeadingMode && !halted) settleHeading(dt);
  return {myVel * dt, myRotVel * dt};
}

void RobotModel::applyMotion(const Motion& step, double fraction) {
  const double rad = myTh / kDegPerRad;
  myX += fraction * step.distMm * std::cos(rad);
  myY += fraction * step.distMm * std::sin(rad);
  myTh = normalizeDeg(myTh + step.turnDeg);
}

int RobotModel::leftWheelVel() const {
  return static_cast<int>(std::lround(myVel - myRotVel / kDegPerRad / kDiffConvFactor));
}

int RobotModel::rightWheelVel() const {
  return static_cast<int>(std::lround(myVel + myRotVel / kDegPerRad / kDiffConvFactor));
}

int RobotModel::rotVelTenths() const { return static_cast<int>(std::lround(myRotVel * 10)); }

}  // namespace sim
