#pragma once
// A robot of the library connected to a scripted fake robot server on loopback.
#include "aria/ar_robot.h"
#include "aria/ar_tcp_connection.h"
#include "tests/support/script_server.h"

namespace testsrv {

struct FakeRobotSession {
  FakeRobot fake;
  ArTcpConnection link;
  ArRobot robot;
  FakeRobotSession() {
    link.setPort("127.0.0.1", fake.port());
    robot.setDeviceConnection(&link);
  }
  bool start() {
    if (!robot.blockingConnect()) return false;
    robot.runAsync(true);
    return true;
  }
};

}  // namespace testsrv
