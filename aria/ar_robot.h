#pragma once
// The robot: a client of a robot server speaking the Pioneer-family protocol over a
// device connection. After blockingConnect() and runAsync() a cycle thread reads the
// server's information packets, keeps the pose, velocities, stall/bumper bits and
// sonar state, feeds the range devices, evaluates the actions and sends the motion
// commands, and keeps the connection alive.
#include <memory>

#include "aria/ar_actions.h"
#include "aria/ar_device_connection.h"
#include "aria/ar_functor.h"
#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"
#include "aria/ar_range_device.h"
#include "aria/ar_time.h"

class ArRobot {
 public:
  ArRobot(const char* name = nullptr, bool ignored = true, bool doSigHandle = true, bool normalInit = true,
          bool addAriaExitCallback = true);
  ~ArRobot();
  ArRobot(const ArRobot&) = delete;
  ArRobot& operator=(const ArRobot&) = delete;

  // Connection event callbacks. FIRST puts the functor before those already added.
  void addConnectCB(ArFunctor* functor, ArListPos::Pos position = ArListPos::LAST);
  void addFailedConnectCB(ArFunctor* functor, ArListPos::Pos position = ArListPos::LAST);
  void addDisconnectNormallyCB(ArFunctor* functor, ArListPos::Pos position = ArListPos::LAST);
  void addDisconnectOnErrorCB(ArFunctor* functor, ArListPos::Pos position = ArListPos::LAST);

  void addRangeDevice(ArRangeDevice* device);
  void setDeviceConnection(ArDeviceConnection* connection);
  ArDeviceConnection* getDeviceConnection() const;

  // Handshake and OPEN on the device connection (opened here if it is not open yet).
  // True on a live robot: connect callbacks run. False otherwise: failed-connect callbacks
  // run. The first session resets the server's odometry (SETO); a later one keeps the
  // frame the robot's poses are in, also against a server that reset its odometry
  // (the robot is then placed at its last pose, and a line on standard error says so).
  // False without callbacks once a stop signal has been handled (Aria::init).
  bool blockingConnect();
  // Starts the processing cycle on its own thread.
  void runAsync(bool stopRunIfNotConnected);
  bool isRunning() const;
  // Stops the cycle thread and waits for it; with doDisconnect, also disconnects.
  // Safe to call while the caller holds the robot lock.
  void stopRunning(bool doDisconnect = true);
  // Orderly end (STOP, CLOSE, link closed); disconnect-normally callbacks run.
  bool disconnect();
  bool isConnected() const;

  void enableMotors();
  void disableMotors();
  bool areMotorsEnabled() const;
  void enableSonar();
  void disableSonar();
  bool areSonarsEnabled() const;

  // Direct motion: takes precedence over actions, per channel (translation, rotation),
  // until clearDirectMotion(). Sent at once when connected; the cycle refreshes it.
  void stop();
  void setVel(double mmPerSec);
  void setHeading(double degrees);       // absolute, in the frame set by moveTo
  // Relative to the current heading; sent as the absolute heading it amounts to, so a
  // refresh of the command never turns the robot further.
  void setDeltaHeading(double degrees);
  void setRotVel(double degPerSec);
  void clearDirectMotion();
  bool isDirectMotion() const;

  // The reported pose becomes the given one; later poses and headings are in that frame.
  void moveTo(ArPose pose, bool doCumulative = true);

  bool addAction(ArAction* action, int priority);
  bool remAction(ArAction* action);

  // The pose at a past time, interpolated from the pose history. 1 on success, a
  // negative value when the time lies outside the history.
  int getPoseInterpPosition(ArTime timeStamp, ArPose* position);

  ArPose getPose() const;
  double getX() const;
  double getY() const;
  double getTh() const;
  double getVel() const;
  double getRotVel() const;
  // Stall and bumper bits: bit 0 left wheel stalled, bit 8 right wheel stalled,
  // bits 1-7 rear bumpers, bits 9-15 front bumpers.
  int getStallValue() const;
  bool isLeftMotorStalled() const;
  bool isRightMotorStalled() const;
  int getNumSonar() const;
  // Latest range of one sonar disc in mm (5000 or more: no echo), -1 if unknown.
  int getSonarRange(int disc) const;
  // Closest sonar obstacle, mm from the robot's centre, whose bearing (degrees, robot
  // frame) lies on the counter-clockwise arc from startAngle to endAngle (so (-45, 45)
  // is the front and (135, -135) the rear); ranges older than 1 s do not count. A large
  // value when there is none.
  double checkRangeDevicesCurrentPolar(double startAngle, double endAngle, double* angle = nullptr) const;
  double getRobotRadius() const;
  const char* getRobotName() const;
  const char* getRobotType() const;
  const char* getRobotSubType() const;

  // The robot lock.
  int lock();
  int unlock();
  int tryLock();

  struct Impl;

 private:
  std::unique_ptr<Impl> d;
};
