#pragma once
// An in-process simulator on an ephemeral loopback port with one ArRobot connected to it.
#include <memory>
#include <string>

#include "aria/aria.h"
#include "sim/server.h"

namespace testsrv {

struct SimRobot {
  std::unique_ptr<sim::Server> server;
  ArTcpConnection link;
  ArRobot robot;

  explicit SimRobot(const std::string& worldText) {
    sim::World world;
    std::string error;
    if (!sim::parseWorld(worldText, world, error)) return;
    start(world);
  }
  explicit SimRobot(const sim::World& world) { start(world); }
  ~SimRobot() {
    robot.stopRunning(true);
    if (server) server->stop();
  }

  void start(const sim::World& world) {
    sim::ServerOptions options;
    options.port = 0;
    options.quiet = true;
    server = std::make_unique<sim::Server>(world, options);
    std::string error;
    if (!server->start(error)) {
      server.reset();
      return;
    }
    link.setPort("127.0.0.1", server->port());
    robot.setDeviceConnection(&link);
  }

  bool connectAndRun() {
    if (!server || !robot.blockingConnect()) return false;
    robot.runAsync(true);
    robot.lock();
    robot.enableMotors();
    robot.enableSonar();
    robot.unlock();
    return true;
  }
};

}  // namespace testsrv
