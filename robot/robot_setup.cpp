#include "robot/robot_setup.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "aria/aria.h"
#include "base/console.h"
#include "robot/server_reach.h"
#include "state/shared_state.h"

namespace {

// How long the look for the reason of a failed connection waits for the server.
constexpr int REACH_TIMEOUT_MS = 2000;
// A robot found farther than this from where this agent's robot was at the end of the
// previous session is another robot: it stood still meanwhile (its motors stop when its
// client goes), and a session ends within one SIP (at most 50 mm at full speed) of the
// last pose it reported.
constexpr double HANDOVER_TOLERANCE_MM = 200;
// Robots refused in a row before one is taken as it is (a real robot moved by hand).
constexpr int HANDOVER_REFUSALS = 3;

// Whether a session of this run has connected before.
bool connectedBefore = false;

// The reason the last failed connection was told with; empty after a success.
std::string toldProblem;

// A failed connection is explained once, the library's own line first; the attempts
// that follow every few seconds say more only when the reason changes.
void explainFailedConnection() {
  const std::string host = tcpConnection->getHost();
  const int port = tcpConnection->getPort();
  const std::string problem = serverReachProblem(host, port, REACH_TIMEOUT_MS);
  const std::string advice = connectionAdvice(host, port, problem);
  if (advice == toldProblem) return;
  if (toldProblem.empty()) writeLine(stderr, "ERROR: asyncConnect failed because robot is not running in its own thread.");
  writeLine(stderr, advice);
  toldProblem = advice;
}

}  // namespace

ConnHandler::ConnHandler(ArRobot* robot)
    : myRobot(robot),
      myConnectedCB(this, &ConnHandler::onConnected),
      myFailedConnectCB(this, &ConnHandler::onConnectFailed),
      myDisconnectedCB(this, &ConnHandler::onDisconnected) {
  myRobot->addConnectCB(&myConnectedCB, ArListPos::FIRST);
  myRobot->addFailedConnectCB(&myFailedConnectCB, ArListPos::FIRST);
  myRobot->addDisconnectNormallyCB(&myDisconnectedCB, ArListPos::FIRST);
  myRobot->addDisconnectOnErrorCB(&myDisconnectedCB, ArListPos::FIRST);
}

void ConnHandler::onConnected() {
  myRobot->enableMotors();
  myRobot->enableSonar();
}

void ConnHandler::onConnectFailed() {
  myRobot->stopRunning(true);
  Aria::shutdown();
  writeLine(stderr, "Connection to the physical robot failed!");
}

void ConnHandler::onDisconnected() { writeLine(stderr, "Lost connection to the physical robot!"); }

void setupRobot(const RobotServer& server, int sonarMaxRange) {
  Aria::init(Aria::SIGHANDLE_THREAD, true, true);
  robot = new ArRobot(nullptr, true, true, true, true);
  connHandler = new ConnHandler(robot);
  sonar = new ArSonarDevice(64, 1024, "sonar");
  sonar->setMaxRange(sonarMaxRange);
  robot->addRangeDevice(sonar);
  gyro = new ArAnalogGyro(robot);
  laser = new ArSick(361, 0, "laser", true, false);
  robot->addRangeDevice(laser);
  tcpConnection = new ArTcpConnection();
  tcpConnection->setPort(server.host.c_str(), server.port);
  connectRobot();
}

namespace {

bool connectOnce() {
  tcpConnection->openSimple();
  robot->setDeviceConnection(tcpConnection);
  if (!robot->blockingConnect()) {
    explainFailedConnection();
    return false;
  }
  toldProblem.clear();
  robot->runAsync(true);
  if (laser->isConnected()) laser->runAsync();
  robot->lock();
  robot->enableMotors();
  robot->enableSonar();
  robot->unlock();
  return true;
}

std::string poseText(const ArPose& p) {
  char text[64];
  std::snprintf(text, sizeof text, "(%.0f, %.0f, %.0f)", p.getX(), p.getY(), p.getTh());
  return text;
}

}  // namespace

// Only where it stands tells robots apart: no other robot stands within a robot's
// length of where ours stood, while the heading may have moved on in the session's last
// SIP (a fast turn, wheels slipping against an obstacle) or odometry may report it so.
bool isOwnRobot(const ArPose& lastSeen, const ArPose& found) {
  return found.findDistanceTo(lastSeen) <= HANDOVER_TOLERANCE_MM;
}

// A robot server with several robots waiting for their clients (a simulator that parks
// the robots of clients that went away) may hand a reconnecting agent another one: its
// pose, which goes on from the server's odometry, then lies far from where this agent's
// robot stood. Such a robot is given back at once, unmoved, and the agent asks again.
void connectRobot() {
  const ArPose last = robot->getPose();
  ArPose before = last;
  for (int refused = 0; connectOnce(); ++refused) {
    const ArPose found = robot->getPose();
    if (!connectedBefore || isOwnRobot(last, found)) break;
    // A server that reports the robot at its odometric origin (ours does for a robot that
    // never moved) leaves it where the robot library last saw a robot, which after one was
    // given back is that one's pose: the robot stood still, so it stands where ours did.
    const bool leftWhereItWas =
        found.findDistanceTo(before) < 1 && std::fabs(ArMath::subAngle(found.getTh(), before.getTh())) < 1;
    if (refused > 0 && leftWhereItWas) {
      robot->moveTo(last);
      break;
    }
    if (refused == HANDOVER_REFUSALS) {
      writeLine(stderr, "Taking the robot at " + poseText(found) + " as this agent's, " + std::to_string(refused) +
                            " robots later; it was last seen at " + poseText(last));
      break;
    }
    writeLine(stderr, "The robot server handed over a robot at " + poseText(found) + ", not this agent's robot at " +
                          poseText(last) + ": giving it back and asking again");
    before = found;
    disconnectRobot();
  }
  connectedBefore = connectedBefore || robot->isConnected();
}

void disconnectRobot() {
  robot->lock();
  robot->stop();
  robot->disableMotors();
  robot->disableSonar();
  if (laser->isConnected()) {
    laser->disconnect();
    laser->stopRunning();
  }
  robot->stopRunning(true);
  if (robot->isConnected()) robot->disconnect();
  robot->unlock();
  tcpConnection->close();
}

void teardownRobot() {
  if (robot == nullptr) return;
  disconnectRobot();
  Aria::shutdown();
  delete gyro;
  gyro = nullptr;
  delete sonar;
  sonar = nullptr;
  delete laser;
  laser = nullptr;
  delete connHandler;
  connHandler = nullptr;
  delete robot;
  robot = nullptr;
  delete tcpConnection;
  tcpConnection = nullptr;
}
