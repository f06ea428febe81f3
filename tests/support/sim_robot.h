#pragma once
// A real ArRobot with a sonar, connected to an in-process simulator on an ephemeral
// loopback port: the one simulated robot of the library, behaviour and sender tests.
#include <memory>
#include <string>

#include "aria/aria.h"
#include "sim/server.h"

namespace testsupport {

class SimRobot {
 public:
  // Starts the simulator on a world file's text or on a world; error says why it did not.
  explicit SimRobot(const std::string& worldText) {
    sim::World world;
    if (sim::parseWorld(worldText, world, error)) startServer(world);
  }
  explicit SimRobot(const sim::World& world) { startServer(world); }
  ~SimRobot() { stop(); }
  SimRobot(const SimRobot&) = delete;
  SimRobot& operator=(const SimRobot&) = delete;

  // Connects, starts the robot's own cycle and enables motors and sonar.
  bool connectAndRun() {
    if (!server) return false;
    if (!robot.blockingConnect()) {
      error = "the robot did not connect";
      return false;
    }
    robot.runAsync(true);
    robot.lock();
    robot.enableMotors();
    robot.enableSonar();
    robot.unlock();
    return true;
  }

  // The robot's cycle ends, then the simulator.
  void stop() {
    robot.stopRunning(true);
    stopServer();
  }
  // The robot server goes away: the robot loses its connection.
  void stopServer() {
    if (server) server->stop();
  }

  ArPose pose() {
    robot.lock();
    const ArPose now = robot.getPose();
    robot.unlock();
    return now;
  }

  std::string error;
  std::unique_ptr<sim::Server> server;
  ArTcpConnection link;
  ArSonarDevice sonar{64, 1024, "sonar"};
  ArRobot robot;

 private:
  void startServer(const sim::World& world) {
    sim::ServerOptions options;
    options.port = 0;
    options.quiet = true;
    server = std::make_unique<sim::Server>(world, options);
    if (!server->start(error)) {
      server.reset();
      return;
    }
    link.setPort("127.0.0.1", server->port());
    robot.setDeviceConnection(&link);
    robot.addRangeDevice(&sonar);
  }
};

}  // namespace testsupport
