#pragma once
// Actions: small controllers that the robot's cycle evaluates every 100 ms. Each
// proposes a translational velocity and/or a rotation with a strength; per motion
// channel the installed action with the highest priority that proposes something wins.
#include <string>

#include "aria/ar_pose.h"

class ArRobot;

// What an action proposes for one cycle. Strength 0 means "no opinion" on that channel.
class ArActionDesired {
 public:
  void reset() { *this = ArActionDesired(); }
  void setVel(double vel, double strength = 1.0) { myVel = vel; myVelStrength = strength; }
  // Rotation: exactly one of heading, delta heading or rotational velocity is kept.
  void setHeading(double heading, double strength = 1.0) { myRot = Rot::Heading; myRotValue = heading; myRotStrength = strength; }
  void setDeltaHeading(double delta, double strength = 1.0) { myRot = Rot::DeltaHeading; myRotValue = delta; myRotStrength = strength; }
  void setRotVel(double rotVel, double strength = 1.0) { myRot = Rot::RotVel; myRotValue = rotVel; myRotStrength = strength; }

  enum class Rot { None, Heading, DeltaHeading, RotVel };
  double getVel() const { return myVel; }
  double getVelStrength() const { return myVelStrength; }
  Rot getRotKind() const { return myRot; }
  double getRotValue() const { return myRotValue; }
  double getRotStrength() const { return myRotStrength; }

 private:
  double myVel = 0, myVelStrength = 0;
  Rot myRot = Rot::None;
  double myRotValue = 0, myRotStrength = 0;
};

class ArAction {
 public:
  explicit ArAction(const char* name) : myName(name ? name : "") {}
  virtual ~ArAction() = default;
  ArAction(const ArAction&) = delete;
  ArAction& operator=(const ArAction&) = delete;

  // Called by the robot's cycle with the robot locked. Returns the proposal, or null
  // for none. currentDesired is what higher-priority actions proposed this cycle.
  virtual ArActionDesired* fire(ArActionDesired currentDesired) = 0;
  virtual void setRobot(ArRobot* robot) { myRobot = robot; }
  const char* getName() const { return myName.c_str(); }
  bool isActive() const { return myActive; }
  void activate() { myActive = true; }
  void deactivate() { myActive = false; }

 protected:
  ArRobot* myRobot = nullptr;
  ArActionDesired myDesired;

 private:
  std::string myName;
  bool myActive = true;
};

// When a wheel stalls: drives away from the obstacle (backward unless the rear is
// blocked) at speed, for obstacleDistance mm or cyclesToMove cycles, then turns
// degreesToTurn toward the more open side (again at most cyclesToMove cycles).
class ArActionStallRecover : public ArAction {
 public:
  ArActionStallRecover(const char* name = "stall recover", double obstacleDistance = 225, int cyclesToMove = 50,
                       double speed = 150, double degreesToTurn = 45, bool enabled = true);
  ArActionDesired* fire(ArActionDesired currentDesired) override;

 private:
  enum class Phase { Idle, Move, Turn };
  void start();
  ArActionDesired* move();
  ArActionDesired* turn();

  double myObstacleDistance, mySpeed, myDegreesToTurn;
  int myCyclesToMove;
  Phase myPhase = Phase::Idle;
  int myCount = 0;        // cycles spent in the current phase
  double myDirection = -1;  // -1 backward, +1 forward
  double myTargetHeading = 0;
  ArPose myStart;
};

// On a bumper contact: backs away from it (forward for a rear contact) at backOffSpeed
// until the bumper is clear and the robot has moved away, at most backOffTime ms, then
// turns toward the more open side until it has turned 60 degrees, at most turnTime ms.
class ArActionBumpers : public ArAction {
 public:
  ArActionBumpers(const char* name = "bumpers", double backOffSpeed = 100, int backOffTime = 3000,
                  int turnTime = 3000, bool setMaximums = false);
  ArActionDesired* fire(ArActionDesired currentDesired) override;

 private:
  enum class Phase { Idle, BackOff, Turn };
  ArActionDesired* backOff(int bumpers);
  ArActionDesired* turn();

  double myBackOffSpeed;
  int myBackOffTime, myTurnTime;
  [[maybe_unused]] bool mySetMaximums;  // no separate velocity limits exist to set
  Phase myPhase = Phase::Idle;
  long long myPhaseStartMs = 0;
  bool myFrontHit = true;
  double myTargetHeading = 0;
  ArPose myStart;
};

// While the closest sonar obstacle within 45 degrees of straight ahead is nearer than
// obstacleDistance (mm beyond the robot's radius): caps the speed at avoidVelocity (0
// turns in place) and turns by turnAmount degrees per cycle. The direction is chosen
// once, toward the more open side (or the way the robot already turns), and kept until
// the front is clear, so the robot does not dither between left and right.
class ArActionAvoidFront : public ArAction {
 public:
  ArActionAvoidFront(const char* name = "avoid front obstacles", double obstacleDistance = 450,
                     double avoidVelocity = 200, double turnAmount = 15, bool useTableIRIfAvail = true);
  ArActionDesired* fire(ArActionDesired currentDesired) override;

 private:
  double myObstacleDistance, myAvoidVelocity, myTurnAmount;
  [[maybe_unused]] bool myUseTableIR;  // no table IR sensors exist on these robots
  int myTurnSign = 0;  // kept while turning so the robot does not dither
};

// Drives straight ahead at a constant speed.
class ArActionConstantVelocity : public ArAction {
 public:
  ArActionConstantVelocity(const char* name = "Constant Velocity", double velocity = 400);
  ArActionDesired* fire(ArActionDesired currentDesired) override;

 private:
  double myVelocity;
};
