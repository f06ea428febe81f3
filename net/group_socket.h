#pragma once
// The agents' multicast group and the one UDP socket type every program uses on it.
// Agents bind MCAST_PORT on every interface with address reuse (several agents may
// share a computer), join MCAST_GROUP, and send to the group with MCAST_TTL and
// multicast loopback on, so every agent, the sender included, receives every message.
// Tools open the same socket to send only, or to listen the way an agent does.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

constexpr const char* MCAST_GROUP = "239.0.0.77";
constexpr int MCAST_PORT = 60001;
constexpr int MCAST_TTL = 16;
constexpr int RECV_TIMEOUT_MS = 100;
// The receive buffer a listening socket asks for: bursts of a group of thousands of
// agents (about 64 000 datagrams a second from 2000) must wait there while the receiver
// waits for a core. The kernel caps the request at net.core.rmem_max.
constexpr int GROUP_RECEIVE_BUFFER_BYTES = 16 << 20;

// The group's address and port, from the numeric group address (no name look-up).
sockaddr_in groupSocketAddress();

// Buffers for the datagrams one receiveBatch call takes: up to capacity datagrams, each
// cut to bufferSize bytes, with its sender and, where the socket stamps arrivals, the
// time the kernel received it.
class ReceiveBatch {
 public:
  ReceiveBatch(size_t capacity, size_t bufferSize);
  ReceiveBatch(const ReceiveBatch&) = delete;
  ReceiveBatch& operator=(const ReceiveBatch&) = delete;

  size_t capacity() const { return myHeaders.size(); }
  size_t bufferSize() const { return myBufferSize; }
  // Datagram i of the last receiveBatch: its buffer (bufferSize bytes, the first
  // length(i) received), whether it was longer than the buffer, who sent it, and when
  // it arrived (zero unless the socket stamps arrivals).
  char* data(size_t i) { return myBytes.data() + i * myBufferSize; }
  size_t length(size_t i) const { return myHeaders[i].msg_len; }
  bool truncated(size_t i) const { return (myHeaders[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
  const sockaddr_in& source(size_t i) const { return mySources[i]; }
  timespec arrival(size_t i) const;

 private:
  friend class GroupSocket;
  // Control space for an arrival stamp and the count of dropped datagrams, aligned as
  // the kernel writes them.
  union Control {
    cmsghdr header;
    char space[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
  };
  void rearm();

  size_t myBufferSize;
  std::vector<char> myBytes;
  std::vector<mmsghdr> myHeaders;
  std::vector<iovec> myVectors;
  std::vector<sockaddr_in> mySources;
  std::vector<Control> myControls;
};

// After a batch that brought several datagrams without filling up, a busy group is
// better read after a short pause (BUSY_GROUP_PAUSE_MS): the next batch then comes
// fuller, instead of a wake-up per datagram, which costs more than the messages. A
// datagram waits at most that long in the socket's buffer; a quiet group causes no pause.
constexpr int BUSY_GROUP_PAUSE_MS = 1;
void pauseWhenBusy(long received, const ReceiveBatch& batch);

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
  // Asks for GROUP_RECEIVE_BUFFER_BYTES of receive buffer and returns what the kernel
  // granted (it doubles the request for its own bookkeeping), or -1. From then on the
  // first datagram received after the kernel dropped some for want of room brings one
  // line per process on standard error: how many were lost, the granted size and, where
  // net.core.rmem_max capped it, the sysctl that raises the cap.
  int enlargeReceiveBuffer();
  int receiveBufferSize() const;
  // Has the kernel stamp every datagram with its arrival time (ReceiveBatch::arrival).
  bool stampArrivals();

  // A socket that sends to the group (time-to-live MCAST_TTL, loopback on), or one that
  // also listens as an agent does (address reuse, MCAST_PORT bound, a member of the
  // group, RECV_TIMEOUT_MS receive time-out, an enlarged receive buffer). False with a one-line reason in error;
  // no socket is held then.
  bool openForSending(std::string& error);
  bool openForListening(std::string& error);

  // One datagram of length bytes; true when all of it was sent.
  bool sendTo(const sockaddr_in& to, const char* bytes, size_t length) const;
  // Each of the count datagrams (at most SEND_BATCH), in as few calls as the kernel
  // allows; a datagram that fails is skipped. Returns how many were sent.
  static constexpr size_t SEND_BATCH = 64;
  size_t sendEach(const sockaddr_in& to, const iovec* datagrams, size_t count) const;
  // The next datagram into buffer: its length; 0 when none came within the receive
  // time-out or the wait was interrupted; -1 on any other failure, or with no socket.
  long receive(char* buffer, size_t size) const;
  // The datagrams waiting, up to the batch's capacity: waits for the first as receive
  // does, then takes what has already arrived without waiting. Returns how many (their
  // lengths as receive gives them); 0 when none came within the time-out or the wait was
  // interrupted; -1 on any other failure (errno says why), or with no socket (EBADF).
  long receiveBatch(ReceiveBatch& batch) const;

  bool isOpen() const { return myFd >= 0; }
  int fd() const { return myFd; }
  void close();

 private:
  bool setOption(int level, int name, const void* value, size_t size);
  // The kernel's count of this socket's dropped datagrams that came with a datagram.
  static uint32_t droppedBefore(const msghdr& header);
  void reportLosses(const msghdr& header) const;
  bool changeMembership(int option, in_addr group);
  bool fail(std::string& error, const std::string& step);

  int myFd = -1;
};
