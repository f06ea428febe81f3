#include "sim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/pose_log.h"
#include "sim/session.h"
#include "sim/simulation.h"

namespace sim {
namespace {

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : myFd(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : myFd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      myFd = other.release();
    }
    return *this;
  }
  int get() const { return myFd; }
  bool valid() const { return myFd >= 0; }
  int release() {
    const int fd = myFd;
    myFd = -1;
    return fd;
  }
  void reset() {
    if (myFd >= 0) ::close(myFd);
    myFd = -1;
  }

 private:
  int myFd = -1;
};

// epoll tags: the three fixed descriptors, then client ids offset past them.
constexpr uint64_t kListenerTag = 0;
constexpr uint64_t kTimerTag = 1;
constexpr uint64_t kWakeTag = 2;
constexpr uint64_t kFirstClientTag = 3;

constexpr size_t kReadChunk = 4096;
constexpr int kMaxEvents = 128;
constexpr uint64_t kMaxCatchUpTicks = 10;
constexpr uint64_t kAcceptPauseTicks = 10;
// Descriptors kept free for the server's own use and the rest of the process.
constexpr rlim_t kReservedFds = 32;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string peerText(const sockaddr_in& addr) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool addToEpoll(int epollFd, int fd, uint64_t tag) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = tag;
  return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

double monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Timing of the ticks between two stats lines: deadlines missed and the work of each
// timer wake-up (its ticks and their SIPs) in a histogram of 0.05 ms steps.
class TickStats {
 public:
  void wakeUp(uint64_t expirations, double workMs) {
    ticks += expirations;
    if (expirations > 1) {
      late += expirations - 1;
      behind = std::max(behind, expirations - 1);
    }
    const size_t bucket = std::min(kBuckets - 1, static_cast<size_t>(workMs / kBucketMs));
    ++histogram[bucket];
    ++wakeUps;
    maxWorkMs = std::max(maxWorkMs, workMs);
  }
  // The work time below which share of the wake-ups stayed (bucket upper edge).
  double workPercentile(double share) const {
    const uint64_t want = static_cast<uint64_t>(share * static_cast<double>(wakeUps));
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
      seen += histogram[b];
      if (seen > want) return std::min(maxWorkMs, static_cast<double>(b + 1) * kBucketMs);
    }
    return maxWorkMs;
  }

  static constexpr size_t kBuckets = 2000;
  static constexpr double kBucketMs = 0.05;
  uint64_t ticks = 0, late = 0, behind = 0, wakeUps = 0, sipsSent = 0, sipsDropped = 0;
  double maxWorkMs = 0;
  uint64_t histogram[kBuckets] = {};
};

}  // namespace

struct Server::Impl {
  Impl(World world, ServerOptions opts)
      : options(std::move(opts)), sim(std::move(world), options.sim) {}

  // One client connection; its session asks it for a robot when it opens.
  struct Connection final : RobotSource {
    Connection(Impl& owner, uint64_t clientId, const sockaddr_in& address)
        : server(owner), id(clientId), from(address) {}
    Robot& robotAtOpen(bool& offered) override { return server.robotAtOpen(*this, offered); }
    Robot& settleOffer(Robot& offered, bool newClient) override { return server.settleOffer(*this, offered, newClient); }
    void withdrawOffer(Robot& offered) override {
      server.withdrawOffer(offered);
      robot = nullptr;
    }

    Impl& server;
    uint64_t id;
    sockaddr_in from;
    Fd fd;
    Robot* robot = nullptr;
    bool handedBack = false;     // robot is a parked robot taken up by this client
    uint64_t parkedSince = 0;    // when that robot's earlier session ended
    std::unique_ptr<Session> session;
  };
  // A robot whose client went away, waiting for it; offered to one opening session at a time.
  struct Parked {
    uint64_t robotId;
    uint64_t since;           // the tick its last session that drove it ended
    uint64_t offeredTo = 0;   // the connection it is on offer to, 0 for none
  };

  bool open(std::string& error);
  bool openListener(std::string& error);
  void run();
  void handleEvent(const epoll_event& ev);
  void acceptClients();
  void admit(Fd fd, const sockaddr_in& addr);
  Robot& robotAtOpen(Connection& c, bool& offered);
  Robot& settleOffer(Connection& c, Robot& offered, bool newClient);
  void withdrawOffer(Robot& offered);
  Robot& newRobotFor(Connection& c);
  std::deque<Parked>::iterator findParked(uint64_t robotId);
  void logNewRobot(const Connection& c);
  void logHandedBack(const Connection& c);
  void pauseAccepting();
  void resumeAccepting();
  void readClient(uint64_t id);
  bool flush(Connection& c);
  void closeClient(uint64_t id, const char* reason);
  void onTimer();
  void runTick();
  void removeExpiredParked();
  void reportContacts();
  void reportStats();
  void closeAll();

  ServerOptions options;
  Simulation sim;
  mutable std::mutex mutex;
  Fd listener, epoll, timer, wake;
  std::thread thread;
  std::atomic<bool> running{false};
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections;
  std::vector<uint64_t> acceptOrder;
  std::deque<Parked> parked;  // in the order they are offered: parked last first
  uint64_t nextClientId = 1;
  uint16_t boundPort = 0;
  size_t maxConnections = Server::connectionLimit();
  bool acceptPaused = false;
  uint64_t resumeAcceptAt = 0;
  uint64_t graceTicks = static_cast<uint64_t>(std::llround(options.graceSeconds / kTickSeconds));
  uint64_t statsTicks = static_cast<uint64_t>(std::llround(options.statsSeconds / kTickSeconds));
  TickStats stats;
  // Robots touching an obstacle: since which tick, and for how many ticks their wheels stalled.
  struct Contact {
    uint64_t since = 0, stalledTicks = 0;
  };
  std::unordered_map<uint64_t, Contact> contacts;
  PoseLog poseLog;
};

bool Server::Impl::openListener(std::string& error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options.port);
  if (inet_pton(AF_INET, options.listenAddr.c_str(), &addr.sin_addr) != 1) {
    error = "not an IPv4 address: " + options.listenAddr;
    return false;
  }
  listener = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener.valid()) {
    error = errnoText("socket");
    return false;
  }
  const int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    error = errnoText(("bind " + options.listenAddr + ":" + std::to_string(options.port)).c_str());
    return false;
  }
  if (::listen(listener.get(), SOMAXCONN) != 0) {
    error = errnoText("listen");
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  boundPort = ntohs(addr.sin_port);
  return true;
}

bool Server::Impl::open(std::string& error) {
  if (!options.poseLog.empty() && !poseLog.open(options.poseLog, error)) return false;
  if (!openListener(error)) return false;
  epoll = Fd(epoll_create1(EPOLL_CLOEXEC));
  timer = Fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  wake = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll.valid() || !timer.valid() || !wake.valid()) {
    error = errnoText("epoll/timerfd/eventfd");
    return false;
  }
  // A periodic kernel timer keeps the 10 ms ticks on absolute deadlines: late wake-ups
  // show up as extra expirations instead of shifting every later tick.
  const long tickNs = static_cast<long>(kTickSeconds * 1e9);
  itimerspec period{};
  period.it_interval.tv_nsec = tickNs;
  period.it_value.tv_nsec = tickNs;
  if (timerfd_settime(timer.get(), 0, &period, nullptr) != 0) {
    error = errnoText("timerfd_settime");
    return false;
  }
  if (!addToEpoll(epoll.get(), listener.get(), kListenerTag) || !addToEpoll(epoll.get(), timer.get(), kTimerTag) ||
      !addToEpoll(epoll.get(), wake.get(), kWakeTag)) {
    error = errnoText("epoll_ctl");
    return false;
  }
  return true;
}

void Server::Impl::run() {
  epoll_event events[kMaxEvents];
  while (running.load()) {
    const int n = epoll_wait(epoll.get(), events, kMaxEvents, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "robosim: %s\n", errnoText("epoll_wait").c_str());
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < n && running.load(); ++i) handleEvent(events[i]);
  }
}

void Server::Impl::handleEvent(const epoll_event& ev) {
  switch (ev.data.u64) {
    case kListenerTag: acceptClients(); return;
    case kTimerTag: onTimer(); return;
    case kWakeTag: return;
    default: readClient(ev.data.u64 - kFirstClientTag);
  }
}

void Server::Impl::acceptClients() {
  // A bounded batch per wake-up, so a connection flood cannot starve the ticks.
  for (int i = 0; i < kMaxEvents; ++i) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    Fd fd(accept4(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.valid()) {
      admit(std::move(fd), addr);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    // Out of descriptors or memory: stop polling the listener for a while instead of
    // spinning on a connection that cannot be accepted.
    if (errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting();
    return;
  }
}

void Server::Impl::admit(Fd fd, const sockaddr_in& addr) {
  if (connections.size() >= maxConnections) return;  // closes fd: the client sees EOF
  const int on = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  auto c = std::make_unique<Connection>(*this, nextClientId++, addr);
  if (!addToEpoll(epoll.get(), fd.get(), c->id + kFirstClientTag)) return;
  c->fd = std::move(fd);
  c->session = std::make_unique<Session>(sim, *c);
  acceptOrder.push_back(c->id);
  connections.emplace(c->id, std::move(c));
}

// A connection's robot is chosen when its session opens, not when it is accepted, so a
// connection that never opens one (a port probe) takes no robot. A client that opens a
// session again on the same connection keeps its robot.
Robot& Server::Impl::robotAtOpen(Connection& c, bool& offered) {
  offered = false;
  if (c.robot != nullptr) return *c.robot;
  for (Parked& p : parked) {
    if (p.offeredTo != 0) continue;
    Robot* robot = sim.findRobot(p.robotId);
    if (robot == nullptr) continue;
    p.offeredTo = c.id;
    c.robot = robot;
    offered = true;
    return *robot;
  }
  return newRobotFor(c);
}

// SETO as the first command means a client starting a frame of its own: not the client
// of any parked robot, so it gets a new robot and the offered one waits on, in its place.
Robot& Server::Impl::settleOffer(Connection& c, Robot& offered, bool newClient) {
  const auto p = findParked(offered.id);
  if (newClient) {
    withdrawOffer(offered);
    return newRobotFor(c);
  }
  c.handedBack = true;
  c.parkedSince = p != parked.end() ? p->since : sim.ticks();
  if (p != parked.end()) parked.erase(p);
  logHandedBack(c);
  return offered;
}

void Server::Impl::withdrawOffer(Robot& offered) {
  const auto p = findParked(offered.id);
  if (p == parked.end()) return;
  p->offeredTo = 0;
  sim.parkRobot(offered);
}

Robot& Server::Impl::newRobotFor(Connection& c) {
  c.robot = &sim.addRobot();
  c.handedBack = false;
  logNewRobot(c);
  return *c.robot;
}

std::deque<Server::Impl::Parked>::iterator Server::Impl::findParked(uint64_t robotId) {
  return std::find_if(parked.begin(), parked.end(), [robotId](const Parked& p) { return p.robotId == robotId; });
}

// The lines a script reads to learn where each client's robot is.
void Server::Impl::logNewRobot(const Connection& c) {
  if (options.quiet) return;
  const Robot& robot = *c.robot;
  std::fprintf(stderr, "robosim: client %llu connected from %s, robot %llu at start pose %zu (%.0f, %.0f, %.0f)\n",
               static_cast<unsigned long long>(c.id), peerText(c.from).c_str(),
               static_cast<unsigned long long>(robot.id), robot.startIndex, robot.x, robot.y, robot.thDeg);
}

void Server::Impl::logHandedBack(const Connection& c) {
  if (options.quiet) return;
  const Robot& robot = *c.robot;
  std::fprintf(stderr, "robosim: client %llu connected from %s, robot %llu handed back at (%.0f, %.0f, %.0f) after %.1f s parked\n",
               static_cast<unsigned long long>(c.id), peerText(c.from).c_str(),
               static_cast<unsigned long long>(robot.id), robot.x, robot.y, robot.thDeg,
               static_cast<double>(sim.ticks() - c.parkedSince) * kTickSeconds);
}

void Server::Impl::pauseAccepting() {
  epoll_ctl(epoll.get(), EPOLL_CTL_DEL, listener.get(), nullptr);
  acceptPaused = true;
  resumeAcceptAt = sim.ticks() + kAcceptPauseTicks;
}

void Server::Impl::resumeAccepting() {
  if (!acceptPaused || sim.ticks() < resumeAcceptAt) return;
  acceptPaused = !addToEpoll(epoll.get(), listener.get(), kListenerTag);
}

void Server::Impl::readClient(uint64_t id) {
  auto it = connections.find(id);
  if (it == connections.end()) return;  // closed earlier in this batch
  Connection& c = *it->second;
  // One chunk per wake-up: a client flooding bytes gets its turn like everyone else.
  uint8_t buf[kReadChunk];
  const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
  if (n == 0) {
    closeClient(id, "closed by client");
    return;
  }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) closeClient(id, std::strerror(errno));
    return;
  }
  c.session->receive(buf, static_cast<size_t>(n));
  if (!flush(c)) closeClient(id, "write error");
}

// Writes what the socket takes now; the rest waits for the next flush. False on an error.
bool Server::Impl::flush(Connection& c) {
  const std::vector<uint8_t>& out = c.session->pendingOutput();
  if (out.empty()) return true;
  const ssize_t n = ::send(c.fd.get(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) {
    c.session->consumeOutput(static_cast<size_t>(n));
    return true;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// A robot parks at the head of the offers: the client most likely to come back soon is
// the one that has just gone (a client reconnecting after a break of its link or a pass
// of its own). A client that took up a parked robot and leaves again without having
// moved it gives it back as it found it: parked since the same tick, behind the others,
// so that a client that was handed someone else's robot finds its own on its next try.
void Server::Impl::closeClient(uint64_t id, const char* reason) {
  auto it = connections.find(id);
  if (it == connections.end()) return;
  Connection& c = *it->second;
  c.session->disconnect();
  epoll_ctl(epoll.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
  const auto client = static_cast<unsigned long long>(id);
  if (c.robot == nullptr) {
    if (!options.quiet) {
      std::fprintf(stderr, "robosim: client %llu from %s disconnected (%s) before it took a robot\n", client,
                   peerText(c.from).c_str(), reason);
    }
  } else if (graceTicks > 0) {
    const bool givenBack = c.handedBack && !c.session->sawMotion();
    const uint64_t since = givenBack ? c.parkedSince : sim.ticks();
    sim.parkRobot(*c.robot);
    if (givenBack) {
      parked.push_back({c.robot->id, since});
    } else {
      parked.push_front({c.robot->id, since});
    }
    if (!options.quiet) {
      std::fprintf(stderr, "robosim: client %llu disconnected (%s), robot %llu parked for %.0f s%s\n", client, reason,
                   static_cast<unsigned long long>(c.robot->id),
                   static_cast<double>(graceTicks - std::min(graceTicks, sim.ticks() - since)) * kTickSeconds,
                   givenBack ? " (given back unmoved)" : "");
    }
  } else {
    if (!options.quiet) {
      std::fprintf(stderr, "robosim: client %llu disconnected (%s), robot %llu removed\n", client, reason,
                   static_cast<unsigned long long>(c.robot->id));
    }
    sim.removeRobot(c.robot->id);
  }
  std::erase(acceptOrder, id);
  connections.erase(it);
}

void Server::Impl::onTimer() {
  uint64_t expirations = 0;
  if (::read(timer.get(), &expirations, sizeof expirations) != sizeof expirations) return;
  const double start = monotonicMs();
  // After a long stall (a debugger, a suspended machine) skip ahead instead of racing.
  const uint64_t ticks = std::min(expirations, kMaxCatchUpTicks);
  for (uint64_t i = 0; i < ticks; ++i) runTick();
  stats.wakeUp(expirations, monotonicMs() - start);
  if (statsTicks > 0 && stats.ticks >= statsTicks) reportStats();
}

void Server::Impl::runTick() {
  sim.tick();
  if (options.contacts) reportContacts();
  resumeAccepting();
  removeExpiredParked();
  // Every connection has its own phase of the 100 ms SIP cycle, as independent robots do:
  // each client still gets a SIP every 100 ms, and the sending is spread evenly over the
  // ticks instead of piling a send per client into one.
  const uint64_t phase = sim.ticks() % kTicksPerSip;
  std::vector<uint64_t> failed;
  for (auto& [id, c] : connections) {
    if (id % kTicksPerSip != phase) continue;
    if (c->session->sendSip()) {
      ++stats.sipsSent;
      poseLog.record(*c->robot);
    } else if (c->session->isOpen()) {
      ++stats.sipsDropped;
    }
    if (!flush(*c)) failed.push_back(id);
  }
  for (uint64_t id : failed) closeClient(id, "write error");
}

void Server::Impl::removeExpiredParked() {
  std::erase_if(parked, [&](const Parked& p) {
    if (p.offeredTo != 0 || sim.ticks() - p.since < graceTicks) return false;
    if (!options.quiet) {
      std::fprintf(stderr, "robosim: robot %llu removed after %.0f s parked\n", static_cast<unsigned long long>(p.robotId),
                   options.graceSeconds);
    }
    sim.removeRobot(p.robotId);
    return true;
  });
}

// A contact is a run of ticks with a bumper pressed or the wheels stalled; its line comes
// when it ends, with how long it lasted and how long the wheels stalled in it.
void Server::Impl::reportContacts() {
  for (const auto& robot : sim.robots()) {
    const bool touching = robot->stallAndBumpers() != 0;
    const auto found = contacts.find(robot->id);
    if (touching) {
      Contact& c = found != contacts.end() ? found->second : contacts[robot->id];
      if (found == contacts.end()) c.since = sim.ticks();
      if (robot->stalled) ++c.stalledTicks;
      continue;
    }
    if (found == contacts.end()) continue;
    std::fprintf(stderr, "robosim: robot %llu touched an obstacle for %.2f s (wheels stalled %.2f s) at (%.0f, %.0f)\n",
                 static_cast<unsigned long long>(robot->id), (sim.ticks() - found->second.since) * kTickSeconds,
                 found->second.stalledTicks * kTickSeconds, robot->x, robot->y);
    contacts.erase(found);
  }
}

// One line of key=value pairs, easy to read by eye and by scripts.
void Server::Impl::reportStats() {
  std::fprintf(stderr,
               "robosim: stats: robots=%zu connections=%zu parked=%zu ticks=%llu late=%llu behind=%llu "
               "work_p50_ms=%.2f work_p99_ms=%.2f work_max_ms=%.2f sips=%llu sips_dropped=%llu\n",
               sim.robots().size(), connections.size(), parked.size(), static_cast<unsigned long long>(stats.ticks),
               static_cast<unsigned long long>(stats.late), static_cast<unsigned long long>(stats.behind),
               stats.workPercentile(0.5), stats.workPercentile(0.99), stats.maxWorkMs,
               static_cast<unsigned long long>(stats.sipsSent), static_cast<unsigned long long>(stats.sipsDropped));
  stats = TickStats();
}

void Server::Impl::closeAll() {
  for (auto& [id, c] : connections) {
    c->session->disconnect();
    if (c->robot != nullptr) sim.removeRobot(c->robot->id);
  }
  connections.clear();
  acceptOrder.clear();
}

Server::Server(World world, ServerOptions opts) : myImpl(std::make_unique<Impl>(std::move(world), std::move(opts))) {}

Server::~Server() { stop(); }

bool Server::start(std::string& error) {
  if (myImpl->thread.joinable()) {
    error = "server already started";
    return false;
  }
  if (!myImpl->open(error)) return false;
  myImpl->running = true;
  myImpl->thread = std::thread([impl = myImpl.get()] { impl->run(); });
  return true;
}

uint16_t Server::port() const { return myImpl->boundPort; }

void Server::stop() {
  if (!myImpl->thread.joinable()) return;
  myImpl->running = false;
  const uint64_t one = 1;
  // Wakes the thread at once; should the write fail, the next 10 ms tick wakes it.
  [[maybe_unused]] const ssize_t written = ::write(myImpl->wake.get(), &one, sizeof one);
  myImpl->thread.join();
  std::lock_guard<std::mutex> lock(myImpl->mutex);
  myImpl->closeAll();
  myImpl->listener.reset();
}

size_t Server::robotCount() const {
  std::lock_guard<std::mutex> lock(myImpl->mutex);
  return myImpl->sim.robots().size();
}

size_t Server::connectionCount() const {
  std::lock_guard<std::mutex> lock(myImpl->mutex);
  return myImpl->connections.size();
}

size_t Server::parkedCount() const {
  std::lock_guard<std::mutex> lock(myImpl->mutex);
  return myImpl->parked.size();
}

size_t Server::connectionLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxConnections;
  if (limit.rlim_cur <= kReservedFds * 2) return 1;
  return std::min<size_t>(kMaxConnections, limit.rlim_cur - kReservedFds);
}

bool Server::truePose(size_t i, double& x, double& y, double& thDeg) const {
  std::lock_guard<std::mutex> lock(myImpl->mutex);
  if (i >= myImpl->acceptOrder.size()) return false;
  const Robot* robot = myImpl->connections.at(myImpl->acceptOrder[i])->robot;
  if (robot == nullptr) return false;
  x = robot->x;
  y = robot->y;
  thDeg = robot->thDeg;
  return true;
}

}  // namespace sim
