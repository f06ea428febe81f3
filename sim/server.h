#pragma once
// robosim's robot server: a TCP listener whose every client connection drives its own
// simulated robot in one shared world. One thread runs the 10 ms simulation ticks and all
// socket I/O (non-blocking, epoll); other threads only start, stop and inspect it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/world.h"

namespace sim {

struct ServerOptions {
  std::string listenAddr = "127.0.0.1";
  uint16_t port = 8101;    // 0 picks an ephemeral port
  double beamDeg = 15;     // sonar beam width
  double noiseMm = 0;      // sonar range noise (standard deviation)
  uint32_t seed = 1;       // of the noise
  bool ghosts = false;     // robots neither block nor sense each other, all start at pose 0
  bool quiet = false;      // no connection lines on standard error
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
  size_t robotCount() const;
  // Test hook: true pose (world frame) of the robot of the i-th live connection, in the
  // order the connections were accepted. False when there is no such connection.
  bool truePose(size_t i, double& x, double& y, double& thDeg) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> myImpl;
};

}  // namespace sim
