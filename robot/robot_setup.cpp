#include "robot/robot_setup.h"

#include "aria/aria.h"
#include "base/console.h"
#include "state/shared_state.h"

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
    writeLine(stderr, "ERROR: asyncConnect failed because robot is not running in its own thread.");
    return;
  }
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
