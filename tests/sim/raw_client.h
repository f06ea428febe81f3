#pragma once
// A byte-level test client of the robot protocol: sends exact bytes and reads framed
// packets, with timeouts, over a real TCP connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "aria/ar_packet.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes hexBytes(const std::string& hex) {
  Bytes out;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    myFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    myConnected = ::connect(myFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return myConnected; }
  void close() {
    if (myFd >= 0) ::close(myFd);
    myFd = -1;
  }

  bool send(const Bytes& bytes) { return sendRaw(bytes.data(), bytes.size()); }
  bool send(const arproto::Packet& p) { return sendRaw(p.bytes, p.size); }
  bool sendRaw(const uint8_t* data, size_t n) {
    return ::send(myFd, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
  }

  // Next framed packet within timeoutMs (0: only what has already arrived).
  bool next(arproto::Packet& out, int timeoutMs = 1000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (myFramer.next(out)) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (!readSome(static_cast<int>(std::max<long long>(left, 0)))) return false;
    }
  }
  // Next packet whose first payload byte is type, skipping others.
  bool nextOfType(uint8_t type, arproto::Packet& out, int timeoutMs = 1000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !next(out, static_cast<int>(left))) return false;
      if (out.type() == type || (type == 0x32 && out.type() == 0x33)) return true;
    }
  }
  // Raw bytes that arrive within timeoutMs (no framing), for exact comparisons.
  Bytes readRaw(size_t want, int timeoutMs = 1000) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{myFd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      uint8_t buf[256];
      const ssize_t n = ::recv(myFd, buf, std::min(sizeof buf, want - got.size()), 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
  // True when the server closed the connection within timeoutMs.
  bool waitForEof(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{myFd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      uint8_t buf[4096];
      if (::recv(myFd, buf, sizeof buf, 0) <= 0) return true;
    }
  }
  // Full handshake and OPEN; true when the first SIP arrives.
  bool openSession() {
    arproto::Packet p;
    for (uint8_t sync : {arproto::SYNC0, arproto::SYNC1, arproto::SYNC2}) {
      if (!send(arproto::makeCommand(sync)) || !nextOfType(sync, p)) return false;
    }
    return send(arproto::makeCommand(arproto::OPEN)) && nextOfType(0x32, p);
  }

 private:
  bool readSome(int timeoutMs) {
    pollfd p{myFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    uint8_t buf[2048];
    const ssize_t n = ::recv(myFd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    // Only called once the framer holds less than one packet, so 2 KiB always fit.
    myFramer.feed(buf, static_cast<size_t>(n));
    return true;
  }

  int myFd = -1;
  bool myConnected = false;
  arproto::Framer myFramer;
};

}  // namespace simtest
