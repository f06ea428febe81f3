#pragma once
// Inner state of ArRobot, shared by its implementation files (connection set-up, the
// processing cycle, motion, state queries) and the library's robot registry.
#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aria/ar_packet.h"
#include "aria/ar_robot.h"
#include "aria/ar_sip.h"
#include "aria/ar_tcp_connection.h"
#include "aria/ar_transform.h"

namespace arrobot {

constexpr int kHandshakeWaitMs = 1000;
constexpr int kHandshakeSends = 3;
constexpr int kHandshakeRestarts = 2;  // CLOSE-and-restart rounds after a stray SIP
constexpr int kCloseSettleMs = 400;
constexpr int kFirstSipWaitMs = 2000;
constexpr int kLinkLossMs = 2000;
constexpr int kPulseMs = 1000;
constexpr int kRefreshMs = 1000;       // a motion command unchanged this long is sent again
constexpr int kConfirmWaitMs = 1000;
constexpr int kConfirmSends = 3;
constexpr int kReadSliceMs = 50;
constexpr int kLockSliceMs = 20;
constexpr int64_t kHistoryMs = 3000;   // pose history kept; covers the sonar's current buffer
constexpr size_t kHistoryMax = 1000;
constexpr int kSonarFreshMs = 1000;    // ranges older than this do not count as obstacles
constexpr double kNoObstacle = 1e9;
constexpr double kRobotRadius = 250;
// A first SIP of a resumed session this close to the odometric origin says the server
// reset its odometry for the new session.
constexpr double kOriginToleranceMm = 10;
constexpr double kOriginToleranceDeg = 1;

// A standard SIP as read off the link, with what the reader decoded from it.
struct Sample {
  int64_t arrivalMs = 0;
  arproto::Sip sip;
  bool positionValid = false;  // false for the first SIP after SETO
  double x = 0, y = 0;         // odometric position, mm
};

enum class RotKind { None, Heading, RotVel };
struct TransCmd {
  bool set = false;
  double vel = 0;
};
struct RotCmd {
  RotKind kind = RotKind::None;
  double value = 0;  // heading: absolute degrees in the caller's frame; rot vel: deg/s
};

// What was last written for each motion channel, so unchanged commands are not repeated.
struct SentMotion {
  bool velKnown = false;
  int vel = 0;
  int64_t velMs = 0;
  RotKind rotKind = RotKind::None;
  int rotValue = 0;
  int64_t rotMs = 0;
};

// An ENABLE or SONAR command awaiting its FLAGS bit.
struct Confirmation {
  bool pending = false;
  bool want = false;
  int sends = 0;
  int64_t deadlineMs = 0;
};

struct ActionEntry {
  ArAction* action;
  int priority;
};

enum class EndKind { Normal, Error };

}  // namespace arrobot

struct ArRobot::Impl {
  explicit Impl(ArRobot* owner) : self(owner) {}

  ArRobot* self;
  mutable ArMutex robotMutex{true};

  // Callbacks (callbackMutex).
  std::mutex callbackMutex;
  std::list<ArFunctor*> connectCBs, failedConnectCBs, disconnectNormallyCBs, disconnectOnErrorCBs;

  // Link and thread life.
  std::atomic<ArDeviceConnection*> connection{nullptr};
  std::unique_ptr<ArTcpConnection> ownConnection;
  std::atomic<bool> connected{false};
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> stopRunIfNotConnected{true};
  std::mutex threadMutex;  // guards cycleThread (never touched by the cycle thread itself)
  std::thread cycleThread;
  std::atomic<std::thread::id> cycleThreadId{};

  // Owned by whichever thread reads the link: blockingConnect, then the cycle.
  arproto::Framer framer;
  arproto::OdometryDecoder odometry;
  arproto::Identity pendingIdentity;
  std::atomic<int64_t> lastPacketMs{0};
  std::atomic<int64_t> lastPulseMs{0};

  // Robot state (robot lock).
  arproto::Identity identity;
  arproto::RobotParams params;
  std::vector<ArRangeDevice*> rangeDevices;
  std::vector<arrobot::ActionEntry> actions;
  ArPose rawPose;  // server's odometric frame
  ArPose pose;     // the caller's frame (rawPose through transform)
  ArTransform transform;
  bool frameKnown = false;  // a session has placed the robot in the caller's frame
  std::deque<ArPoseWithTime> history;
  double vel = 0, rotVel = 0;
  int stall = 0;
  int flags = 0;
  bool haveFlags = false;
  struct SonarState {
    int range = -1;
    int64_t ms = 0;
  } sonar[arproto::kMaxSonarDiscs];
  arrobot::TransCmd directTrans;
  arrobot::RotCmd directRot;
  arrobot::SentMotion sent;
  arrobot::Confirmation motorsConfirm, sonarConfirm;

  // ar_robot_connect.cpp
  bool connect();
  bool handshake(ArDeviceConnection* conn);
  int syncSteps(ArDeviceConnection* conn);
  int awaitSyncReply(ArDeviceConnection* conn, uint8_t command);
  bool openSession(ArDeviceConnection* conn);
  bool awaitSips(ArDeviceConnection* conn, int count, std::vector<arrobot::Sample>& samples);
  void settleAfterClose(ArDeviceConnection* conn);
  void resetSessionState(bool resume);
  void resumeFrame(const arrobot::Sample& first);
  bool failConnect(ArDeviceConnection* conn);
  void endSession(arrobot::EndKind kind);
  void endQuietly();
  void runCallbacks(const std::list<ArFunctor*>& list);
  bool send(const arproto::Packet& p);
  bool sendCommand(uint8_t command) { return send(arproto::makeCommand(command)); }
  bool sendCommandInt(uint8_t command, int value) { return send(arproto::makeCommandInt(command, value)); }
  void emergencyStop();

  // ar_robot_cycle.cpp
  void cycleLoop();
  bool readSamples(ArDeviceConnection* conn, int waitMs, std::vector<arrobot::Sample>& out);
  void takePacket(const arproto::Packet& p, int64_t nowMs, std::vector<arrobot::Sample>& out);
  bool lockForCycle();
  void pulseIfDue();
  void applySample(const arrobot::Sample& s);
  void feedSonar(const arrobot::Sample& s);
  void tick();
  void checkConfirmation(arrobot::Confirmation& c, uint8_t command, int bit, const char* what);
  void stopCycle(bool join);

  // ar_robot_motion.cpp
  void wantedMotion(arrobot::TransCmd& trans, arrobot::RotCmd& rot);
  void resolveActions(arrobot::TransCmd& trans, arrobot::RotCmd& rot);
  void sendTrans(const arrobot::TransCmd& t, int64_t nowMs);
  void sendRot(const arrobot::RotCmd& r, int64_t nowMs);
  int headingToServer(double heading) const;
  void requestFlag(arrobot::Confirmation& c, uint8_t command, bool on);
};

// The library's registry of live robots (aria.cpp).
namespace arrobot {
void registerRobot(ArRobot::Impl* robot);
void unregisterRobot(ArRobot::Impl* robot);
// A stop signal arrived: the process is ending and no robot may connect again.
bool processEnding();
}  // namespace arrobot
