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
// and the group messages are built from; 0, the default, trusts every echo. Readings of
// "nothing sensed" never enter them. A cut (agent --sonar-max-range) leaves out the long
// echoes from the edge of the 15-degree beam that the ray rule places on the beam's axis
// (docs/mission-scores.md); the robot's own avoidance sees every range either way.
constexpr int SONAR_MAX_RANGE_MM = 0;

class ArPose;
// Whether the robot a server handed over at `found` is the one this agent last saw at
// `lastSeen`.
bool isOwnRobot(const ArPose& lastSeen, const ArPose& found);

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
