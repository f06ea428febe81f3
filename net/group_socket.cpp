#include "net/group_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "base/console.h"

sockaddr_in groupSocketAddress() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(MCAST_PORT);
  inet_pton(AF_INET, MCAST_GROUP, &address.sin_addr);
  return address;
}

GroupSocket& GroupSocket::operator=(GroupSocket&& other) noexcept {
  if (this != &other) {
    close();
    myFd = std::exchange(other.myFd, -1);
  }
  return *this;
}

void GroupSocket::close() {
  if (myFd < 0) return;
  ::close(myFd);
  myFd = -1;
}

bool GroupSocket::create(int protocol) {
  close();
  myFd = socket(AF_INET, SOCK_DGRAM, protocol);
  return myFd >= 0;
}

bool GroupSocket::setOption(int level, int name, const void* value, size_t size) {
  return setsockopt(myFd, level, name, value, static_cast<socklen_t>(size)) == 0;
}

bool GroupSocket::reuseAddress() {
  const int on = 1;
  return setOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool GroupSocket::bindGroupPort() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(MCAST_PORT);
  return bind(myFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool GroupSocket::changeMembership(int option, in_addr group) {
  ip_mreq request{};
  request.imr_multiaddr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return setOption(IPPROTO_IP, option, &request, sizeof request);
}

bool GroupSocket::join(in_addr group) { return changeMembership(IP_ADD_MEMBERSHIP, group); }
bool GroupSocket::leave(in_addr group) { return changeMembership(IP_DROP_MEMBERSHIP, group); }

bool GroupSocket::setTimeToLive(int ttl) { return setOption(IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl); }

bool GroupSocket::setLoopback(bool on) {
  const unsigned char loop = on ? 1 : 0;
  return setOption(IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
}

// As a timeval, the form this platform reads, so that the time-out really is ms.
bool GroupSocket::setReceiveTimeout(int ms) {
  timeval timeout{};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = (ms % 1000) * 1000;
  return setOption(SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

int GroupSocket::receiveBufferSize() const {
  int granted = 0;
  socklen_t size = sizeof granted;
  return getsockopt(myFd, SOL_SOCKET, SO_RCVBUF, &granted, &size) == 0 ? granted : -1;
}

// A process allowed to administer the network (CAP_NET_ADMIN) may go beyond the cap.
// The kernel's count of the datagrams it dropped for want of room comes with every
// datagram received from then on, so a loss is told when it happens (reportLosses).
int GroupSocket::enlargeReceiveBuffer() {
  const int asked = GROUP_RECEIVE_BUFFER_BYTES;
  setOption(SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
  int granted = receiveBufferSize();
  if (granted >= 0 && granted < 2 * asked && setOption(SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked)) {
    granted = receiveBufferSize();
  }
  const int on = 1;
  setOption(SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  return granted;
}

void GroupSocket::reportLosses(const msghdr& header) const {
  static std::atomic<bool> told{false};
  const uint32_t dropped = droppedBefore(header);
  if (dropped == 0 || told.load() || told.exchange(true)) return;
  const int granted = receiveBufferSize();
  char line[256];
  if (granted < 2 * GROUP_RECEIVE_BUFFER_BYTES) {
    std::snprintf(line, sizeof line,
                  "group socket: %u datagram%s lost to a full receive buffer of %d bytes, capped by "
                  "net.core.rmem_max = %d; raise the cap with: sysctl -w net.core.rmem_max=%d",
                  dropped, dropped == 1 ? "" : "s", granted, granted / 2, GROUP_RECEIVE_BUFFER_BYTES);
  } else {
    std::snprintf(line, sizeof line,
                  "group socket: %u datagram%s lost to a full receive buffer of %d bytes: this computer does not "
                  "keep up with the group",
                  dropped, dropped == 1 ? "" : "s", granted);
  }
  writeLine(stderr, line);
}

bool GroupSocket::stampArrivals() {
  const int on = 1;
  return setOption(SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

bool GroupSocket::fail(std::string& error, const std::string& step) {
  error = step + ": " + std::strerror(errno);
  close();
  return false;
}

bool GroupSocket::openForSending(std::string& error) {
  if (!create()) return fail(error, "cannot create a UDP socket");
  if (!setTimeToLive(MCAST_TTL)) return fail(error, "cannot set the multicast time-to-live");
  if (!setLoopback(true)) return fail(error, "cannot turn multicast loopback on");
  return true;
}

bool GroupSocket::openForListening(std::string& error) {
  if (!openForSending(error)) return false;
  if (!reuseAddress()) return fail(error, "cannot set address reuse");
  if (!bindGroupPort()) return fail(error, "cannot bind port " + std::to_string(MCAST_PORT));
  if (!join(groupSocketAddress().sin_addr)) return fail(error, std::string("cannot join multicast group ") + MCAST_GROUP);
  setReceiveTimeout(RECV_TIMEOUT_MS);
  enlargeReceiveBuffer();
  return true;
}

bool GroupSocket::sendTo(const sockaddr_in& to, const char* bytes, size_t length) const {
  return sendto(myFd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(length);
}

size_t GroupSocket::sendEach(const sockaddr_in& to, const iovec* datagrams, size_t count) const {
  mmsghdr headers[SEND_BATCH] = {};
  count = count < SEND_BATCH ? count : SEND_BATCH;
  for (size_t i = 0; i < count; ++i) {
    headers[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
    headers[i].msg_hdr.msg_namelen = sizeof to;
    headers[i].msg_hdr.msg_iov = const_cast<iovec*>(&datagrams[i]);
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  size_t sent = 0;
  for (size_t next = 0; next < count;) {
    const int n = sendmmsg(myFd, headers + next, static_cast<unsigned>(count - next), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      next += static_cast<size_t>(n);
    } else {
      ++next;  // that datagram failed; the rest still go
    }
  }
  return sent;
}

namespace {

bool waitedInVain() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

long GroupSocket::receive(char* buffer, size_t size) const {
  if (myFd < 0) {
    errno = EBADF;
    return -1;
  }
  iovec vector{buffer, size};
  ReceiveBatch::Control control;
  msghdr header{};
  header.msg_iov = &vector;
  header.msg_iovlen = 1;
  header.msg_control = &control;
  header.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(myFd, &header, 0);
  if (n < 0) return waitedInVain() ? 0 : -1;
  reportLosses(header);
  return n;
}

long GroupSocket::receiveBatch(ReceiveBatch& batch) const {
  if (myFd < 0) {
    errno = EBADF;
    return -1;
  }
  batch.rearm();
  const int n = recvmmsg(myFd, batch.myHeaders.data(), static_cast<unsigned>(batch.capacity()), MSG_WAITFORONE,
                         nullptr);
  if (n < 0) return waitedInVain() ? 0 : -1;
  if (n > 0) reportLosses(batch.myHeaders[static_cast<size_t>(n) - 1].msg_hdr);
  return n;
}

ReceiveBatch::ReceiveBatch(size_t capacity, size_t bufferSize)
    : myBufferSize(bufferSize),
      myBytes(capacity * bufferSize),
      myHeaders(capacity),
      myVectors(capacity),
      mySources(capacity),
      myControls(capacity) {
  for (size_t i = 0; i < capacity; ++i) {
    myVectors[i] = iovec{data(i), bufferSize};
    msghdr& header = myHeaders[i].msg_hdr;
    header.msg_iov = &myVectors[i];
    header.msg_iovlen = 1;
    header.msg_name = &mySources[i];
    header.msg_control = &myControls[i];
  }
}

// The kernel shortens the name and control lengths to what it wrote; every receive
// starts from the full sizes again.
void ReceiveBatch::rearm() {
  for (mmsghdr& m : myHeaders) {
    m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    m.msg_hdr.msg_controllen = sizeof(Control);
    m.msg_hdr.msg_flags = 0;
    m.msg_len = 0;
  }
}

void pauseWhenBusy(long received, const ReceiveBatch& batch) {
  if (received > 1 && static_cast<size_t>(received) < batch.capacity()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(BUSY_GROUP_PAUSE_MS));
  }
}

namespace {

// The control message of this level and type that came with a datagram, or null.
const cmsghdr* findControl(const msghdr& header, int level, int type) {
  for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == level && c->cmsg_type == type) return c;
  }
  return nullptr;
}

}  // namespace

uint32_t GroupSocket::droppedBefore(const msghdr& header) {
  const cmsghdr* c = findControl(header, SOL_SOCKET, SO_RXQ_OVFL);
  uint32_t dropped = 0;
  if (c != nullptr) std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
  return dropped;
}

timespec ReceiveBatch::arrival(size_t i) const {
  const cmsghdr* c = findControl(myHeaders[i].msg_hdr, SOL_SOCKET, SCM_TIMESTAMPNS);
  timespec stamp{};
  if (c != nullptr) std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
  return stamp;
}
