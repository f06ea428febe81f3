#pragma once
// The robots' true and dead-reckoned poses over time, as a text file: one line for every
// SIP a robot's client is sent, so that what a client believed can be set beside where
// its robot was. Columns: wall-clock time (s, CLOCK_REALTIME, as packet captures stamp
// datagrams), robot id, true x y th, then x y th where odometry puts the robot in the
// world frame (mm, degrees).
#include <cstdio>
#include <memory>
#include <string>

#include "sim/simulation.h"

namespace sim {

class PoseLog {
 public:
  // Opens (truncates) path; false with a reason when it cannot.
  bool open(const std::string& path, std::string& error);
  bool isOpen() const { return myFile != nullptr; }
  void record(const Robot& robot);

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> myFile;
};

}  // namespace sim
