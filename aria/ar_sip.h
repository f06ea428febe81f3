#pragma once
// Decoding of the server's standard information packets (SIPs) and of the identity
// reply to SYNC2, the robot-model conversion factors, and odometry unwrapping.
#include <cstddef>
#include <cstdint>
#include <string>

#include "aria/ar_packet.h"
#include "aria/ar_pose.h"

namespace arproto {

constexpr int kNoEcho = 5000;        // a sonar range at or above this means nothing was sensed
constexpr int kMaxSonarDiscs = 32;   // disc numbers the packet format can carry
constexpr int kGeometryDiscs = 16;   // discs whose mounting is known (P3-DX rings)
constexpr int kMaxSipReadings = (kMaxCount - 2 - 20) / 3;

// Conversion factors of one robot model.
struct RobotParams {
  double distConv = 1.0;    // XPOS/YPOS units -> mm
  double velConv = 1.0;     // wheel velocity units -> mm/s
  double rangeConv = 1.0;   // sonar range units -> mm
  double diffConv = 0.0056; // (R - L) * diffConv / 2 -> rad/s
};
// Factors for a subclass string (case-insensitive). known is false for an unrecognised
// subclass, which gets the p3dx-sh factors.
RobotParams paramsForSubclass(const std::string& subclass, bool& known);

// One sonar transducer: mounting position (mm) and heading (degrees) in the robot frame.
struct SonarMount {
  double x, y, th;
};
const SonarMount& sonarMount(int disc);

// A point sensed by disc at range (mm), in the robot frame.
ArPose sonarPointInRobotFrame(int disc, double range);

struct SonarReading {
  uint8_t disc;
  uint16_t range;
};

// The fields of a standard SIP, as raw protocol values.
struct Sip {
  uint8_t type = 0;
  uint16_t xRaw = 0, yRaw = 0;
  int16_t thRaw = 0;
  int16_t leftVel = 0, rightVel = 0;
  uint8_t battery = 0;
  uint16_t stall = 0;
  int16_t control = 0;
  uint16_t flags = 0;
  int sonarCount = 0;
  SonarReading sonar[kMaxSipReadings] = {};
  bool hasRotVel = false;
  int16_t rotVel = 0;  // 0.1 deg/s
};

inline bool isStandardSipType(uint8_t type) { return type >= 0x30 && type <= 0x34; }

// Decodes a standard SIP payload (type byte first). False when the type is not a
// standard SIP or the payload is too short for the fields it announces.
bool decodeSip(const uint8_t* payload, size_t len, Sip& out);

// Robot identity from the SYNC2 reply payload (02, name, class, subclass). Strings end
// at a NUL or at the end of the payload; each is cut at 19 characters and bytes that
// are not printable ASCII become '?'. False when the payload does not start with 02.
struct Identity {
  std::string name, robotClass, subclass;
};
bool decodeIdentity(const uint8_t* payload, size_t len, Identity& out);

// Heading in degrees from THPOS (4096 units per revolution), in (-180, 180].
double headingFromRaw(int16_t thRaw);

// XPOS or YPOS of one SIP read on its own, without unwrapping: the low 15 bits as a
// signed value, in mm.
double positionFromRaw(uint16_t raw, double distConv);

// Turns the 15-bit wrapping XPOS/YPOS values into unbounded positions in mm: the
// first sample sets the baseline, later ones add the shorter signed difference.
// After requestRebaseline() (sent SETO) the next sample is ignored and the one after
// it sets a new baseline.
class OdometryDecoder {
 public:
  void reset() { *this = OdometryDecoder(); }
  void setDistConv(double f) { myDistConv = f; }
  void requestRebaseline() { myState = State::SkipOne; }
  // False when the sample was discarded (the first one after SETO).
  bool update(uint16_t xRaw, uint16_t yRaw);
  bool hasPosition() const { return myState == State::Tracking; }
  double x() const { return myX; }
  double y() const { return myY; }

 private:
  enum class State { Empty, SkipOne, Tracking };
  void baseline(uint16_t xRaw, uint16_t yRaw);
  static int delta15(int raw, int prev) { return ((raw - prev + 16384 + 32768) % 32768) - 16384; }

  State myState = State::Empty;
  double myDistConv = 1.0;
  int myPrevX = 0, myPrevY = 0;
  double myX = 0, myY = 0;
};

}  // namespace arproto
