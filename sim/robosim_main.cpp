// robosim: the multi-robot simulator. Serves the robot protocol on TCP; every client
// connection drives its own robot in one shared world.
#include <signal.h>

#include <cstdio>
#include <limits>
#include <string>

#include "base/numbers.h"
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
    "options:\n"
    "  --world FILE    the world file (same as the WORLD argument)\n"
    "  --port N        TCP port to listen on (default 8101; 0 picks a free one)\n"
    "  --listen ADDR   IPv4 address to listen on (default 127.0.0.1)\n"
    "  --beam DEG      total sonar beam width in degrees (default 15; 0 = a single ray)\n"
    "  --noise MM      standard deviation of Gaussian sonar range noise (default 0 = off)\n"
    "  --seed N        seed of the noise (default 1)\n"
    "  --ghosts        robots neither block nor sense each other and all start at the\n"
    "                  world's first start pose, so their maps share one frame\n"
    "  --meet          robots see and block each other, each at its own start pose (default)\n"
    "  --truth FILE    write the world's ground truth as map files and go on serving:\n"
    "                  one PPM map (the agent's map format, 100 mm cells, walls occupied,\n"
    "                  the rest of the walls' bounding box free) per start pose, in the\n"
    "                  odometric frame of a robot starting there (origin at the pose, x along\n"
    "                  its heading). With several start poses the pose index goes before the\n"
    "                  extension (truth.ppm -> truth.0.ppm, truth.1.ppm, ...); with --ghosts\n"
    "                  or a single start pose one file, FILE itself.\n"
    "  --quiet         no connection and disconnection lines\n"
    "  --help          this text\n"
    "SIGINT or SIGTERM ends the simulator.\n";

struct Options {
  sim::ServerOptions server;
  std::string worldFile;
  std::string truthFile;
};

template <typename Int>
bool parseInt(const char* text, Int& value) {
  return readInteger(text, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(), value) == NumberCheck::Ok;
}

// A finite number from min up to, but not including, below.
bool parseDouble(const char* text, double min, double below, double& value) {
  return readReal(text, min, below, value) == NumberCheck::Ok && value < below;
}

bool assignText(std::string& field, const char* value) {
  field = value;
  return true;
}

// Applies one option that takes a value; false when the value is bad.
bool applyValueOption(const std::string& name, const char* value, Options& o) {
  if (name == "--world") return assignText(o.worldFile, value);
  if (name == "--truth") return assignText(o.truthFile, value);
  if (name == "--listen") return assignText(o.server.listenAddr, value);
  if (name == "--port") return parseInt(value, o.server.port);
  if (name == "--seed") return parseInt(value, o.server.seed);
  if (name == "--beam") return parseDouble(value, 0, 180, o.server.beamDeg);
  if (name == "--noise") return parseDouble(value, 0, std::numeric_limits<double>::infinity(), o.server.noiseMm);
  return false;
}

bool takesValue(const std::string& name) {
  return name == "--world" || name == "--truth" || name == "--listen" || name == "--port" || name == "--seed" ||
         name == "--beam" || name == "--noise";
}

// 0 to run, 1 for a usage error, 2 after --help.
int parseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return 2;
    if (arg == "--ghosts") {
      o.server.ghosts = true;
    } else if (arg == "--meet") {
      o.server.ghosts = false;
    } else if (arg == "--quiet") {
      o.server.quiet = true;
    } else if (takesValue(arg)) {
      if (i + 1 >= argc || !applyValueOption(arg, argv[i + 1], o)) {
        std::fprintf(stderr, "robosim: %s needs a valid value\n", arg.c_str());
        return 1;
      }
      ++i;
    } else if (arg.starts_with("-") || !o.worldFile.empty()) {
      std::fprintf(stderr, "robosim: unexpected argument '%s'\n", arg.c_str());
      return 1;
    } else {
      o.worldFile = arg;
    }
  }
  return 0;
}

bool loadWorldOrEmpty(const Options& o, sim::World& world) {
  if (o.worldFile.empty()) return true;
  std::string error;
  if (sim::loadWorld(o.worldFile, world, error)) return true;
  std::fprintf(stderr, "robosim: %s\n", error.c_str());
  return false;
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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parseArgs(argc, argv, options);
  if (parsed != 0) {
    std::fputs(kUsage, parsed == 2 ? stdout : stderr);
    return parsed == 2 ? 0 : 2;
  }
  sim::World world;
  if (!loadWorldOrEmpty(options, world)) return 1;
  std::string error;
  if (!options.truthFile.empty() && !sim::writeTruthMaps(world, options.server.ghosts, options.truthFile, error)) {
    std::fprintf(stderr, "robosim: %s\n", error.c_str());
    return 1;
  }
  sigset_t stopSignals;
  blockStopSignals(stopSignals);
  const size_t walls = world.walls.size(), starts = world.starts.size();
  sim::Server server(std::move(world), options.server);
  if (!server.start(error)) {
    std::fprintf(stderr, "robosim: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "robosim: listening on %s:%u, world %s (%zu walls, %zu start poses), %s\n",
               options.server.listenAddr.c_str(), server.port(),
               options.worldFile.empty() ? "(empty)" : options.worldFile.c_str(), walls, starts,
               options.server.ghosts ? "ghosts" : "robots meet");
  int received = 0;
  sigwait(&stopSignals, &received);
  std::fprintf(stderr, "robosim: %s, shutting down\n", received == SIGINT ? "interrupted" : "terminated");
  server.stop();
  return 0;
}
