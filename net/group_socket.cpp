#include "net/group_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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
  return true;
}

bool GroupSocket::sendTo(const sockaddr_in& to, const char* bytes, size_t length) const {
  return sendto(myFd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(length);
}

long GroupSocket::receive(char* buffer, size_t size) const {
  if (myFd < 0) return -1;
  const ssize_t n = recv(myFd, buffer, size, 0);
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}
