#include "tests/support/script_server.h"
#include "tests/support/test_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "aria/ar_time.h"

namespace testsrv {

ReadResult readPacket(int fd, arproto::Framer& framer, arproto::Packet& out, int timeoutMs) {
  int64_t deadline = ArTime::nowMSec() + timeoutMs;
  for (;;) {
    if (framer.next(out)) return ReadResult::Packet;
    int64_t left = deadline - ArTime::nowMSec();
    if (left <= 0) return ReadResult::Timeout;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buf[512];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return ReadResult::Closed;
    framer.feed(buf, static_cast<size_t>(n));
  }
}

bool sendBytes(int fd, const uint8_t* data, size_t n) {
  return ::send(fd, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

bool sendPacket(int fd, const arproto::Packet& p) { return sendBytes(fd, p.bytes, p.size); }

arproto::Packet makeSip(const SipState& s) {
  uint8_t payload[64 + 3 * 32] = {};
  payload[0] = (s.leftVel || s.rightVel) ? 0x33 : 0x32;
  arproto::writeU16(payload + 1, s.xRaw);
  arproto::writeU16(payload + 3, s.yRaw);
  arproto::writeU16(payload + 5, static_cast<uint16_t>(s.thRaw));
  arproto::writeU16(payload + 7, static_cast<uint16_t>(s.leftVel));
  arproto::writeU16(payload + 9, static_cast<uint16_t>(s.rightVel));
  payload[11] = 125;
  arproto::writeU16(payload + 12, s.stall);
  arproto::writeU16(payload + 16, s.flags);
  payload[19] = static_cast<uint8_t>(s.sonar.size());
  size_t at = 20;
  for (const auto& [disc, range] : s.sonar) {
    payload[at] = disc;
    arproto::writeU16(payload + at + 1, range);
    at += 3;
  }
  at += 12;  // GRIP_STATE .. FAULTFLAGS, all zero
  arproto::Packet p;
  arproto::makePacket(payload, at, p);
  return p;
}

arproto::Packet makeIdentity(const char* name, const char* cls, const char* subclass) {
  uint8_t payload[80];
  size_t at = 0;
  payload[at++] = 2;
  for (const char* s : {name, cls, subclass}) {
    size_t n = std::strlen(s) + 1;
    std::memcpy(payload + at, s, n);
    at += n;
  }
  arproto::Packet p;
  arproto::makePacket(payload, at, p);
  return p;
}

ScriptServer::ScriptServer(std::function<void(int)> session) : mySession(std::move(session)) {
  myListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(myListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(myListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(myListen, 4);
  socklen_t len = sizeof addr;
  ::getsockname(myListen, reinterpret_cast<sockaddr*>(&addr), &len);
  myPort = ntohs(addr.sin_port);
  myThread = std::thread([this] { acceptLoop(); });
}

ScriptServer::~ScriptServer() {
  myStop = true;
  ::shutdown(myListen, SHUT_RDWR);
  myThread.join();
  ::close(myListen);
}

void ScriptServer::acceptLoop() {
  while (!myStop.load()) {
    pollfd p{myListen, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(myListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++myAccepted;
    mySession(fd);
    ::close(fd);
  }
}

FakeRobot::FakeRobot(std::string subclass)
    : mySubclass(std::move(subclass)), myServer([this](int fd) { session(fd); }) {}

void FakeRobot::update(const std::function<void(SipState&)>& f) {
  std::lock_guard<std::mutex> hold(myMutex);
  f(myState);
}

std::vector<arproto::Packet> FakeRobot::received() {
  std::lock_guard<std::mutex> hold(myMutex);
  return myReceived;
}

std::vector<int> FakeRobot::receivedCommands() {
  std::vector<int> out;
  for (const arproto::Packet& p : received()) out.push_back(p.type());
  return out;
}

std::vector<arproto::Packet> FakeRobot::receivedOf(uint8_t command) {
  std::vector<arproto::Packet> out;
  for (const arproto::Packet& p : received()) {
    if (p.type() == command) out.push_back(p);
  }
  return out;
}

void FakeRobot::clearReceived() {
  std::lock_guard<std::mutex> hold(myMutex);
  myReceived.clear();
}

void FakeRobot::handle(const arproto::Packet& p, bool& open) {
  std::lock_guard<std::mutex> hold(myMutex);
  myReceived.push_back(p);
  int arg = 0;
  bool hasArg = arproto::readIntArg(p.payload(), p.payloadSize(), arg);
  switch (p.type()) {
    case arproto::CLOSE: open = false; break;
    case arproto::SETO: myState.xRaw = myState.yRaw = 0; myState.thRaw = 0; break;
    case arproto::ENABLE:
      if (hasArg && !myIgnoreEnable) myState.flags = static_cast<uint16_t>(arg ? (myState.flags | 1) : (myState.flags & ~1));
      break;
    case arproto::SONAR:
      if (hasArg) myState.flags = static_cast<uint16_t>(arg ? (myState.flags | 6) : (myState.flags & ~6));
      break;
    default: break;
  }
}

// A SIP with a broken checksum, a header with an impossible count, a truncated SIP
// and stray bytes, before the real SIP goes out.
void FakeRobot::sendNoise(int fd, const arproto::Packet& sip) {
  arproto::Packet bad = sip;
  bad.bytes[bad.size - 1] ^= 0x55;
  sendPacket(fd, bad);
  const uint8_t junk[] = {0xFA, 0xFB, 0x01, 0x33, 0xFA, 0x00, 0xFB, 0xFA, 0xFB, 0xFA};
  sendBytes(fd, junk, sizeof junk);
  sendBytes(fd, sip.bytes, sip.size / 2);
}

// SIPs as from an open session, until the client sends CLOSE.
bool FakeRobot::staleSession(int fd, arproto::Framer& framer) {
  arproto::Packet p;
  for (;;) {
    sendPacket(fd, makeSip(SipState()));
    ReadResult r = readPacket(fd, framer, p, 100);
    if (r == ReadResult::Closed || myServer.stopping()) return false;
    if (r == ReadResult::Packet) {
      std::lock_guard<std::mutex> hold(myMutex);
      myReceived.push_back(p);
      if (p.type() == arproto::CLOSE) return true;
    }
  }
}

// Wait state: echo SYNC0/SYNC1, answer SYNC2, then wait for OPEN.
bool FakeRobot::handshake(int fd, arproto::Framer& framer) {
  arproto::Packet p;
  int stage = 0;
  while (stage < 4) {
    ReadResult r = readPacket(fd, framer, p, 100);
    if (r == ReadResult::Closed || myServer.stopping() || myDrop.exchange(false)) return false;
    if (r == ReadResult::Timeout) continue;
    {
      std::lock_guard<std::mutex> hold(myMutex);
      myReceived.push_back(p);
    }
    uint8_t c = p.type();
    if (c == 0) {
      sendPacket(fd, p);
      stage = 1;
    } else if (c == 1 && stage == 1) {
      sendPacket(fd, p);
      stage = 2;
    } else if (c == 2 && stage == 2) {
      sendPacket(fd, makeIdentity("fakebot", "Pioneer", mySubclass.c_str()));
      stage = 3;
    } else if (c == 1 && stage == 3) {
      stage = 4;
    }
  }
  return true;
}

void FakeRobot::openSession(int fd, arproto::Framer& framer) {
  arproto::Packet p;
  bool open = true;
  int64_t nextSip = ArTime::nowMSec();
  while (open && !myServer.stopping() && !myDrop.exchange(false)) {
    if (myStall.exchange(false)) {
      sendBytes(fd, makeSip(SipState()).bytes, 10);
      while (!myServer.stopping() && readPacket(fd, framer, p, 50) != ReadResult::Closed) {
      }
      return;
    }
    if (ArTime::nowMSec() >= nextSip) {
      SipState s;
      {
        std::lock_guard<std::mutex> hold(myMutex);
        myState.xRaw = static_cast<uint16_t>((myState.xRaw + myStepX.load()) & 0x7FFF);
        s = myState;
        if (!myState.repeatSonar) myState.sonar.clear();
      }
      arproto::Packet sip = makeSip(s);
      if (myNoise) sendNoise(fd, sip);
      sendPacket(fd, sip);
      nextSip += 100;
    }
    int wait = static_cast<int>(std::max<int64_t>(1, nextSip - ArTime::nowMSec()));
    ReadResult r = readPacket(fd, framer, p, wait);
    if (r == ReadResult::Closed) return;
    if (r == ReadResult::Packet) handle(p, open);
  }
}

void FakeRobot::session(int fd) {
  arproto::Framer framer;
  if (myStale.exchange(false) && !staleSession(fd, framer)) return;
  if (handshake(fd, framer)) openSession(fd, framer);
}

}  // namespace testsrv

namespace testsrv {

int unusedPort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(s);
  return ntohs(addr.sin_port);
}

}  // namespace testsrv
