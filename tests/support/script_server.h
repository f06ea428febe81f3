#pragma once
// Small scripted robot servers for the library tests: a listener on 127.0.0.1 with an
// ephemeral port that runs a session function for each accepted connection, and a
// fake robot session that speaks the handshake and sends SIPs from a settable state.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aria/ar_packet.h"

namespace testsrv {

enum class ReadResult { Packet, Timeout, Closed };
// Reads until a valid packet arrives, the time is up, or the peer closes.
ReadResult readPacket(int fd, arproto::Framer& framer, arproto::Packet& out, int timeoutMs);
bool sendBytes(int fd, const uint8_t* data, size_t n);
bool sendPacket(int fd, const arproto::Packet& p);

// The state a fake robot reports.
struct SipState {
  uint16_t xRaw = 0, yRaw = 0;
  int16_t thRaw = 0;
  int16_t leftVel = 0, rightVel = 0;
  uint16_t stall = 0;
  uint16_t flags = 0;
  std::vector<std::pair<uint8_t, uint16_t>> sonar;
  bool repeatSonar = false;  // send the same readings in every SIP instead of once
};
arproto::Packet makeSip(const SipState& s);
arproto::Packet makeIdentity(const char* name, const char* cls, const char* subclass);

// Accepts connections one after another and runs session(fd) for each until destroyed.
class ScriptServer {
 public:
  explicit ScriptServer(std::function<void(int fd)> session);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;
  int port() const { return myPort; }
  int accepted() const { return myAccepted.load(); }
  bool stopping() const { return myStop.load(); }

 private:
  void acceptLoop();
  int myListen = -1;
  int myPort = 0;
  std::atomic<bool> myStop{false};
  std::atomic<int> myAccepted{0};
  std::function<void(int)> mySession;
  std::thread myThread;
};

// A robot server that answers SYNC0/1/2 and OPEN, then sends a SIP every 100 ms and
// records every command packet it receives. ENABLE and SONAR set the FLAGS bits
// (unless told to ignore them); SETO zeroes the position; CLOSE ends the session.
class FakeRobot {
 public:
  explicit FakeRobot(std::string subclass = "p3dx-sh");
  int port() const { return myServer.port(); }
  // Runs f on the reported state under the fake's lock.
  void update(const std::function<void(SipState&)>& f);
  std::vector<arproto::Packet> received();
  std::vector<int> receivedCommands();
  // Packets with this command number received so far.
  std::vector<arproto::Packet> receivedOf(uint8_t command);
  void clearReceived();
  void ignoreEnable(bool ignore) { myIgnoreEnable = ignore; }
  // Ends the current session by closing the socket without a word.
  void dropConnection() { myDrop = true; }
  // Sends half a SIP and then nothing more, keeping the socket open.
  void stallMidPacket() { myStall = true; }
  // The next session starts as if an earlier one were still open: SIPs flow until CLOSE.
  void startWithStaleSession() { myStale = true; }
  // Sends damaged packets and noise between the SIPs.
  void addNoise() { myNoise = true; }
  // Added to XPOS in every SIP (position units).
  void setStepPerSip(int dx) { myStepX = dx; }

 private:
  void session(int fd);
  bool staleSession(int fd, arproto::Framer& framer);
  bool handshake(int fd, arproto::Framer& framer);
  void openSession(int fd, arproto::Framer& framer);
  void sendNoise(int fd, const arproto::Packet& sip);
  void handle(const arproto::Packet& p, bool& open);
  const std::string mySubclass;
  std::mutex myMutex;
  SipState myState;
  std::vector<arproto::Packet> myReceived;
  std::atomic<bool> myIgnoreEnable{false};
  std::atomic<bool> myDrop{false};
  std::atomic<bool> myStall{false};
  std::atomic<bool> myStale{false};
  std::atomic<int> myStepX{0};
  std::atomic<bool> myNoise{false};
  ScriptServer myServer;
};

}  // namespace testsrv
