#pragma once
// Motion of one simulated robot in its odometric frame: velocity setpoints, ramps, the
// heading servo, limits and odometry. Knows nothing of walls or sockets; the simulation
// asks it for each step's motion and reports how much of the translation was possible.
#include <cstdint>

namespace sim {

constexpr double kDiffConvFactor = 0.0056;  // wheel speed difference to rad/s, times 2
constexpr double kVel2Unit = 20.0;          // mm/s per VEL2 wheel unit

struct MotionLimits {
  double transVelMax = 500;  // mm/s
  double transAccel = 300;   // mm/s^2
  double transDecel = 300;
  double rotVelMax = 100;    // deg/s
  double rotAccel = 100;     // deg/s^2
  double rotDecel = 100;
};

// The motion a step asks for: distance along the heading and the turn.
struct Motion {
  double distMm = 0;
  double turnDeg = 0;
};

class RobotModel {
 public:
  // Session start: odometry at the origin, motors off, setpoints zero, limits at their
  // defaults.
  void reset();
  // Session end: as reset, but the odometry is kept for a client that comes back.
  void endSession();

  // Motor power. Off stops at once and clears every setpoint; on starts from zero setpoints.
  void enableMotors(bool on);
  // Motion commands; all are discarded while the motors are off.
  void setVel(int mmPerSec);             // VEL
  void setRotVel(int degPerSec);         // RVEL, ROTATE
  void setHeading(int deg);              // HEAD: absolute odometric heading
  void turnBy(int deg);                  // DHEAD: relative to the current heading
  void turnSetpointBy(int deg);          // DCHEAD: relative to the heading setpoint
  void setWheels(int8_t rightUnits, int8_t leftUnits);  // VEL2
  void stop();                           // STOP: zero setpoints, normal deceleration
  void emergencyStop();                  // E_STOP: zero setpoints and velocities at once
  // Session limits; out-of-range values are clamped, zero accelerations ignored.
  void setMaxVel(int mmPerSec);
  void setMaxRotVel(int degPerSec);
  void setTransAccel(int signedValue);   // > 0 acceleration, < 0 deceleration
  void setRotAccel(int signedValue);
  // SETO: odometry back to (0, 0, 0); a heading setpoint follows the new frame.
  void resetOdometry();

  // Advances the velocities by dt seconds toward their setpoints (toward zero when halted
  // by the watchdog, setpoints kept) and returns the motion of this step.
  Motion advance(double dt, bool halted);
  // Moves the odometric pose by the step's turn and by fraction of its translation.
  void applyMotion(const Motion& step, double fraction);
  // An obstacle stopped the translation: v = 0 at once.
  void blockTranslation() { myVel = 0; }

  // Odometric pose (mm, degrees in (-180, 180]) and current velocities.
  double x() const { return myX; }
  double y() const { return myY; }
  double thDeg() const { return myTh; }
  double vel() const { return myVel; }
  double rotVelDeg() const { return myRotVel; }
  bool motorsEnabled() const { return myMotorsOn; }
  bool headingMode() const { return myHeadingMode; }
  double headingSetpoint() const { return myHeadingTarget; }
  double velSetpoint() const { return myVelTarget; }
  const MotionLimits& limits() const { return myLimits; }

  // Values as a SIP reports them.
  int leftWheelVel() const;
  int rightWheelVel() const;
  int rotVelTenths() const;
  // The heading servo's setpoint in heading mode, else the heading, in degrees.
  double controlDeg() const { return myHeadingMode ? myHeadingTarget : myTh; }

 private:
  void leaveWheelMode();
  double rotGoal(double dt) const;
  void settleHeading(double dt);

  MotionLimits myLimits;
  double myX = 0, myY = 0, myTh = 0;
  double myVel = 0, myRotVel = 0;              // mm/s, deg/s
  double myVelTarget = 0, myRotVelTarget = 0;  // setpoints
  double myHeadingTarget = 0;                  // deg, heading mode only
  bool myHeadingMode = false;
  bool myWheelMode = false;
  bool myMotorsOn = false;
};

// Angle in degrees normalised into (-180, 180].
double normalizeDeg(double deg);
// One ramp step of value toward goal: at most up while the magnitude grows in the same
// direction, at most down otherwise, stopping at zero when the direction changes.
double rampToward(double value, double goal, double up, double down);

}  // namespace sim
