// robosim: the multi-robot simulator. Serves the robot protocol on TCP; every client
// connection drives its own robot in one shared world.
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include "base/numbers.h"
#include "base/version.h"
#include "sim/server.h"
#include "sim/truth.h"
#include "sim/world.h"

namespace {

const char kUsage[] =
    "usage: robosim [options] [WORLD]\n"
    "A robot server for the robot protocol: every TCP client gets its own simulated\n"
    "Pioneer 3-DX (p3dx-sh) in one shared world. WORLD is a world file (see worlds/README.md);\n"
    "without one the world is empty and every robot starts at (0, 0, 0).\n"
    "\n"
    "Robots and start poses: each new client gets the world's next start pose, in file\n"
    "order (cyclically), when its session opens, and a line on standard error says which:\n"
    "  robosim: client 2 connected from 127.0.0.1:40612, robot 2 at start pose 1 (10000, 7500, 0)\n"
    "A robot whose connection closes stays parked where it is (solid, motors off, odometry\n"
    "kept) for the grace period, for its client to come back. A client whose first command\n"
    "is SETO starts a frame of its own: a new client, it gets a new robot. Any other gets\n"
    "the robot parked last back, with its pose and odometry; a client that leaves it again\n"
    "unmoved (not its own) gives it back, and is offered the next one when it returns.\n"
    "To run a team in the world frame by hand, list the start poses and start one agent\n"
    "at a time, each with the next pose, once the previous one is connected:\n"
    "  robosim worlds/office.world &\n"
    "  robosim --list-starts worlds/office.world      # 2000 7500 0, 10000 7500 0, ...\n"
    "  agent --name a1 --start 2000 7500 0\n"
    "  agent --name a2 --start 10000 7500 0\n"
    "\n"
    "options:\n"
    "  --world FILE        the world file (same as the WORLD argument)\n"
    "  --port N            TCP port to listen on (default 8101; 0 picks a free one)\n"
    "  --listen ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --meet              robots see and block each other, each at its own start pose (default)\n"
    "  --ghosts            robots neither block nor sense each other and all start at the\n"
    "                      world's first start pose, so their maps share one frame\n"
    "  --grace SECONDS     how long a disconnected client's robot stays parked for a\n"
    "                      reconnecting client (default 30; 0 removes it at once)\n"
    "  --list-starts       print the start poses robots get, in order, one 'X Y TH' line each\n"
    "                      (mm, mm, degrees; with --ghosts only the shared first one), and exit\n"
    "sonar:\n"
    "  --beam DEG          total beam width, a fan of rays (default 15; 0 = a single ray)\n"
    "  --sonar-model M     ideal: the nearest surface in the fan echoes at any angle (default);\n"
    "                      specular: a surface echoes only when a ray meets it within the\n"
    "                      maximum incidence angle of its normal, as smooth walls do for real\n"
    "                      ultrasonic sensors; the nearest such echo in the fan wins\n"
    "  --max-incidence DEG largest angle between a ray and a surface's normal that still\n"
    "                      echoes in the specular model (default 15)\n"
    "  --dropout P         probability that a firing with an echo reports none (default 0)\n"
    "  --noise MM          standard deviation of Gaussian range noise (default 0 = off)\n"
    "  --seed N            seed of the noise, the dropouts and the odometry errors (default 1)\n"
    "odometry:\n"
    "  --odometry-error M  off: the robot reports its true motion (default); realistic: its\n"
    "                      odometry drifts as a real differential drive's does, from unequal\n"
    "                      wheel diameters, an uncertain wheelbase, a distance scale, random\n"
    "                      wheel noise and slip in contact (see worlds/README.md); the truth\n"
    "                      files, --contacts and the pose log stay in the world frame\n"
    "  --pose-log FILE     one line per SIP sent: wall-clock time (s), robot id, true x y th,\n"
    "                      then x y th where the robot's odometry puts it in the world frame\n"
    "ground truth:\n"
    "  --truth FILE        write the world's ground truth as map files and go on serving:\n"
    "                      PPM maps in the agent's format, 100 mm cells, walls occupied, the\n"
    "                      rest of the walls' bounding box free\n"
    "  --truth-frame F     start (default): one map per start pose, in the odometric frame of a\n"
    "                      robot starting there (origin at the pose, x along its heading); with\n"
    "                      several start poses the index goes before the extension (truth.ppm ->\n"
    "                      truth.0.ppm, truth.1.ppm, ...), with --ghosts or one start pose FILE\n"
    "                      itself. world: one map, FILE, in the world file's coordinates, for\n"
    "                      agents started with --start\n"
    "output:\n"
    "  --quiet             no connection, disconnection and parking lines\n"
    "  --stats SECONDS     every SECONDS, one line of tick timing and SIP counts\n"
    "  --contacts          a line each time a robot stops touching an obstacle (bumper pressed\n"
    "                      or wheels stalled): how long it touched, how long it stalled, where\n"
    "  --help              this text\n"
    "  --version           the program's version\n"
    "SIGINT or SIGTERM ends the simulator.\n";

struct Options {
  sim::ServerOptions server;
  std::string worldFile;
  std::string truthFile;
  sim::TruthFrame truthFrame = sim::TruthFrame::StartPoses;
  bool listStarts = false;
  bool sawGhosts = false, sawMeet = false;
  std::string odometryModel = "off";
};

enum Action { kRun, kExit, kUsageError };

template <typename Int>
bool parseInt(const char* text, Int& value) {
  return readInteger(text, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(), value) == NumberCheck::Ok;
}

bool parseRange(const char* text, double& value, double low, double high) {
  return readReal(text, low, high, value) == NumberCheck::Ok;
}

// One of a fixed set of words, each standing for a value.
template <typename Value>
bool parseChoice(const char* text, std::initializer_list<std::pair<const char*, Value>> choices, Value& value) {
  for (const auto& [word, meaning] : choices) {
    if (std::strcmp(text, word) != 0) continue;
    value = meaning;
    return true;
  }
  return false;
}

enum OptionId {
  kWorld = 256, kPort, kListen, kMeet, kGhosts, kGrace, kListStarts, kBeam, kSonarModel, kMaxIncidence,
  kDropout, kNoise, kSeed, kTruth, kTruthFrame, kQuiet, kStats, kContacts, kHelp, kVersion, kOdometryError,
  kPoseLog,
};

const option kLongOptions[] = {
    {"world", required_argument, nullptr, kWorld},
    {"port", required_argument, nullptr, kPort},
    {"listen", required_argument, nullptr, kListen},
    {"meet", no_argument, nullptr, kMeet},
    {"ghosts", no_argument, nullptr, kGhosts},
    {"grace", required_argument, nullptr, kGrace},
    {"list-starts", no_argument, nullptr, kListStarts},
    {"beam", required_argument, nullptr, kBeam},
    {"sonar-model", required_argument, nullptr, kSonarModel},
    {"max-incidence", required_argument, nullptr, kMaxIncidence},
    {"dropout", required_argument, nullptr, kDropout},
    {"noise", required_argument, nullptr, kNoise},
    {"seed", required_argument, nullptr, kSeed},
    {"odometry-error", required_argument, nullptr, kOdometryError},
    {"pose-log", required_argument, nullptr, kPoseLog},
    {"truth", required_argument, nullptr, kTruth},
    {"truth-frame", required_argument, nullptr, kTruthFrame},
    {"quiet", no_argument, nullptr, kQuiet},
    {"stats", required_argument, nullptr, kStats},
    {"contacts", no_argument, nullptr, kContacts},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Applies one option that takes a value; false when the value is bad.
bool applyValue(int id, const char* value, Options& o) {
  sim::SimOptions& s = o.server.sim;
  switch (id) {
    case kWorld: o.worldFile = value; return true;
    case kTruth: o.truthFile = value; return true;
    case kListen: o.server.listenAddr = value; return true;
    case kPoseLog: o.server.poseLog = value; return !o.server.poseLog.empty();
    case kOdometryError:
      o.odometryModel = value;
      return sim::odometryErrorPreset(value, s.odometry);
    case kPort: return parseInt(value, o.server.port);
    case kSeed: return parseInt(value, s.seed);
    case kGrace: return parseRange(value, o.server.graceSeconds, 0, 86400);
    case kStats: return parseRange(value, o.server.statsSeconds, 0.1, 86400);
    case kBeam: return parseRange(value, s.beamDeg, 0, 179);
    case kMaxIncidence: return parseRange(value, s.maxIncidenceDeg, 0, 90);
    case kDropout: return parseRange(value, s.dropout, 0, 1);
    case kNoise: return parseRange(value, s.noiseMm, 0, 5000);
    case kSonarModel:
      return parseChoice(value, {{"ideal", sim::SonarModel::Ideal}, {"specular", sim::SonarModel::Specular}}, s.sonarModel);
    case kTruthFrame:
      return parseChoice(value, {{"start", sim::TruthFrame::StartPoses}, {"world", sim::TruthFrame::World}}, o.truthFrame);
    default: return false;
  }
}

// Applies one option without a value; kExit after --help or --version.
Action applyFlag(int id, Options& o) {
  switch (id) {
    case kMeet: o.sawMeet = true; o.server.sim.ghosts = false; return kRun;
    case kGhosts: o.sawGhosts = true; o.server.sim.ghosts = true; return kRun;
    case kQuiet: o.server.quiet = true; return kRun;
    case kContacts: o.server.contacts = true; return kRun;
    case kListStarts: o.listStarts = true; return kRun;
    case kHelp: std::fputs(kUsage, stdout); return kExit;
    case kVersion: std::printf("robosim %s\n", MCAGENT_VERSION); return kExit;
    default: return kUsageError;
  }
}

Action usageError(const std::string& message) {
  std::fprintf(stderr, "robosim: %s\nTry 'robosim --help' for more information.\n", message.c_str());
  return kUsageError;
}

std::string optionName(int id) {
  for (const option& o : kLongOptions) {
    if (o.val == id && o.name != nullptr) return std::string("--") + o.name;
  }
  return "option";
}

Action parseArgs(int argc, char** argv, Options& o) {
  opterr = 0;
  for (;;) {
    const int id = getopt_long(argc, argv, ":h", kLongOptions, nullptr);
    if (id == -1) break;
    if (id == '?' && optopt >= kWorld) return usageError(optionName(optopt) + " takes no value");
    if (id == '?') {
      const std::string given = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      return usageError("unknown option '" + given + "'");
    }
    if (id == ':') return usageError(optionName(optopt) + " needs a value");
    if (optarg != nullptr) {
      if (!applyValue(id, optarg, o)) return usageError(optionName(id) + " needs a valid value");
      continue;
    }
    const Action action = applyFlag(id == 'h' ? kHelp : id, o);
    if (action != kRun) return action;
  }
  if (o.sawGhosts && o.sawMeet) return usageError("--ghosts and --meet exclude each other");
  for (int i = optind; i < argc; ++i) {
    if (!o.worldFile.empty()) return usageError(std::string("unexpected argument '") + argv[i] + "'");
    o.worldFile = argv[i];
  }
  if (o.listStarts && o.worldFile.empty()) return usageError("--list-starts needs a world file");
  return kRun;
}

bool loadWorldOrEmpty(const Options& o, sim::World& world) {
  if (o.worldFile.empty()) return true;
  std::string error;
  if (sim::loadWorld(o.worldFile, world, error)) return true;
  std::fprintf(stderr, "robosim: %s\n", error.c_str());
  return false;
}

void listStarts(const sim::World& world, bool ghosts) {
  const std::vector<sim::StartPose> starts = sim::startPoses(world);
  const size_t count = ghosts ? 1 : starts.size();
  for (size_t i = 0; i < count; ++i) std::printf("%.15g %.15g %.15g\n", starts[i].x, starts[i].y, starts[i].thDeg);
}

// Every client costs a socket: the soft open-file limit goes up to the hard one, and a
// hard limit that still caps the robots is said once.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  const size_t robots = sim::Server::connectionLimit();
  if (robots < sim::Server::kMaxConnections) {
    std::fprintf(stderr, "robosim: open-file limit %llu: at most %zu connected robots (raise it with ulimit -Hn)\n",
                 static_cast<unsigned long long>(limit.rlim_cur), robots);
  }
}

// Blocks SIGINT and SIGTERM in every thread; the main thread then waits for them. A shell
// starts background jobs with SIGINT ignored, and an ignored signal never reaches sigwait,
// so both get their default disposition back first.
void blockStopSignals(sigset_t& set) {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

const char* modeText(const sim::SimOptions& s) { return s.ghosts ? "ghosts" : "robots meet"; }

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const Action action = parseArgs(argc, argv, options);
  if (action != kRun) return action == kExit ? 0 : 2;
  sim::World world;
  if (!loadWorldOrEmpty(options, world)) return 1;
  if (options.listStarts) {
    listStarts(world, options.server.sim.ghosts);
    return 0;
  }
  std::string error;
  if (!options.truthFile.empty() &&
      !sim::writeTruthMaps(world, options.server.sim.ghosts, options.truthFrame, options.truthFile, error)) {
    std::fprintf(stderr, "robosim: %s\n", error.c_str());
    return 1;
  }
  raiseOpenFileLimit();
  sigset_t stopSignals;
  blockStopSignals(stopSignals);
  const size_t walls = world.walls.size(), starts = world.starts.size();
  sim::Server server(std::move(world), options.server);
  if (!server.start(error)) {
    std::fprintf(stderr, "robosim: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "robosim: listening on %s:%u, world %s (%zu walls, %zu start poses), %s, odometry error %s\n",
               options.server.listenAddr.c_str(), server.port(),
               options.worldFile.empty() ? "(empty)" : options.worldFile.c_str(), walls, starts,
               modeText(options.server.sim), options.odometryModel.c_str());
  int received = 0;
  sigwait(&stopSignals, &received);
  std::fprintf(stderr, "robosim: %s, shutting down\n", received == SIGINT ? "interrupted" : "terminated");
  server.stop();
  return 0;
}
