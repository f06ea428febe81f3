#include "tools/lib/group_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/mcast_socket.h"

namespace {

std::string reason(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

}  // namespace

GroupSocket::~GroupSocket() {
  if (myFd >= 0) close(myFd);
}

bool GroupSocket::open(std::string& error) {
  myGroup.sin_family = AF_INET;
  myGroup.sin_port = htons(MCAST_PORT);
  inet_pton(AF_INET, MCAST_GROUP, &myGroup.sin_addr);
  myFd = socket(AF_INET, SOCK_DGRAM, 0);
  if (myFd < 0) {
    error = reason("cannot create a UDP socket");
    return false;
  }
  return true;
}

bool GroupSocket::openForSending(std::string& error) {
  if (!open(error)) return false;
  int ttl = MCAST_TTL;
  if (setsockopt(myFd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    error = reason("cannot set the multicast time-to-live");
    return false;
  }
  return true;
}

bool GroupSocket::openForListening(std::string& error) {
  if (!open(error)) return false;
  int reuse = 1;
  if (setsockopt(myFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    error = reason("cannot set address reuse");
    return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(MCAST_PORT);
  if (bind(myFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    error = reason("cannot bind port 60001");
    return false;
  }
  ip_mreq request{};
  request.imr_multiaddr = myGroup.sin_addr;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  if (setsockopt(myFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
    error = reason("cannot join multicast group 239.0.0.77");
    return false;
  }
  timeval timeout{0, RECV_TIMEOUT_MS * 1000};
  setsockopt(myFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return true;
}

bool GroupSocket::send(const char* bytes, size_t length) {
  return sendto(myFd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&myGroup), sizeof myGroup) ==
         static_cast<ssize_t>(length);
}

long GroupSocket::receive(char* buffer, size_t size) {
  ssize_t n = recv(myFd, buffer, size, 0);
  if (n >= 0) return n;
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}
