#include "sim/pose_log.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace sim {

bool PoseLog::open(const std::string& path, std::string& error) {
  myFile.reset(std::fopen(path.c_str(), "w"));
  if (myFile) return true;
  error = "cannot write the pose log " + path + ": " + std::strerror(errno);
  return false;
}

void PoseLog::record(const Robot& robot) {
  if (!myFile) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  double ox = 0, oy = 0, oth = 0;
  robot.deadReckonedPose(ox, oy, oth);
  std::fprintf(myFile.get(), "%lld.%06ld %llu %.1f %.1f %.2f %.1f %.1f %.2f\n", static_cast<long long>(now.tv_sec),
               now.tv_nsec / 1000, static_cast<unsigned long long>(robot.id), robot.x, robot.y, robot.thDeg, ox, oy,
               oth);
}

}  // namespace sim
