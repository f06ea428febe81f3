#pragma once
// The robot-server side of one client connection: the handshake in the wait state, the
// commands of an open session, and the SIPs it sends. Works on bytes in and bytes out;
// the server moves them between the socket and the session.
#include <cstdint>
#include <vector>

#include "aria/ar_packet.h"
#include "sim/simulation.h"

namespace sim {

// The fields of a standard SIP, in protocol units.
struct SipFields {
  bool moving = false;  // TYPE 33, else 32
  uint16_t xpos = 0, ypos = 0;
  int16_t thpos = 0;
  int16_t leftVel = 0, rightVel = 0;
  uint8_t battery = 125;
  uint16_t stallAndBumpers = 0;
  int16_t control = 0;
  uint16_t flags = 0;
  std::vector<SonarReading> readings;  // at most kMaxReadingsPerSip
  int16_t rotVel = 0;                  // 0.1 deg/s
};

// Frames a SIP with every field through FAULTFLAGS.
void encodeSip(const SipFields& fields, arproto::Packet& out);
// Fills f with the SIP fields of a robot's current state; takes its pending sonar readings.
void takeSipFields(Robot& robot, SipFields& f);
// Position in SIP units: round(mm) mod 32768.
uint16_t toSipPosition(double mm);
// Heading in SIP units, 4096 per revolution, -2048..2047.
int16_t toSipAngle(double deg);

// Where the robots of a server's sessions come from: a session asks for its robot when it
// opens. A parked robot whose client may be coming back is only offered; the session's
// first command after OPEN other than PULSE settles the offer. A client that sends SETO
// first starts an odometric frame of its own, so it is a new client and gets a new robot;
// any other command takes up the offered robot and its odometry.
class RobotSource {
 public:
  // The robot of a session that opens; offered tells whether it is only on offer.
  virtual Robot& robotAtOpen(bool& offered) = 0;
  // The first command on an offered robot: SETO (newClient) or another. Returns the
  // session's robot from now on.
  virtual Robot& settleOffer(Robot& offered, bool newClient) = 0;
  // The session ended while its robot was still on offer.
  virtual void withdrawOffer(Robot& offered) = 0;

 protected:
  ~RobotSource() = default;
};

class Session {
 public:
  enum class State { Wait, GotSync0, GotSync1, GotSync2, Open };

  // A session that always drives this robot.
  Session(Simulation& sim, Robot& robot) : mySim(sim), myRobot(&robot) {}
  // A session that gets its robot from source when it opens.
  Session(Simulation& sim, RobotSource& source) : mySim(sim), myRobot(nullptr), mySource(&source) {}

  // Frames the bytes and handles every complete packet.
  void receive(const uint8_t* data, size_t n);
  void handlePacket(const arproto::Packet& packet);
  // Queues this cycle's SIP when the session is open; dropped (false) while the client
  // has not taken the previous output.
  bool sendSip();
  // The client went away: the session ends as on CLOSE.
  void disconnect() { closeSession(); }

  State state() const { return myState; }
  bool isOpen() const { return myState == State::Open; }
  uint64_t framingErrors() const { return myFramer.errors(); }
  uint64_t droppedPackets() const { return myDropped; }
  // Whether the client has sent a motion command since the session opened.
  bool sawMotion() const { return mySawMotion; }

  // Bytes waiting to be written to the client; consume what was written.
  const std::vector<uint8_t>& pendingOutput() const { return myOutput; }
  void consumeOutput(size_t n);

  // Output queued beyond this is dropped packet by packet, so a client that stops reading
  // costs a bounded amount of memory.
  static constexpr size_t kMaxOutput = 8192;

 private:
  void handleWaitState(uint8_t command);
  void handleOpenCommand(const arproto::Packet& packet);
  void handleIntCommand(uint8_t command, int value);
  void handleSonar(int value);
  void openSession();
  void startRobot();
  void settleOffer(uint8_t command);
  void closeSession();
  bool queue(const arproto::Packet& packet);

  Simulation& mySim;
  Robot* myRobot;  // null while a session with a source has not opened
  RobotSource* mySource = nullptr;
  bool myOffered = false;
  bool mySawMotion = false;
  State myState = State::Wait;
  arproto::Framer myFramer;
  std::vector<uint8_t> myOutput;
  SipFields mySip;  // reused by every SIP, so sending one allocates nothing
  uint64_t myDropped = 0;
};

}  // namespace sim
