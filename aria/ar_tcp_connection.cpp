#include "aria/ar_tcp_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "aria/ar_time.h"

namespace {

constexpr int kConnectTimeoutMs = 2000;
// A server that does not take our bytes for this long is treated as gone: a half-written
// packet would corrupt the stream anyway.
constexpr int kWriteTimeoutMs = 1000;

// Waits for events on fd for at most ms milliseconds; true when they are there.
bool waitFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

bool finishConnect(int fd, int timeoutMs) {
  if (!waitFor(fd, POLLOUT, timeoutMs)) return false;
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

// Non-blocking connect to one address, bounded by the deadline; the socket on success, -1 otherwise.
int connectOne(const addrinfo* ai, int64_t deadlineMs) {
  int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return -1;
  bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
  if (!ok && errno == EINPROGRESS) {
    int64_t left = deadlineMs - ArTime::nowMSec();
    ok = left > 0 && finishConnect(fd, static_cast<int>(left));
  }
  if (!ok) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

struct ArTcpConnection::Impl {
  std::string host = "localhost";
  int port = 8101;
  std::atomic<int> fd{-1};
  // Lock order: life, then read, then write. open/close hold life; close also takes
  // read and write so the descriptor is never closed under a reader or writer.
  std::mutex lifeMutex, readMutex, writeMutex;

  int writeAll(int s, const char* data, unsigned size);
};

ArTcpConnection::ArTcpConnection() : d(std::make_unique<Impl>()) {}

ArTcpConnection::~ArTcpConnection() { close(); }

void ArTcpConnection::setPort(const char* host, int port) {
  std::lock_guard<std::mutex> life(d->lifeMutex);
  d->host = host ? host : "localhost";
  d->port = port;
}

std::string ArTcpConnection::getHost() const {
  std::lock_guard<std::mutex> life(d->lifeMutex);
  return d->host;
}

int ArTcpConnection::getPort() const {
  std::lock_guard<std::mutex> life(d->lifeMutex);
  return d->port;
}

bool ArTcpConnection::openSimple() {
  std::lock_guard<std::mutex> life(d->lifeMutex);
  if (d->fd.load() >= 0) return true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  char service[16];
  std::snprintf(service, sizeof service, "%d", d->port);
  if (::getaddrinfo(d->host.c_str(), service, &hints, &list) != 0) return false;
  int64_t deadline = ArTime::nowMSec() + kConnectTimeoutMs;
  int fd = -1;
  for (const addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) fd = connectOne(ai, deadline);
  ::freeaddrinfo(list);
  d->fd.store(fd);
  return fd >= 0;
}

bool ArTcpConnection::close() {
  std::lock_guard<std::mutex> life(d->lifeMutex);
  int fd = d->fd.load();
  if (fd < 0) return false;
  // Wakes a reader blocked in poll so it lets go of the read lock.
  ::shutdown(fd, SHUT_RDWR);
  std::lock_guard<std::mutex> r(d->readMutex);
  std::lock_guard<std::mutex> w(d->writeMutex);
  ::close(d->fd.exchange(-1));
  return true;
}

bool ArTcpConnection::isOpen() const { return d->fd.load() >= 0; }

int ArTcpConnection::read(char* data, unsigned int size, unsigned int msWait) {
  std::lock_guard<std::mutex> r(d->readMutex);
  int fd = d->fd.load();
  if (fd < 0) return -1;
  if (size == 0) return 0;
  pollfd p{fd, POLLIN, 0};
  int ready = ::poll(&p, 1, static_cast<int>(msWait));
  if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
  if (ready < 0) return -1;
  ssize_t n = ::recv(fd, data, size, 0);
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;
}

int ArTcpConnection::Impl::writeAll(int s, const char* data, unsigned size) {
  unsigned sent = 0;
  while (sent < size) {
    ssize_t n = ::send(s, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<unsigned>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(s, POLLOUT, kWriteTimeoutMs)) continue;
    ::shutdown(s, SHUT_RDWR);
    return -1;
  }
  return static_cast<int>(size);
}

int ArTcpConnection::write(const char* data, unsigned int size) {
  std::lock_guard<std::mutex> w(d->writeMutex);
  int fd = d->fd.load();
  if (fd < 0) return -1;
  return d->writeAll(fd, data, size);
}
