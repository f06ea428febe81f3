#include "net/senders.h"

#include <cmath>
#include <vector>

#include "aria/ar_robot.h"
#include "aria/ar_time.h"
#include "aria/ar_util.h"
#include "net/mcast_socket.h"
#include "net/messages.h"
#include "state/shared_state.h"

namespace {

constexpr unsigned POSE_PERIOD_MS = 1000;
constexpr unsigned SENSOR_PERIOD_MS = 500;

using Buffer = char[MSG_BUFFER_SIZE];

// The text and its NUL as one datagram. A message that did not fit is not sent at all,
// never cut short. A failed send is neither retried nor reported.
void sendMessage(const Message& message, Buffer& buffer) {
  int length = formatMessage(message, buffer, MSG_BUFFER_SIZE);
  if (length < 0) return;
  mcastSocket.sendTo(groupAddr, buffer, static_cast<size_t>(length) + 1);
}

ArPose currentRobotPose() {
  RobotLockGuard hold;
  return robot->getPose();
}

// The robot's pose at a past time; negative when its pose history cannot give it.
int robotPoseAt(ArTime time, ArPose& pose) {
  RobotLockGuard hold;
  return robot->getPoseInterpPosition(time, &pose);
}

void sendRobotPose(char type, Buffer& buffer) {
  const ArPose pose = currentRobotPose();
  sendMessage(Message{type, agentId, {pose.getX(), pose.getY(), pose.getTh()}}, buffer);
}

std::vector<ArPoseWithTime> takeSonarReadings() {
  sonar->lockDevice();
  std::vector<ArPoseWithTime> readings = sonar->getCurrentBufferAsVector();
  sonar->unlockDevice();
  return readings;
}

// E with the robot's pose at the reading's time, or O when that pose is unavailable.
void sendReading(const ArPoseWithTime& reading, Buffer& buffer) {
  ArPose atReading(0, 0, 0);
  const int found = robotPoseAt(reading.getTime(), atReading);
  const double x = reading.getX();
  const double y = reading.getY();
  if (found < 0 || std::isnan(atReading.getX()) || std::isnan(atReading.getY())) {
    sendMessage(Message{'O', agentId, {x, y}}, buffer);
    return;
  }
  sendMessage(Message{'E', agentId, {x, y, atReading.getX(), atReading.getY(), atReading.getTh()}}, buffer);
}

std::vector<ArRangeDevice::SilentFiring> takeSilentFirings() {
  sonar->lockDevice();
  std::vector<ArRangeDevice::SilentFiring> firings = sonar->takeSilentFirings();
  sonar->unlockDevice();
  return firings;
}

// One S message per firing time (the discs of one robot cycle fire together) with the
// robot's pose then; firings whose pose is unavailable are dropped.
void sendSilentBeams(Buffer& buffer) {
  const std::vector<ArRangeDevice::SilentFiring> firings = takeSilentFirings();
  for (size_t from = 0; from < firings.size();) {
    const int64_t time = firings[from].time.getMSec();
    uint16_t discs = 0;
    size_t to = from;
    for (; to < firings.size() && firings[to].time.getMSec() == time; ++to) {
      if (firings[to].sensor < MAX_SILENT_DISCS) discs = static_cast<uint16_t>(discs | 1u << firings[to].sensor);
    }
    ArPose pose(0, 0, 0);
    if (discs != 0 && robotPoseAt(firings[from].time, pose) >= 0 && !std::isnan(pose.getX()) && !std::isnan(pose.getY())) {
      Message m{'S', agentId, {pose.getX(), pose.getY(), pose.getTh()}};
      m.values[0] = discs;
      sendMessage(m, buffer);
    }
    from = to;
  }
}

// T for every way status the behaviours reported since the last cycle; with none, the
// current one again a second after the last T.
void sendWayReports(Buffer& buffer) {
  for (const WayReport& r : wayReports.take(ArTime::nowMSec())) {
    Message m{'T', agentId, {r.x, r.y}};
    m.values[0] = r.status;
    sendMessage(m, buffer);
  }
}

void runSensorCycle(Buffer& buffer) {
  ArUtil::sleep(SENSOR_PERIOD_MS);
  for (const ArPoseWithTime& reading : takeSonarReadings()) sendReading(reading, buffer);
  if (mapModel == MapModel::Sonar) sendSilentBeams(buffer);
  sendRobotPose('P', buffer);
  sendWayReports(buffer);
}

// With pose correction on, how far it has moved the pose (a C message).
void sendPoseCorrection(Buffer& buffer) {
  if (!localizing) return;
  const ArPose c = poseCorrection.read();
  sendMessage(Message{'C', agentId, {c.getX(), c.getY(), c.getTh()}}, buffer);
}

}  // namespace

void poseSenderThread() {
  Buffer buffer;
  if (getExitFlag() != 0) return;
  do {
    sendRobotPose('D', buffer);
    sendPoseCorrection(buffer);
    ArUtil::sleep(POSE_PERIOD_MS);
  } while (getExitFlag() == 0);
}

void sensorSenderThread() {
  Buffer buffer;
  if (getExitFlag() != 0) return;
  do {
    runSensorCycle(buffer);
  } while (getExitFlag() == 0);
}
