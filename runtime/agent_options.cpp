#include "runtime/agent_options.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "aria/ar_sip.h"
#include "base/numbers.h"
#include "base/version.h"
#include "map/map_cell.h"
#include "runtime/startup.h"

namespace {

const char USAGE[] =
    "usage: agent [--name NAME] [--start X Y TH] [--server HOST:PORT] [--dir DIR]\n"
    "             [--sonar-max-range MM] [--mapping ray|sonar] [--localize]\n"
    "             [--localize-lag SECONDS]\n"
    "The mapping agent of one robot: drives it, maps what its sonar sees, and shares its\n"
    "pose and readings with the other agents on the group 239.0.0.77:60001.\n"
    "\n"
    "  --name NAME         the agent's name, instead of asking for it: at least 3\n"
    "                      characters, no blanks or control characters\n"
    "  --start X Y TH      the robot's pose at start-up in the team's world frame (mm, mm,\n"
    "                      degrees); the poses and readings it sends, its maps and the goals\n"
    "                      it is given are then in that frame. Default 0 0 0: the frame of\n"
    "                      the robot's own start pose\n"
    "  --server HOST:PORT  the robot server (default localhost:8101)\n"
    "  --dir DIR           where map_local.ppm and map_global.ppm live (default: the\n"
    "                      working directory); created when missing\n"
    "  --sonar-max-range MM\n"
    "                      the longest sonar echo mapped and sent to the group, 0 to\n"
    "                      5000 mm (default 0: every echo). Long echoes may come from the\n"
    "                      edge of the wide beam; avoidance sees every echo either way\n"
    "  --mapping MODEL     how readings become map updates: ray (default) frees the line\n"
    "                      to each echo and raises its end cell; sonar treats a reading as\n"
    "                      the 15-degree cone of an ultrasonic sensor with log-odds\n"
    "                      evidence, and also sends and uses the beams that heard nothing\n"
    "                      (S messages)\n"
    "  --localize          correct the robot's pose when its odometry drifts: match the sonar\n"
    "                      echoes of the last two seconds to those heard before and to the\n"
    "                      global map, and move the pose toward the match in small steps;\n"
    "                      lines starting \"LOCALIZE:\" on standard error tell the large steps\n"
    "                      and the totals, C messages tell the group how far the pose moved\n"
    "  --localize-lag SECONDS\n"
    "                      with --localize (which it turns on), match against the robot's\n"
    "                      own map as it stood SECONDS ago where it knew the cells then, 1\n"
    "                      to 120 (default: as it is): finds more of a drift, and now and\n"
    "                      then moves a pose that did not drift\n"
    "  -h, --help          this text\n"
    "  --version           the program's version\n";

enum OptionId { NAME = 256, START, SERVER, DIR, SONAR_MAX_RANGE, MAPPING, HELP, VERSION, LOCALIZE, LOCALIZE_LAG };

const option LONG_OPTIONS[] = {
    {"name", required_argument, nullptr, NAME},
    {"start", required_argument, nullptr, START},
    {"server", required_argument, nullptr, SERVER},
    {"dir", required_argument, nullptr, DIR},
    {"sonar-max-range", required_argument, nullptr, SONAR_MAX_RANGE},
    {"mapping", required_argument, nullptr, MAPPING},
    {"localize", no_argument, nullptr, LOCALIZE},
    {"localize-lag", required_argument, nullptr, LOCALIZE_LAG},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

std::string optionName(int id) {
  for (const option& o : LONG_OPTIONS) {
    if (o.val == id && o.name != nullptr) return std::string("--") + o.name;
  }
  return "an option";
}

OptionsOutcome usageError(std::string& message, const std::string& reason) {
  message = "agent: " + reason + " (agent --help shows the usage)";
  return OptionsOutcome::UsageError;
}

// X and Y within the coordinate bound every receiver applies, TH in degrees.
bool readStart(const char* x, const char* y, const char* th, ArPose& start) {
  double vx = 0, vy = 0, vth = 0;
  if (readReal(x, -MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM, vx) != NumberCheck::Ok) return false;
  if (readReal(y, -MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM, vy) != NumberCheck::Ok) return false;
  if (readReal(th, -360, 360, vth) != NumberCheck::Ok) return false;
  start = ArPose(vx, vy, vth);
  return true;
}

// HOST:PORT, or HOST alone for the usual port.
bool readServer(const std::string& text, RobotServer& server) {
  const size_t colon = text.rfind(':');
  const std::string host = text.substr(0, colon);
  int port = RobotServer().port;
  if (host.empty()) return false;
  if (colon != std::string::npos &&
      readInteger(std::string_view(text).substr(colon + 1), 1, 65535, port) != NumberCheck::Ok) {
    return false;
  }
  server.host = host;
  server.port = port;
  return true;
}

}  // namespace

OptionsOutcome parseAgentOptions(int argc, char** argv, AgentOptions& options, std::string& message) {
  opterr = 0;
  optind = 0;  // a fresh scan, also when called again
  for (;;) {
    const int id = getopt_long(argc, argv, ":h", LONG_OPTIONS, nullptr);
    if (id == -1) break;
    if (id == ':') return usageError(message, optionName(optopt) + " needs a value");
    if (id == '?') {
      if (optopt >= NAME) return usageError(message, optionName(optopt) + " takes no value");
      const std::string given = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      return usageError(message, "unknown option '" + given + "'");
    }
    switch (id) {
      case NAME:
        if (const char* problem = nameProblem(optarg)) {
          return usageError(message, std::string("--name refused: ") + problem);
        }
        options.name = optarg;
        break;
      case START:
        // The option's own value is X; Y and TH are the next two words, taken as they
        // are so that negative values are read as numbers, not as options.
        if (optind + 1 >= argc || !readStart(optarg, argv[optind], argv[optind + 1], options.start)) {
          return usageError(message, "--start needs X Y TH: millimetres within 200000 of the origin, and degrees");
        }
        optind += 2;
        break;
      case SERVER:
        if (!readServer(optarg, options.server)) return usageError(message, "--server needs HOST:PORT");
        break;
      case DIR:
        if (*optarg == '\0') return usageError(message, "--dir needs a directory");
        options.directory = optarg;
        break;
      case SONAR_MAX_RANGE:
        if (readInteger(std::string_view(optarg), 0, arproto::kNoEcho, options.sonarMaxRange) != NumberCheck::Ok) {
          return usageError(message, "--sonar-max-range needs millimetres from 0 to 5000");
        }
        break;
      case MAPPING:
        if (!readMapModel(optarg, options.mapping)) return usageError(message, "--mapping needs ray or sonar");
        break;
      case LOCALIZE:
        options.localize = true;
        break;
      case LOCALIZE_LAG:
        if (readInteger(std::string_view(optarg), 1, 120, options.localizeLagSeconds) != NumberCheck::Ok) {
          return usageError(message, "--localize-lag needs seconds from 1 to 120");
        }
        options.localize = true;
        break;
      case 'h':
      case HELP:
        message = USAGE;
        return OptionsOutcome::Exit;
      case VERSION:
        message = std::string("agent ") + MCAGENT_VERSION + "\n";
        return OptionsOutcome::Exit;
      default:
        return usageError(message, "unknown option");
    }
  }
  if (optind < argc) return usageError(message, std::string("unexpected argument '") + argv[optind] + "'");
  return OptionsOutcome::Run;
}

bool prepareMapDirectory(const std::string& directory, std::string& reason) {
  if (directory.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    reason = "cannot create the map directory " + directory + ": " + error.message();
    return false;
  }
  if (!std::filesystem::is_directory(directory, error)) {
    reason = "the map directory " + directory + " is not a directory";
    return false;
  }
  if (access(directory.c_str(), W_OK | X_OK) != 0) {
    reason = "cannot write in the map directory " + directory + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
