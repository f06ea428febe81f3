#include "robot/server_reach.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// 0 when a TCP connection to the address completes within timeoutMs, else the errno.
int tryConnect(const addrinfo& address, int timeoutMs) {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) return errno;
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) error = errno;
  if (error == EINPROGRESS) {
    pollfd waiting{fd, POLLOUT, 0};
    int ready = 0;
    do {
      ready = ::poll(&waiting, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    socklen_t size = sizeof error;
    if (ready <= 0) {
      error = ETIMEDOUT;
    } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
      error = errno;
    }
  }
  ::close(fd);
  return error;
}

}  // namespace

std::string serverReachProblem(const std::string& host, int port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); status != 0) {
    return std::string("cannot resolve the name: ") + ::gai_strerror(status);
  }
  // The reason given by the last address tried, as the robot library tries them in order.
  int error = 0;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    error = tryConnect(*a, timeoutMs);
    if (error == 0) break;
  }
  ::freeaddrinfo(found);
  return error == 0 ? std::string() : std::strerror(error);
}

std::string connectionAdvice(const std::string& host, int port, const std::string& problem) {
  const std::string where = host + ":" + std::to_string(port);
  if (problem.empty()) {
    return "The robot server at " + where +
           " took the connection but did not complete the robot handshake: is it a robot server (robosim, or "
           "the robot's own)? Another one can be given with --server HOST:PORT";
  }
  return "No robot server at " + where + " (" + problem +
         "): start robosim, or the robot's own server, there; or give the agent another one with --server HOST:PORT";
}
