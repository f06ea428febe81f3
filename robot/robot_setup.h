#pragma once
// The robot's set-up, connection, disconnection and teardown, on top of the robot
// library layer. The objects live from process start-up to process exit; between
// passes of the main loop only the connection is closed and reopened.
#include <string>

#include "aria/ar_functor.h"

class ArRobot;

// The robot server the agent connects to: a robot's own server, a relay to its serial
// port, or a simulator.
struct RobotServer {
  std::string host = "localhost";
  int port = 8101;
};

// The longest sonar range (mm) whose readings enter the sonar's buffers, which the maps
// and the group messages are built from. An echo is placed on the disc's axis, but it
// may come from anywhere in the 15-degree beam: beyond 4 m the beam's edge lies more than
// half a metre off the axis, and such echoes draw walls where there are none (measured
// in docs/mission-scores.md: the cut removes nearly all of them for about a tenth of the
// coverage). Longer echoes are therefore left out. 0 trusts every echo; readings of
// "nothing sensed" are never used. The robot's own avoidance sees every range either way.
constexpr int SONAR_MAX_RANGE_MM = 4000;

// Holder of the connection callbacks the robot library invokes.
class ConnHandler {
 public:
  explicit ConnHandler(ArRobot* robot);

  void onConnected();
  void onConnectFailed();
  void onDisconnected();

 private:
  ArRobot* myRobot;
  ArFunctorC<ConnHandler> myConnectedCB;
  ArFunctorC<ConnHandler> myFailedConnectCB;
  ArFunctorC<ConnHandler> myDisconnectedCB;
};

// Initialises the library, creates the robot, its devices and the TCP connection to the
// server (localhost:8101 unless told otherwise), and makes the first connection attempt.
// The sonar trusts readings up to sonarMaxRange mm (0: every echo).
void setupRobot(const RobotServer& server = RobotServer(), int sonarMaxRange = SONAR_MAX_RANGE_MM);
// Opens the connection and connects; on success starts the robot's cycle and enables
// motors and sonar. Failures are reported on standard error and seen in the robot's state.
void connectRobot();
// Stops and disables the robot, stops its cycle, disconnects it and closes the connection.
void disconnectRobot();
// disconnectRobot, library shutdown, and deletion of every robot object.
void teardownRobot();
