#include "state/shared_state.h"

#include "aria/ar_robot.h"
#include "map/map_file.h"

// Defined in creation order: static objects of one translation unit are constructed
// in this order and destroyed in the reverse one.
ArMutex modeMutex(true);
GuardedPose goalPose;
GuardedPose wPose;
ArMutex jRecordMutex(true);
JRecord jRecord;
ArMutex exitMutex(true);
std::string agentId;
ArMutex peerTableMutex(true);
PeerTable peerTable;
WayReports wayReports;
ArRobot* robot = nullptr;
ConnHandler* connHandler = nullptr;
ArSonarDevice* sonar = nullptr;
ArAnalogGyro* gyro = nullptr;
ArSick* laser = nullptr;
ArTcpConnection* tcpConnection = nullptr;
Deferred<OccupancyMap> globalMap;
Deferred<OccupancyMap> localMap;

std::string mapDirectory;
MapModel mapModel = MapModel::Ray;
bool localizing = false;
GuardedPose poseCorrection;

int mode = MODE_ERRATIC;
int exitFlag = 0;

void GuardedPose::store(const ArPose& p) {
  ArLockGuard hold(mutex);
  pose = p;
}

ArPose GuardedPose::read() {
  ArLockGuard hold(mutex);
  return pose;
}

void createMaps() {
  globalMap.create(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  localMap.create(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
}

void destroyMaps() {
  localMap.destroy();
  globalMap.destroy();
}

void setMode(int value) {
  ArLockGuard hold(modeMutex);
  mode = value;
}

void setExitFlag(int value) {
  ArLockGuard hold(exitMutex);
  exitFlag = value;
}

int getMode() {
  ArLockGuard hold(modeMutex);
  return mode;
}

int getExitFlag() {
  ArLockGuard hold(exitMutex);
  return exitFlag;
}

RobotLockGuard::RobotLockGuard() { robot->lock(); }
RobotLockGuard::~RobotLockGuard() { robot->unlock(); }

bool robotUp() {
  if (robot == nullptr) return false;
  RobotLockGuard hold;
  return robot->isConnected() && robot->isRunning();
}

bool robotStalled() {
  RobotLockGuard hold;
  int stall = robot->getStallValue();
  return (stall & 0x0001) != 0 || (stall & 0x0100) != 0;
}

std::string mapFilePath(const char* fileName) {
  if (mapDirectory.empty()) return fileName;
  return mapDirectory + (mapDirectory.back() == '/' ? "" : "/") + fileName;
}

bool readGlobalMapFile(MapFileProblem& problem) {
  return readMapFile(*globalMap, mapFilePath(GLOBAL_MAP_FILE).c_str(), problem);
}
