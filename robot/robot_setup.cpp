#include "robot/robot_setup.h"

#include "aria/aria.h"
#include "base/console.h"
#include "robot/server_reach.h"
#include "state/shared_state.h"

namespace {

// How long the look for the reason of a failed connection waits for the server.
constexpr int REACH_TIMEOUT_MS = 2000;

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

void connectRobot() {
  tcpConnection->openSimple();
  robot->setDeviceConnection(tcpConnection);
  if (!robot->blockingConnect()) {
    explainFailedConnection();
    return;
  }
  toldProblem.clear();
  robot->runAsync(true);
  if (laser->isConnected()) laser->runAsync();
  robot->lock();
  robot->enableMotors();
  robot->enableSonar();
  robot->unlock();
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
