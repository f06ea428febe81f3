#include "aria/ar_actions.h"

#include <cmath>

#include "aria/ar_robot.h"

namespace {

constexpr double kFrontHalfAngle = 45;
constexpr double kSideArcStart = 20;  // the sides, leaving out what is straight ahead
constexpr double kSideArcEnd = 100;
constexpr double kTurningDegPerSec = 5;   // a robot turning faster than this keeps its direction
constexpr int kStallBits = 0x0101;
constexpr int kFrontBumpers = 0xFE00;
constexpr int kRearBumpers = 0x00FE;
constexpr double kBackOffDistance = 150;  // mm the bumper action backs away at least
constexpr double kBumperTurn = 60;
constexpr double kHeadingTolerance = 5;

// +1 to turn left (counter-clockwise), -1 to turn right: the way the robot already
// turns, otherwise the side whose closest obstacle is farther away.
int chooseTurnSign(const ArRobot* robot) {
  double rotVel = robot->getRotVel();
  if (std::fabs(rotVel) > kTurningDegPerSec) return rotVel > 0 ? 1 : -1;
  double left = robot->checkRangeDevicesCurrentPolar(kSideArcStart, kSideArcEnd);
  double right = robot->checkRangeDevicesCurrentPolar(-kSideArcEnd, -kSideArcStart);
  return left >= right ? 1 : -1;
}

double frontClearance(const ArRobot* robot) {
  return robot->checkRangeDevicesCurrentPolar(-kFrontHalfAngle, kFrontHalfAngle) - robot->getRobotRadius();
}

double rearClearance(const ArRobot* robot) {
  return robot->checkRangeDevicesCurrentPolar(180 - kFrontHalfAngle, -180 + kFrontHalfAngle) - robot->getRobotRadius();
}

bool headingReached(const ArRobot* robot, double target) {
  return std::fabs(ArMath::subAngle(target, robot->getTh())) <= kHeadingTolerance;
}

ArActionDesired* turnInPlace(ArActionDesired& desired, double target) {
  desired.setVel(0);
  desired.setHeading(target);
  return &desired;
}

ArActionDesired* driveStraight(ArActionDesired& desired, double vel) {
  desired.setVel(vel);
  desired.setRotVel(0);
  return &desired;
}

}  // namespace

ArActionStallRecover::ArActionStallRecover(const char* name, double obstacleDistance, int cyclesToMove, double speed,
                                           double degreesToTurn, bool enabled)
    : ArAction(name),
      myObstacleDistance(obstacleDistance),
      mySpeed(speed),
      myDegreesToTurn(degreesToTurn),
      myCyclesToMove(cyclesToMove) {
  if (!enabled) deactivate();
}

void ArActionStallRecover::start() {
  bool rearBlocked = rearClearance(myRobot) < myObstacleDistance;
  bool frontBlocked = frontClearance(myRobot) < myObstacleDistance;
  // Away from the push: backward after driving forward, unless only the rear is blocked.
  myDirection = rearBlocked && !frontBlocked ? 1 : -1;
  if (!rearBlocked && !frontBlocked && myRobot->getVel() < 0) myDirection = 1;
  myStart = myRobot->getPose();
  myCount = 0;
  myPhase = Phase::Move;
}

ArActionDesired* ArActionStallRecover::move() {
  bool moved = myRobot->getPose().findDistanceTo(myStart) >= myObstacleDistance;
  if (moved || ++myCount > myCyclesToMove) {
    myTargetHeading = myRobot->getTh() + chooseTurnSign(myRobot) * myDegreesToTurn;
    myCount = 0;
    myPhase = Phase::Turn;
    return turn();
  }
  return driveStraight(myDesired, myDirection * mySpeed);
}

ArActionDesired* ArActionStallRecover::turn() {
  if (headingReached(myRobot, myTargetHeading) || ++myCount > myCyclesToMove) {
    myPhase = Phase::Idle;
    return nullptr;
  }
  return turnInPlace(myDesired, myTargetHeading);
}

ArActionDesired* ArActionStallRecover::fire(ArActionDesired) {
  myDesired.reset();
  if (!myRobot) return nullptr;
  if (myPhase == Phase::Idle) {
    if (!(myRobot->getStallValue() & kStallBits)) return nullptr;
    start();
  }
  return myPhase == Phase::Move ? move() : turn();
}

ArActionBumpers::ArActionBumpers(const char* name, double backOffSpeed, int backOffTime, int turnTime,
                                 bool setMaximums)
    : ArAction(name),
      myBackOffSpeed(backOffSpeed),
      myBackOffTime(backOffTime),
      myTurnTime(turnTime),
      mySetMaximums(setMaximums) {}

ArActionDesired* ArActionBumpers::backOff(int bumpers) {
  long long elapsed = ArTime::nowMSec() - myPhaseStartMs;
  bool clear = !(bumpers & (myFrontHit ? kFrontBumpers : kRearBumpers));
  bool away = myRobot->getPose().findDistanceTo(myStart) >= kBackOffDistance;
  if ((clear && away) || elapsed >= myBackOffTime) {
    myTargetHeading = myRobot->getTh() + chooseTurnSign(myRobot) * kBumperTurn;
    myPhaseStartMs = ArTime::nowMSec();
    myPhase = Phase::Turn;
    return turn();
  }
  return driveStraight(myDesired, myFrontHit ? -myBackOffSpeed : myBackOffSpeed);
}

ArActionDesired* ArActionBumpers::turn() {
  if (headingReached(myRobot, myTargetHeading) || ArTime::nowMSec() - myPhaseStartMs >= myTurnTime) {
    myPhase = Phase::Idle;
    return nullptr;
  }
  return turnInPlace(myDesired, myTargetHeading);
}

ArActionDesired* ArActionBumpers::fire(ArActionDesired) {
  myDesired.reset();
  if (!myRobot) return nullptr;
  int bumpers = myRobot->getStallValue() & (kFrontBumpers | kRearBumpers);
  if (myPhase == Phase::Idle) {
    if (!bumpers) return nullptr;
    myFrontHit = bumpers & kFrontBumpers;
    myStart = myRobot->getPose();
    myPhaseStartMs = ArTime::nowMSec();
    myPhase = Phase::BackOff;
  }
  return myPhase == Phase::BackOff ? backOff(bumpers) : turn();
}

ArActionAvoidFront::ArActionAvoidFront(const char* name, double obstacleDistance, double avoidVelocity,
                                       double turnAmount, bool useTableIRIfAvail)
    : ArAction(name),
      myObstacleDistance(obstacleDistance),
      myAvoidVelocity(avoidVelocity),
      myTurnAmount(turnAmount),
      myUseTableIR(useTableIRIfAvail) {}

ArActionDesired* ArActionAvoidFront::fire(ArActionDesired) {
  myDesired.reset();
  if (!myRobot) return nullptr;
  if (frontClearance(myRobot) > myObstacleDistance) {
    myTurnSign = 0;
    return nullptr;
  }
  if (myTurnSign == 0) myTurnSign = chooseTurnSign(myRobot);
  myDesired.setVel(myAvoidVelocity);
  myDesired.setDeltaHeading(myTurnSign * myTurnAmount);
  return &myDesired;
}

ArActionConstantVelocity::ArActionConstantVelocity(const char* name, double velocity)
    : ArAction(name), myVelocity(velocity) {}

ArActionDesired* ArActionConstantVelocity::fire(ArActionDesired) {
  myDesired.reset();
  myDesired.setVel(myVelocity);
  return &myDesired;
}
