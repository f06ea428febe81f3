#pragma once
// The state the agent's threads share. Each value has its own recursive ArMutex and
// every access is one short locked step. No code holds two of these mutexes at once,
// except that the behaviours take one of them while holding the robot lock (robot
// lock first). Where both maps are touched, localMap comes first, never nested.
#include <cstdint>
#include <string>

#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"
#include "base/modes.h"
#include "map/map_file.h"
#include "map/occupancy_map.h"
#include "map/sonar_model.h"
#include "state/deferred.h"
#include "state/way_reports.h"
#include "team/peer_table.h"

class ArRobot;
class ArSonarDevice;
class ArAnalogGyro;
class ArSick;
class ArTcpConnection;
class ConnHandler;

// A pose with its own mutex; store and read each take the mutex for their whole duration.
struct GuardedPose {
  ArPose pose{0, 0, 0};
  ArMutex mutex{true};
  void store(const ArPose& p);
  ArPose read();
};

// The last J command: four reals, two 16-bit values, and when it was stored.
struct JRecord {
  double a = 0, b = 0, c = 0, d = 0;
  uint16_t u = 0, v = 0;
  int32_t stamp = 0;
};

// PeerEntry and PeerTable: team/peer_table.h.

// Creation order (static initialisation, this order, one translation unit):
extern ArMutex modeMutex;
extern GuardedPose goalPose;
extern GuardedPose wPose;
extern ArMutex jRecordMutex;
extern JRecord jRecord;
extern ArMutex exitMutex;
extern std::string agentId;
extern ArMutex peerTableMutex;
extern PeerTable peerTable;
extern WayReports wayReports;  // from the behaviours to the sensor sender (T messages)
// then the robot objects (setupRobot), then the maps (createMaps):
extern ArRobot* robot;
extern ConnHandler* connHandler;
extern ArSonarDevice* sonar;
extern ArAnalogGyro* gyro;
extern ArSick* laser;
extern ArTcpConnection* tcpConnection;
extern Deferred<OccupancyMap> globalMap;
extern Deferred<OccupancyMap> localMap;

// Plain values, zero at process start.
extern int mode;      // guarded by modeMutex
extern int exitFlag;  // guarded by exitMutex
// The group socket and the group's address belong to the network layer (net/mcast_socket.h).

// Builds globalMap then localMap, with the agent's map parameters (map/occupancy_map.h); destroyMaps() removes them in the reverse order.
void createMaps();
void destroyMaps();

void setMode(int value);
void setExitFlag(int value);
int getMode();
int getExitFlag();

// Holds the robot lock for a scope.
class RobotLockGuard {
 public:
  RobotLockGuard();
  ~RobotLockGuard();
  RobotLockGuard(const RobotLockGuard&) = delete;
  RobotLockGuard& operator=(const RobotLockGuard&) = delete;
};

// The robot is up when it is connected and its cycle runs (isRunning asked only when
// connected). robotStalled: the left or the right wheel is stalled. Both read the
// robot's state under the robot lock (recursive, so callers may already hold it).
bool robotUp();
bool robotStalled();

// The map files, in mapDirectory: the working directory when it is empty. Like agentId,
// it is set before any worker thread starts and only read afterwards.
constexpr const char* LOCAL_MAP_FILE = "map_local.ppm";
constexpr const char* GLOBAL_MAP_FILE = "map_global.ppm";
extern std::string mapDirectory;
// How readings become map updates (map/sonar_model.h); set with mapDirectory. The
// sonar model also sends the silent beams (S) of this agent's robot.
extern MapModel mapModel;
// Pose correction (--localize): whether it runs, set like mapDirectory before any worker
// starts; and how far it has moved the robot's current pose from where odometry alone
// would put it (x, y in mm, th in degrees), kept by the localizer, sent by the pose
// sender as C messages.
extern bool localizing;
extern GuardedPose poseCorrection;
// A file name in mapDirectory.
std::string mapFilePath(const char* fileName);

// Reads the global map file into globalMap; on failure problem says why. The caller
// holds globalMap's mutex.
bool readGlobalMapFile(MapFileProblem& problem);
