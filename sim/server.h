#pragma once
// robosim's robot server: a TCP listener whose every client connection drives its own
// simulated robot in one shared world. One thread runs the 10 ms simulation ticks and all
// socket I/O (non-blocking, epoll); other threads only start, stop and inspect it.
//
// A connection gets its robot when its session opens. When a connection closes its robot
// is parked for the grace period, so a client that reconnects finds its robot, true pose
// and odometry as it left them. A session that opens while robots are parked is offered
// the one parked last, and its first command settles it (sim/session.h): a client
// that starts with SETO sets up a frame of its own, so it is a new client and gets a new
// robot at the world's next start pose; any other client takes the offered robot up. A
// client that leaves again without moving it gives it back, behind the other parked
// robots, so that a client handed someone else's robot finds its own on its next try.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/simulation.h"
#include "sim/world.h"

namespace sim {

struct ServerOptions {
  std::string listenAddr = "127.0.0.1";
  uint16_t port = 8101;      // 0 picks an ephemeral port
  SimOptions sim;            // sonar model, noise, ghosts
  double graceSeconds = 30;  // a disconnected client's robot stays parked this long; 0 removes it at once
  double statsSeconds = 0;   // period of the timing lines on standard error; 0 = none
  bool quiet = false;        // no connection lines on standard error
  bool contacts = false;     // a line on standard error for every contact a robot ends
  std::string poseLog;       // file of every robot's true and dead-reckoned pose per SIP; empty = none
};

class Server {
 public:
  Server(World world, ServerOptions opts);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, listens and starts the simulation thread. False with a message on failure.
  bool start(std::string& error);
  // The bound port (useful after port 0); 0 before start.
  uint16_t port() const;
  // Ends the thread and closes every connection; safe to call twice.
  void stop();
  // Robots in the world, parked ones included; connections; parked robots.
  size_t robotCount() const;
  size_t connectionCount() const;
  size_t parkedCount() const;

  // Connections served at most, and how many the process's open-file limit allows.
  static constexpr size_t kMaxConnections = 4096;
  static size_t connectionLimit();
  // Test hook: true pose (world frame) of the robot of the i-th live connection, in the
  // order the connections were accepted. False when there is no such connection.
  bool truePose(size_t i, double& x, double& y, double& thDeg) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> myImpl;
};

}  // namespace sim
