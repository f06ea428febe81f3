#pragma once
// The agents' multicast group and the one UDP socket type every program uses on it.
// Agents bind MCAST_PORT on every interface with address reuse (several agents may
// share a computer), join MCAST_GROUP, and send to the group with MCAST_TTL and
// multicast loopback on, so every agent, the sender included, receives every message.
// Tools open the same socket to send only, or to listen the way an agent does.
#include <netinet/in.h>

#include <cstddef>
#include <string>

constexpr const char* MCAST_GROUP = "239.0.0.77";
constexpr int MCAST_PORT = 60001;
constexpr int MCAST_TTL = 16;
constexpr int RECV_TIMEOUT_MS = 100;

// The group's address and port, from the numeric group address (no name look-up).
sockaddr_in groupSocketAddress();

// A UDP socket, closed when the object goes. A default-built or moved-from object holds
// no socket. Each step below is one system call and returns false with errno set by it.
class GroupSocket {
 public:
  GroupSocket() = default;
  ~GroupSocket() { close(); }
  GroupSocket(GroupSocket&& other) noexcept : myFd(other.myFd) { other.myFd = -1; }
  GroupSocket& operator=(GroupSocket&& other) noexcept;
  GroupSocket(const GroupSocket&) = delete;
  GroupSocket& operator=(const GroupSocket&) = delete;

  // A new IPv4 datagram socket (any socket held before is closed first).
  bool create(int protocol = 0);
  bool reuseAddress();
  // Binds MCAST_PORT on every interface.
  bool bindGroupPort();
  bool join(in_addr group);
  bool leave(in_addr group);
  bool setTimeToLive(int ttl);
  bool setLoopback(bool on);
  bool setReceiveTimeout(int ms);

  // A socket that sends to the group (time-to-live MCAST_TTL, loopback on), or one that
  // also listens as an agent does (address reuse, MCAST_PORT bound, a member of the
  // group, RECV_TIMEOUT_MS receive time-out). False with a one-line reason in error;
  // no socket is held then.
  bool openForSending(std::string& error);
  bool openForListening(std::string& error);

  // One datagram of length bytes; true when all of it was sent.
  bool sendTo(const sockaddr_in& to, const char* bytes, size_t length) const;
  // The next datagram into buffer: its length; 0 when none came within the receive
  // time-out or the wait was interrupted; -1 on any other failure, or with no socket.
  long receive(char* buffer, size_t size) const;

  bool isOpen() const { return myFd >= 0; }
  int fd() const { return myFd; }
  void close();

 private:
  bool setOption(int level, int name, const void* value, size_t size);
  bool changeMembership(int option, in_addr group);
  bool fail(std::string& error, const std::string& step);

  int myFd = -1;
};
