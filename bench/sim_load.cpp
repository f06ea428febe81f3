// sim_load: how many robots robosim serves in real time. For each robot count N it starts
// robosim, opens N robot connections on 127.0.0.1 (each with the handshake our robot
// library makes), then drives every robot the way a wandering agent does: on every SIP a
// velocity and a heading command, and a PULSE every second. Over a measured window it
// reports the SIP intervals the clients saw (p50, p99, max), SIPs missing, robosim's late
// ticks and tick work (from its --stats lines), robosim's CPU (user + system, from /proc)
// as a share of one core, and its resident memory.
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "aria/ar_packet.h"
#include "aria/ar_sip.h"

extern char** environ;

namespace {

const char kUsage[] =
    "usage: sim_load [options] [-- ROBOSIM_OPTIONS...]\n"
    "Starts robosim once per robot count, connects that many wandering robot clients and\n"
    "measures whether robosim keeps its 10 ms ticks and 100 ms SIPs.\n"
    "  --robosim PATH   the robosim program (default: sim/robosim beside this program's folder)\n"
    "  --world FILE     the world (default: worlds/office.world of the source tree)\n"
    "  --robots LIST    robot counts, comma-separated (default 100,250,500,1000)\n"
    "  --seconds S      length of each measured window (default 20)\n"
    "  --settle S       time between the last robot starting and the window (default 5)\n"
    "  --no-stats       for a robosim without --stats: no late ticks or tick work\n"
    "  --help           this text\n"
    "Options after -- go to robosim (for example --sonar-model specular).\n";

constexpr int kCycleMs = 100;
constexpr int kPulseMs = 1000;

double nowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Options {
  std::string robosim, world;
  std::vector<int> counts{100, 250, 500, 1000};
  double seconds = 20, settle = 5;
  bool stats = true;
  std::vector<std::string> robosimArgs;
};

std::string besideThisProgram(const char* relative) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return relative;
  std::string dir(self, static_cast<size_t>(n));
  dir = dir.substr(0, dir.rfind('/'));
  return dir.substr(0, dir.rfind('/')) + "/" + relative;
}

std::string sourceWorld(const char* name) {
  const std::string_view file = __FILE__;
  return std::string(file.substr(0, file.rfind("/bench/"))) + "/worlds/" + name;
}

bool parseCounts(const char* text, std::vector<int>& counts) {
  counts.clear();
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const int n = std::atoi(item.c_str());
    if (n <= 0 || n > 4000) return false;
    counts.push_back(n);
  }
  return !counts.empty();
}

// 0 to run, 1 after --help, 2 on bad usage.
int parseArgs(int argc, char** argv, Options& o) {
  const option longOptions[] = {
      {"robosim", required_argument, nullptr, 'r'}, {"world", required_argument, nullptr, 'w'},
      {"robots", required_argument, nullptr, 'n'},  {"seconds", required_argument, nullptr, 's'},
      {"settle", required_argument, nullptr, 'e'},  {"no-stats", no_argument, nullptr, 'x'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  o.robosim = besideThisProgram("sim/robosim");
  o.world = sourceWorld("office.world");
  for (int id; (id = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    switch (id) {
      case 'r': o.robosim = optarg; break;
      case 'w': o.world = optarg; break;
      case 'n': if (!parseCounts(optarg, o.counts)) return 2; break;
      case 's': o.seconds = std::atof(optarg); break;
      case 'e': o.settle = std::atof(optarg); break;
      case 'x': o.stats = false; break;
      case 'h': std::fputs(kUsage, stdout); return 1;
      default: return 2;
    }
  }
  for (int i = optind; i < argc; ++i) o.robosimArgs.push_back(argv[i]);
  return o.seconds > 0 && o.settle >= 0 ? 0 : 2;
}

// robosim as a child: standard error on a non-blocking pipe, read line by line.
class Robosim {
 public:
  bool start(const Options& o) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = {o.robosim, "--port", "0", "--quiet", "--world", o.world};
    if (o.stats) args.insert(args.end(), {"--stats", "1"});
    args.insert(args.end(), o.robosimArgs.begin(), o.robosimArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&myPid, o.robosim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    myErr = fds[0];
    fcntl(myErr, F_SETFL, O_NONBLOCK);
    return rc == 0;
  }
  ~Robosim() { stop(); }
  void stop() {
    if (myPid > 0) {
      kill(myPid, SIGTERM);
      waitpid(myPid, nullptr, 0);
      myPid = -1;
    }
    if (myErr >= 0) close(myErr);
    myErr = -1;
  }
  // Complete lines that arrived since the last call.
  std::vector<std::string> lines() {
    char buf[4096];
    for (ssize_t n; (n = read(myErr, buf, sizeof buf)) > 0;) myText.append(buf, static_cast<size_t>(n));
    std::vector<std::string> out;
    for (size_t end; (end = myText.find('\n')) != std::string::npos;) {
      out.push_back(myText.substr(0, end));
      myText.erase(0, end + 1);
    }
    return out;
  }
  // User + system CPU seconds so far.
  double cpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(myPid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  // Resident memory, MiB.
  double rssMiB() const {
    std::ifstream in("/proc/" + std::to_string(myPid) + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024;
    }
    return 0;
  }

 private:
  pid_t myPid = -1;
  int myErr = -1;
  std::string myText;
};

// The value of key=... in a stats line, 0 when absent.
double statValue(const std::string& line, const char* key) {
  const std::string tag = std::string(" ") + key + "=";
  const size_t at = line.find(tag);
  return at == std::string::npos ? 0 : std::atof(line.c_str() + at + tag.size());
}

// One robot client: the handshake, then a wanderer driven by its SIPs.
struct Client {
  enum class State { Sync0, Sync1, Sync2, Opening, Running };
  int fd = -1;
  State state = State::Sync0;
  arproto::Framer framer;
  double lastSipMs = 0, nextPulseMs = 0;
  double targetDeg = 0;
  int frontRange[8] = {5000, 5000, 5000, 5000, 5000, 5000, 5000, 5000};
  bool turning = false;
  uint64_t sipsInWindow = 0;

  void send(const arproto::Packet& p) { ::send(fd, p.bytes, p.size, MSG_NOSIGNAL | MSG_DONTWAIT); }
};

struct Measure {
  bool on = false;
  std::vector<float> intervals;
};

// The wander an agent's default mode does, in short: straight on at 300 mm/s toward a
// heading that drifts now and then; when blocked or close to something ahead, stop and
// turn away by 100 to 160 degrees until clear.
void wander(Client& c, const arproto::Sip& sip, std::mt19937& random) {
  for (int k = 0; k < sip.sonarCount; ++k) {
    if (sip.sonar[k].disc < 8) c.frontRange[sip.sonar[k].disc] = sip.sonar[k].range;
  }
  const double heading = arproto::headingFromRaw(sip.thRaw);
  const int ahead = *std::min_element(c.frontRange + 2, c.frontRange + 6);
  const bool blocked = (sip.stall & 0x0101) != 0 || ahead < 600;
  if (blocked && !c.turning) {
    std::uniform_real_distribution<double> turn(100, 160);
    c.targetDeg = heading + (random() % 2 ? turn(random) : -turn(random));
    c.turning = true;
  } else if (c.turning && std::fabs(std::remainder(c.targetDeg - heading, 360.0)) < 10) {
    c.turning = false;
  } else if (!c.turning && random() % 30 == 0) {
    c.targetDeg = heading + std::uniform_real_distribution<double>(-30, 30)(random);
  }
  c.send(arproto::makeCommandInt(arproto::VEL, c.turning ? 0 : 300));
  const int head = static_cast<int>(std::lround(std::remainder(c.targetDeg, 360.0) + 360)) % 360;
  c.send(arproto::makeCommandInt(arproto::HEAD, head));
}

// Handles one packet of a client; true once it runs.
void onPacket(Client& c, const arproto::Packet& p, double now, Measure& m, std::mt19937& random) {
  using arproto::makeCommand;
  switch (c.state) {
    case Client::State::Sync0: if (p.type() == arproto::SYNC0) { c.send(makeCommand(arproto::SYNC1)); c.state = Client::State::Sync1; } return;
    case Client::State::Sync1: if (p.type() == arproto::SYNC1) { c.send(makeCommand(arproto::SYNC2)); c.state = Client::State::Sync2; } return;
    case Client::State::Sync2:
      if (p.type() == arproto::SYNC2) {
        c.send(makeCommand(arproto::OPEN));
        c.send(makeCommand(arproto::PULSE));
        c.state = Client::State::Opening;
      }
      return;
    default: break;
  }
  arproto::Sip sip;
  if (!arproto::decodeSip(p.payload(), p.payloadSize(), sip)) return;
  if (c.state == Client::State::Opening) {
    c.send(makeCommand(arproto::SETO));
    c.send(arproto::makeCommandInt(arproto::ENABLE, 1));
    c.send(arproto::makeCommandInt(arproto::SONAR, 1));
    c.state = Client::State::Running;
    c.lastSipMs = now;
    return;
  }
  if (m.on) {
    m.intervals.push_back(static_cast<float>(now - c.lastSipMs));
    ++c.sipsInWindow;
  }
  c.lastSipMs = now;
  wander(c, sip, random);
}

bool connectClient(Client& c, uint16_t port) {
  c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const int on = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fcntl(c.fd, F_SETFL, O_NONBLOCK);
  return true;
}

struct Row {
  int robots = 0;
  double p50 = 0, p99 = 0, max = 0;
  long long missing = 0;
  double late = 0, workP99 = 0, workMax = 0, cpu = 0, clientCpu = 0, rss = 0;
};

double percentile(std::vector<float>& v, double share) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(share * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

double ownCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class LoadRun {
 public:
  LoadRun(const Options& o, int robots) : myOptions(o), myClients(static_cast<size_t>(robots)), myRandom(7) {}
  ~LoadRun() {
    for (Client& c : myClients) {
      if (c.fd >= 0) close(c.fd);
    }
    if (myEpoll >= 0) close(myEpoll);
  }

  bool run(Row& row) {
    if (!myRobosim.start(myOptions)) return fail("cannot start " + myOptions.robosim);
    const uint16_t port = waitForPort();
    if (port == 0) return fail("robosim did not start listening");
    myEpoll = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < myClients.size(); ++i) {
      Client& c = myClients[i];
      if (!connectClient(c, port)) return fail("connection " + std::to_string(i) + " failed");
      epoll_event ev{EPOLLIN, {.u64 = i}};
      epoll_ctl(myEpoll, EPOLL_CTL_ADD, c.fd, &ev);
      c.nextPulseMs = nowMs() + kPulseMs * static_cast<double>(i) / static_cast<double>(myClients.size());
      c.send(arproto::makeCommand(arproto::SYNC0));
    }
    if (!runUntil(nowMs() + 60000, true)) return fail("not every robot started within 60 s");
    runUntil(nowMs() + myOptions.settle * 1000, false);
    myStats.clear();
    const double cpu0 = myRobosim.cpuSeconds(), own0 = ownCpuSeconds(), t0 = nowMs();
    myMeasure.on = true;
    for (Client& c : myClients) c.sipsInWindow = 0;
    runUntil(t0 + myOptions.seconds * 1000, false);
    myMeasure.on = false;
    const double seconds = (nowMs() - t0) / 1000;
    row.cpu = (myRobosim.cpuSeconds() - cpu0) / seconds;
    row.clientCpu = (ownCpuSeconds() - own0) / seconds;
    row.rss = myRobosim.rssMiB();
    runUntil(nowMs() + 1100, false);  // the stats line that covers the window's end
    summarize(row, seconds);
    return true;
  }

 private:
  bool fail(const std::string& why) {
    std::fprintf(stderr, "sim_load: %zu robots: %s\n", myClients.size(), why.c_str());
    return false;
  }

  uint16_t waitForPort() {
    const double deadline = nowMs() + 10000;
    while (nowMs() < deadline) {
      for (const std::string& line : myRobosim.lines()) {
        const size_t at = line.find("listening on 127.0.0.1:");
        if (at != std::string::npos) return static_cast<uint16_t>(std::atoi(line.c_str() + at + 23));
        std::fprintf(stderr, "%s\n", line.c_str());
      }
      usleep(10000);
    }
    return 0;
  }

  // Serves the clients until the deadline (or, with untilRunning, until every one runs).
  bool runUntil(double deadline, bool untilRunning) {
    epoll_event events[256];
    uint8_t buf[4096];
    for (;;) {
      const double now = nowMs();
      if (now >= deadline) return !untilRunning;
      if (untilRunning && allRunning()) return true;
      const int n = epoll_wait(myEpoll, events, 256, 5);
      const double at = nowMs();
      for (int i = 0; i < n; ++i) {
        Client& c = myClients[events[i].data.u64];
        const ssize_t got = recv(c.fd, buf, sizeof buf, 0);
        if (got <= 0) continue;
        c.framer.feed(buf, static_cast<size_t>(got));
        arproto::Packet p;
        while (c.framer.next(p)) onPacket(c, p, at, myMeasure, myRandom);
      }
      pulse(at);
      for (std::string& line : myRobosim.lines()) {
        if (line.find("stats:") != std::string::npos) {
          if (myMeasure.on) myStats.push_back(line);
        } else {
          std::fprintf(stderr, "%s\n", line.c_str());
        }
      }
    }
  }

  void pulse(double now) {
    for (Client& c : myClients) {
      if (c.state != Client::State::Running || now < c.nextPulseMs) continue;
      c.send(arproto::makeCommand(arproto::PULSE));
      c.nextPulseMs += kPulseMs;
    }
  }

  bool allRunning() const {
    return std::all_of(myClients.begin(), myClients.end(), [](const Client& c) { return c.state == Client::State::Running; });
  }

  void summarize(Row& row, double seconds) {
    row.robots = static_cast<int>(myClients.size());
    row.p50 = percentile(myMeasure.intervals, 0.5);
    row.p99 = percentile(myMeasure.intervals, 0.99);
    row.max = myMeasure.intervals.empty() ? 0 : *std::max_element(myMeasure.intervals.begin(), myMeasure.intervals.end());
    const long long expected = std::llround(seconds * 1000 / kCycleMs);
    for (const Client& c : myClients) row.missing += std::max(0LL, expected - static_cast<long long>(c.sipsInWindow) - 1);
    for (const std::string& line : myStats) {
      row.late += statValue(line, "late");
      row.workP99 = std::max(row.workP99, statValue(line, "work_p99_ms"));
      row.workMax = std::max(row.workMax, statValue(line, "work_max_ms"));
    }
  }

  const Options& myOptions;
  Robosim myRobosim;
  std::vector<Client> myClients;
  std::mt19937 myRandom;
  Measure myMeasure;
  std::vector<std::string> myStats;
  int myEpoll = -1;
};

void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parseArgs(argc, argv, options);
  if (parsed != 0) {
    if (parsed == 2) std::fputs(kUsage, stderr);
    return parsed == 1 ? 0 : 2;
  }
  raiseOpenFileLimit();
  signal(SIGPIPE, SIG_IGN);
  std::printf("%8s %10s %10s %10s %8s %10s %12s %12s %12s %12s %12s\n", "robots", "sip_p50", "sip_p99", "sip_max",
              "missing", "late_ticks", "work_p99", "work_max", "robosim_cpu", "robosim_rss", "client_cpu");
  for (int robots : options.counts) {
    Row row;
    LoadRun run(options, robots);
    if (!run.run(row)) return 1;
    std::printf("%8d %8.1fms %8.1fms %8.1fms %8lld %10.0f %10.2fms %10.2fms %11.0f%% %8.1f MiB %11.0f%%\n", row.robots,
                row.p50, row.p99, row.max, row.missing, row.late, row.workP99, row.workMax, row.cpu * 100, row.rss,
                row.clientCpu * 100);
    std::fflush(stdout);
  }
  return 0;
}
