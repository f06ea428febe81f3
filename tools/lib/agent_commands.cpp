#include "tools/lib/agent_commands.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string_view>

#include "base/modes.h"
#include "base/numbers.h"
#include "base/text.h"
#include "map/map_cell.h"
#include "net/group_socket.h"

namespace {

// %s:%d and %d: the group, its port and the time-to-live.
const char* const USAGE_FORMAT =
    "usage: agentctl COMMAND ...\n"
    "Sends commands to the mapping agents on the group %s:%d (time-to-live %d),\n"
    "watches, maps, records and replays their traffic. NAME is an agent's name, or \"all\"\n"
    "for every agent.\n"
    "\n"
    "  mode NAME|all VALUE      set the mode (0 wander, 1 manual, 2 potential field, 3 path,\n"
    "                           4 explore, 98 save the maps, 99 stop); VALUE from 0 to 65535;\n"
    "                           an agent that does not know a mode switches to 0\n"
    "  goal NAME|all X Y [TH]   set the navigation goal (mm, mm, degrees; TH defaults to 0)\n"
    "  save NAME|all            save both maps (mode 98)\n"
    "  stop NAME|all            stop the agent (mode 99)\n"
    "  w NAME|all X Y TH        store a W pose\n"
    "  j NAME A B C D U V       store a J record (four reals, two values from 0 to 65535);\n"
    "                           only to one agent, never to all\n"
    "  watch [--seconds N] [--quiet]\n"
    "                           print the decoded traffic and, every 5 s and at the end, a\n"
    "                           summary per agent (message rates, last pose); --quiet prints\n"
    "                           only the summaries; runs N seconds or until interrupted\n"
    "  map --out FILE [--every S] [--seconds N] [--mapping ray|sonar]\n"
    "                           build the team map from the group's P, E and O messages by the\n"
    "                           agents' own rules (an observer without a robot: every agent is a\n"
    "                           peer) and save it to FILE every S seconds (default 5) and at the\n"
    "                           end (N seconds, or SIGINT/SIGTERM); never sends. A line per save:\n"
    "                           \"T s: saved FILE, K known cells, P peers | NAME X Y TH P n E n O n\n"
    "                           | ...\" (each agent's last pose and its messages that took effect).\n"
    "                           --mapping: the agents' mapping model (agent --help); sonar also\n"
    "                           uses their S messages (silent beams)\n"
    "  map --from RECORDING [--from RECORDING]... --out FILE [--mapping ray|sonar]\n"
    "                           build the team map from a recording as fast as it can be read;\n"
    "                           several (one team heard on several segments) are read as one,\n"
    "                           in order of arrival\n"
    "  record [FILE] [--mcap MCAP] [--seconds N]\n"
    "                           write every datagram heard on the group, with its arrival time,\n"
    "                           to FILE as pcap (IPv4/UDP; tcpdump and Wireshark open it), and\n"
    "                           with --mcap as MCAP, as export writes it (complete once the\n"
    "                           recording ends); never sends; runs N seconds or until interrupted\n"
    "  replay FILE [--speed X] [--loop]\n"
    "                           send a recording's datagrams to the group with their recorded\n"
    "                           spacing divided by X (default 1); commands in it are sent too;\n"
    "                           --loop starts again at the end until interrupted. Reads our\n"
    "                           recordings and tcpdump captures of the group's port\n"
    "  view [--port 8080] [--bind 127.0.0.1] [--seconds N] [--mapping ray|sonar]\n"
    "                           serve the live team map as a web page: the map as the map\n"
    "                           command builds it (+x right, +y up), every robot with its trail\n"
    "                           and the last mode and goal the group sent it, buttons for the\n"
    "                           modes and a click on the map for a goal (G, then mode 3).\n"
    "                           Prints the page's address with a random token: commands from\n"
    "                           the page need it, reading the map does not. --bind takes an\n"
    "                           IPv4 address of this machine (default loopback only); --port 0\n"
    "                           picks a free port\n"
    "  foxglove [--port 8765] [--bind 127.0.0.1] [--seconds N] [--allow-commands]\n"
    "           [--mapping ray|sonar]\n"
    "                           serve the team to Foxglove and Lichtblick over the Foxglove\n"
    "                           WebSocket protocol (foxglove.websocket.v1): the team map as\n"
    "                           nav_msgs/msg/OccupancyGrid on /map (once a second when it\n"
    "                           changed), each robot's pose, trail, goal and mode on /NAME/...,\n"
    "                           and /tf, in ROS 2 messages (CDR); listens as the map command\n"
    "                           does. With --allow-commands, clients that connect with the\n"
    "                           printed token may publish a geometry_msgs/msg/PoseStamped on\n"
    "                           /NAME/goal_pose (or /goal_pose for all): a G, then mode 3\n"
    "  export RECORDING --mcap FILE [--compression zstd|none]\n"
    "                           write a recording as MCAP (profile ros2: Foxglove, Lichtblick,\n"
    "                           ros2 bag): every datagram on /group/datagrams and the team map,\n"
    "                           poses, trails, frames, goals and modes the map command's observer\n"
    "                           makes of them, as ROS 2 messages stamped with the arrival times\n"
    "  ros2 [DDS OPTIONS] [--allow-commands [--robot NAME]] [--seconds N]\n"
    "                           publish the team map (as the map command builds it) to ROS 2 over\n"
    "                           DDS: \"map\" (nav_msgs/msg/OccupancyGrid, reliable, transient local,\n"
    "                           depth 1) and every robot on \"tf\" (map -> NAME/base_link); never\n"
    "                           sends, unless --allow-commands: then each pose published on\n"
    "                           \"goal_pose\" (geometry_msgs/msg/PoseStamped in frame \"map\", as\n"
    "                           RViz2's goal tool sends it) goes as G, then mode 3, to --robot NAME\n"
    "                           or else to the robot nearest the goal\n"
    "  bridge [DDS OPTIONS] [--site NAME] [--rate N] [--site-rate N] [--seconds N]\n"
    "                           carry the group between sites over DDS: what this site's group\n"
    "                           hears goes to the other sites' bridges, what they hear is sent\n"
    "                           here, once each; --site names this site (default: the host name;\n"
    "                           bridges of one site share it, one carries and the others stand\n"
    "                           by); at most --rate datagrams a second from one sender here\n"
    "                           (default 1000) and --site-rate from one other site (default\n"
    "                           20000), the rest dropped and counted\n"
    "  DDS OPTIONS: --domain N (0 to 232, default 0), --interface NAME|ADDRESS and --peer HOST\n"
    "                           (each repeatable: the interfaces DDS uses, the hosts it discovers\n"
    "                           by unicast), --dds-config FILE (a Cyclone DDS configuration,\n"
    "                           read before these options; else CYCLONEDDS_URI)\n"
    "  load N SECONDS           play N simulated agents into the group for SECONDS: each sends\n"
    "                           a P and up to 16 E messages every 500 ms and a D every second\n"
    "  --help                   this text (also after any command)\n"
    "  --version                the program's version\n"
    "\n"
    "Coordinates are millimetres within +-200000; all numbers must be finite.\n"
    "The agents' group is reachable only where they run: start agentctl in their network\n"
    "namespace (for agents started in a private one, e.g. by the demo:\n"
    "  nsenter --net=/proc/AGENT_PID/ns/net agentctl ...).\n"
    "Exit status: 0 done, 1 network or file failure, 2 bad arguments.\n";

using Args = std::vector<std::string>;

bool fail(std::string& error, const std::string& reason) {
  error = reason;
  return false;
}

bool readName(const std::string& text, bool allAllowed, std::string& name, std::string& error) {
  if (text.empty()) return fail(error, "the agent name is empty");
  if (std::any_of(text.begin(), text.end(), isBlank)) return fail(error, "the agent name \"" + text + "\" contains blanks");
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) return fail(error, "the agent name contains a NUL");
  if (!allAllowed && text == ALL_AGENTS) return fail(error, "this command goes to one agent, not to \"all\"");
  name = text;
  return true;
}

// Any finite number, or one within +-bound.
bool readNumber(const std::string& text, const char* what, double& value, std::string& error,
                double bound = std::numeric_limits<double>::max()) {
  const std::string quoted = std::string(what) + " \"" + text + "\"";
  switch (readReal(text, -bound, bound, value)) {
    case NumberCheck::Ok: return true;
    case NumberCheck::NotFinite: return fail(error, quoted + " is not finite");
    case NumberCheck::OutOfRange: return fail(error, std::string(what) + " " + text + " lies beyond +-200000 mm");
    case NumberCheck::NotANumber: break;
  }
  return fail(error, quoted + " is not a number");
}

bool readCoordinate(const std::string& text, const char* what, double& value, std::string& error) {
  return readNumber(text, what, value, error, MAP_COORD_BOUND_MM);
}

bool readValue(const std::string& text, const char* what, uint16_t& value, std::string& error) {
  if (readInteger<uint16_t>(text, 0, 65535, value) == NumberCheck::Ok) return true;
  return fail(error, std::string(what) + " \"" + text + "\" is not an integer from 0 to 65535");
}

bool readCount(const std::string& text, const char* what, int limit, int& value, std::string& error) {
  if (readInteger(text, 1, limit, value) == NumberCheck::Ok) return true;
  return fail(error, std::string(what) + " \"" + text + "\" is not an integer from 1 to " + std::to_string(limit));
}

bool expectCount(const Args& args, size_t least, size_t most, std::string& error) {
  if (args.size() >= least && args.size() <= most) return true;
  return fail(error, "wrong number of arguments for \"" + args[0] + "\"");
}

// G and W: NAME X Y TH, TH optional for goal.
bool readPoseCommand(const Args& args, char type, bool headingOptional, ToolCommand& c, std::string& error) {
  if (!expectCount(args, headingOptional ? 4 : 5, 5, error)) return false;
  c.type = type;
  return readName(args[1], true, c.name, error) && readCoordinate(args[2], "X", c.reals[0], error) &&
         readCoordinate(args[3], "Y", c.reals[1], error) &&
         (args.size() < 5 || readNumber(args[4], "TH", c.reals[2], error));
}

bool readModeCommand(const Args& args, ToolCommand& c, std::string& error) {
  if (!expectCount(args, 3, 3, error)) return false;
  c.type = 'M';
  return readName(args[1], true, c.name, error) && readValue(args[2], "VALUE", c.values[0], error);
}

bool readFixedModeCommand(const Args& args, uint16_t mode, ToolCommand& c, std::string& error) {
  if (!expectCount(args, 2, 2, error)) return false;
  c.type = 'M';
  c.values[0] = mode;
  return readName(args[1], true, c.name, error);
}

bool readJCommand(const Args& args, ToolCommand& c, std::string& error) {
  if (!expectCount(args, 8, 8, error)) return false;
  c.type = 'J';
  return readName(args[1], false, c.name, error) && readNumber(args[2], "A", c.reals[0], error) &&
         readNumber(args[3], "B", c.reals[1], error) && readNumber(args[4], "C", c.reals[2], error) &&
         readNumber(args[5], "D", c.reals[3], error) && readValue(args[6], "U", c.values[0], error) &&
         readValue(args[7], "V", c.values[1], error);
}

// Runs getopt_long over a command's arguments (args[0] is the command): onOption gets
// each option's id and value (null for a flag); the other arguments, in order, go to
// operands. "--help" anywhere makes the command a request for help.
using OptionHandler = std::function<bool(int id, const char* value, std::string& error)>;

constexpr int HELP_OPTION = 'h';

bool readOptions(const Args& args, const option* longOptions, const OptionHandler& onOption, Args& operands,
                 bool& help, std::string& error) {
  std::vector<std::string> words(args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  optind = 0;  // a full restart of getopt's scan, also after an earlier command line
  opterr = 0;
  for (;;) {
    const int id = getopt_long(argc, argv.data(), ":", longOptions, nullptr);
    if (id == -1) break;
    if (id == ':') return fail(error, std::string(argv[optind - 1]) + " needs a value");
    if (id == '?') return fail(error, "unknown " + args[0] + " option \"" + argv[optind - 1] + "\"");
    if (id == HELP_OPTION) {
      help = true;
      continue;
    }
    if (!onOption(id, optarg, error)) return false;
  }
  operands.assign(argv.begin() + optind, argv.begin() + argc);
  return true;
}

bool readSeconds(const char* text, int& seconds, std::string& error) {
  return readCount(text, "--seconds", 86400, seconds, error);
}

bool noOperands(const Args& operands, const std::string& command, std::string& error) {
  if (operands.empty()) return true;
  return fail(error, "unexpected argument \"" + operands[0] + "\" for " + command);
}

bool oneFile(const Args& operands, const std::string& command, std::string& file, std::string& error) {
  if (operands.size() != 1) return fail(error, command + " needs exactly one FILE");
  if (operands[0].empty()) return fail(error, "the file name is empty");
  file = operands[0];
  return true;
}

// An option's file name, refused when empty.
bool readFileOption(const char* value, const char* option, std::string& file, std::string& error) {
  file = value;
  return !file.empty() || fail(error, std::string("the ") + option + " file name is empty");
}

bool readMapping(const char* text, MapModel& mapping, std::string& error) {
  return readMapModel(text, mapping) || fail(error, std::string("--mapping \"") + text + "\" is neither ray nor sonar");
}

bool readWatchCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const option OPTIONS[] = {
      {"seconds", required_argument, nullptr, 's'}, {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, HELP_OPTION}, {nullptr, 0, nullptr, 0}};
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    if (id == 'q') c.quiet = true;
    return id != 's' || readSeconds(value, c.seconds, why);
  };
  return readOptions(args, OPTIONS, onOption, operands, help, error) && noOperands(operands, "watch", error);
}

bool readMapCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const option OPTIONS[] = {
      {"out", required_argument, nullptr, 'o'},     {"every", required_argument, nullptr, 'e'},
      {"seconds", required_argument, nullptr, 's'}, {"from", required_argument, nullptr, 'f'},
      {"mapping", required_argument, nullptr, 'm'}, {"help", no_argument, nullptr, HELP_OPTION},
      {nullptr, 0, nullptr, 0}};
  Args operands;
  bool periodic = false;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    switch (id) {
      case 'm': return readMapping(value, c.mapping, why);
      case 'o': return readFileOption(value, "--out", c.outFile, why);
      case 'f': {
        std::string file;
        if (!readFileOption(value, "--from", file, why)) return false;
        if (c.fromFile.empty()) c.fromFile = file;
        else c.moreFromFiles.push_back(file);
        return true;
      }
      case 'e': periodic = true; return readCount(value, "--every", 86400, c.everySeconds, why);
      default: periodic = true; return readSeconds(value, c.seconds, why);
    }
  };
  if (!readOptions(args, OPTIONS, onOption, operands, help, error) || !noOperands(operands, "map", error)) return false;
  if (help) return true;
  if (c.outFile.empty()) return fail(error, "map needs --out FILE");
  if (!c.fromFile.empty() && periodic) {
    return fail(error, "map --from reads the whole recording and saves once: --every and --seconds do not apply");
  }
  return true;
}

bool readRecordCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const option OPTIONS[] = {
      {"seconds", required_argument, nullptr, 's'}, {"mcap", required_argument, nullptr, 'm'},
      {"help", no_argument, nullptr, HELP_OPTION}, {nullptr, 0, nullptr, 0}};
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    return id == 'm' ? readFileOption(value, "--mcap", c.mcapFile, why) : readSeconds(value, c.seconds, why);
  };
  if (!readOptions(args, OPTIONS, onOption, operands, help, error)) return false;
  if (help || (operands.empty() && !c.mcapFile.empty())) return true;
  return oneFile(operands, "record", c.file, error);
}

bool readReplayCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const option OPTIONS[] = {
      {"speed", required_argument, nullptr, 'x'}, {"loop", no_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, HELP_OPTION}, {nullptr, 0, nullptr, 0}};
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    if (id == 'l') {
      c.loop = true;
      return true;
    }
    if (readReal(value, 0.01, 1000, c.speed) == NumberCheck::Ok) return true;
    return fail(why, std::string("--speed \"") + value + "\" is not a number from 0.01 to 1000");
  };
  if (!readOptions(args, OPTIONS, onOption, operands, help, error)) return false;
  return help || oneFile(operands, "replay", c.file, error);
}

// view and foxglove: the address served at; foxglove also takes --allow-commands.
bool readServeCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const option OPTIONS[] = {
      {"port", required_argument, nullptr, 'p'},    {"bind", required_argument, nullptr, 'b'},
      {"seconds", required_argument, nullptr, 's'}, {"allow-commands", no_argument, nullptr, 'a'},
      {"mapping", required_argument, nullptr, 'm'}, {"help", no_argument, nullptr, HELP_OPTION},
      {nullptr, 0, nullptr, 0}};
  const bool foxglove = c.action == ToolAction::Foxglove;
  if (foxglove) c.port = 8765;
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    switch (id) {
      case 'm': return readMapping(value, c.mapping, why);
      case 'a':
        c.allowCommands = true;
        return foxglove || fail(why, "unknown view option \"--allow-commands\" (the page takes commands with its token)");
      case 'p':
        if (readInteger(value, 0, 65535, c.port) == NumberCheck::Ok) return true;
        return fail(why, std::string("--port \"") + value + "\" is not an integer from 0 to 65535");
      case 'b': {
        in_addr address{};
        c.bind = value;
        if (inet_pton(AF_INET, value, &address) != 1) return fail(why, "--bind \"" + c.bind + "\" is not an IPv4 address");
        if (address.s_addr == htonl(INADDR_ANY)) {
          return fail(why, "--bind 0.0.0.0 would serve every network; name the address to serve on");
        }
        return true;
      }
      default: return readSeconds(value, c.seconds, why);
    }
  };
  return readOptions(args, OPTIONS, onOption, operands, help, error) && noOperands(operands, args[0], error);
}

bool readExportCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const option OPTIONS[] = {
      {"mcap", required_argument, nullptr, 'm'}, {"compression", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, HELP_OPTION}, {nullptr, 0, nullptr, 0}};
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    if (id == 'm') return readFileOption(value, "--mcap", c.mcapFile, why);
    c.mcapPlain = std::string_view(value) == "none";
    return c.mcapPlain || std::string_view(value) == "zstd" ||
           fail(why, std::string("--compression \"") + value + "\" is neither zstd nor none");
  };
  if (!readOptions(args, OPTIONS, onOption, operands, help, error)) return false;
  if (help) return true;
  if (!oneFile(operands, "export", c.fromFile, error)) return false;
  return !c.mcapFile.empty() || fail(error, "export needs --mcap FILE");
}

// The options ros2 and bridge share: where DDS talks, and for how long.
constexpr const char* DDS_OPTION_IDS = "diPcs";

bool readDdsOption(int id, const char* value, ToolCommand& c, std::string& why) {
  switch (id) {
    case 'd':
      if (readInteger<uint32_t>(value, 0, 232, c.ddsDomain) == NumberCheck::Ok) return true;
      return fail(why, std::string("--domain \"") + value + "\" is not an integer from 0 to 232");
    case 'i': c.ddsInterfaces.emplace_back(value); return !c.ddsInterfaces.back().empty() || fail(why, "--interface is empty");
    case 'P': c.ddsPeers.emplace_back(value); return !c.ddsPeers.back().empty() || fail(why, "--peer is empty");
    case 'c': return readFileOption(value, "--dds-config", c.ddsConfig, why);
    default: return readSeconds(value, c.seconds, why);
  }
}

bool isDdsOption(int id) { return std::strchr(DDS_OPTION_IDS, id) != nullptr; }

// The shared options, then a command's own, then the end of the table.
std::vector<option> ddsCommandOptions(std::initializer_list<option> own) {
  std::vector<option> all = {{"domain", required_argument, nullptr, 'd'},    {"interface", required_argument, nullptr, 'i'},
                             {"peer", required_argument, nullptr, 'P'},      {"dds-config", required_argument, nullptr, 'c'},
                             {"seconds", required_argument, nullptr, 's'},   {"help", no_argument, nullptr, HELP_OPTION}};
  all.insert(all.end(), own);
  all.push_back({nullptr, 0, nullptr, 0});
  return all;
}

bool readRos2Command(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const std::vector<option> OPTIONS = ddsCommandOptions(
      {{"allow-commands", no_argument, nullptr, 'a'}, {"robot", required_argument, nullptr, 'r'}});
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    if (isDdsOption(id)) return readDdsOption(id, value, c, why);
    if (id == 'a') {
      c.allowCommands = true;
      return true;
    }
    return readName(value, false, c.robot, why);
  };
  if (!readOptions(args, OPTIONS.data(), onOption, operands, help, error) || !noOperands(operands, "ros2", error)) return false;
  if (!c.robot.empty() && !c.allowCommands) return fail(error, "--robot names where goals go: it needs --allow-commands");
  return true;
}

bool readRate(const char* option, const char* value, double& rate, std::string& why) {
  if (readReal(value, 1, 1e7, rate) == NumberCheck::Ok) return true;
  return fail(why, std::string(option) + " \"" + value + "\" is not a number from 1 to 10000000");
}

bool readBridgeCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  static const std::vector<option> OPTIONS = ddsCommandOptions({{"site", required_argument, nullptr, 'n'},
                                                                {"rate", required_argument, nullptr, 'R'},
                                                                {"site-rate", required_argument, nullptr, 'S'}});
  Args operands;
  const OptionHandler onOption = [&](int id, const char* value, std::string& why) {
    if (isDdsOption(id)) return readDdsOption(id, value, c, why);
    if (id == 'R') return readRate("--rate", value, c.sourceRate, why);
    if (id == 'S') return readRate("--site-rate", value, c.siteRate, why);
    return readName(value, false, c.site, why);
  };
  return readOptions(args, OPTIONS.data(), onOption, operands, help, error) && noOperands(operands, "bridge", error);
}

bool readLoadCommand(const Args& args, ToolCommand& c, std::string& error) {
  if (!expectCount(args, 3, 3, error)) return false;
  return readCount(args[1], "N", 10000, c.loadAgents, error) &&
         readCount(args[2], "SECONDS", 86400, c.loadSeconds, error);
}

bool readSendCommand(const Args& args, ToolCommand& c, std::string& error) {
  const std::string& verb = args[0];
  bool read = false;
  if (verb == "mode") read = readModeCommand(args, c, error);
  else if (verb == "goal") read = readPoseCommand(args, 'G', true, c, error);
  else if (verb == "w") read = readPoseCommand(args, 'W', false, c, error);
  else if (verb == "save") read = readFixedModeCommand(args, MODE_SAVE_MAPS, c, error);
  else if (verb == "stop") read = readFixedModeCommand(args, MODE_STOP, c, error);
  else if (verb == "j") read = readJCommand(args, c, error);
  else return fail(error, "unknown command \"" + verb + "\"");
  if (!read) return false;
  char buffer[MSG_BUFFER_SIZE];
  if (formatMessage(c.message(), buffer, sizeof buffer) < 0) return fail(error, "the message would not fit in one datagram");
  c.action = ToolAction::Send;
  return true;
}

}  // namespace

namespace {

// Where the descriptions of the usage's entries start.
constexpr size_t DESCRIPTION_COLUMN = 27;

// One command's entries of the usage: each "  COMMAND ARGS   description" line and the
// description lines under it, as "usage: agentctl COMMAND ARGS" and the description.
std::string commandUsage(const std::string& usage, const std::string& command) {
  std::string out;
  bool inEntry = false;
  for (size_t start = 0, end; start < usage.size(); start = end + 1) {
    end = usage.find('\n', start);
    if (end == std::string::npos) end = usage.size();
    const std::string line = usage.substr(start, end - start);
    if (line.rfind("  " + command + " ", 0) == 0 || line == "  " + command) {
      const size_t gap = line.find("  ", 2);
      out += (out.empty() ? "usage: agentctl " : "       agentctl ") + line.substr(2, gap - 2) + "\n";
      if (gap != std::string::npos) out += "  " + line.substr(line.find_first_not_of(' ', gap)) + "\n";
      inEntry = true;
    } else if (inEntry && line.size() > DESCRIPTION_COLUMN && line.find_first_not_of(' ') == DESCRIPTION_COLUMN) {
      out += "  " + line.substr(DESCRIPTION_COLUMN) + "\n";
    } else {
      inEntry = false;
    }
  }
  return out.empty() ? usage : out + "(agentctl --help shows every command)\n";
}

}  // namespace

std::string agentctlUsage(const std::string& command) {
  const int length = std::snprintf(nullptr, 0, USAGE_FORMAT, MCAST_GROUP, MCAST_PORT, MCAST_TTL);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), USAGE_FORMAT, MCAST_GROUP, MCAST_PORT, MCAST_TTL);
  text.pop_back();
  return command.empty() ? text : commandUsage(text, command);
}

std::string modeName(unsigned value) {
  switch (value) {
    case MODE_ERRATIC: return "wander";
    case MODE_STOP_AND_MANUAL: return "manual";
    case MODE_POT_FIELD: return "potential field";
    case MODE_PATH: return "path";
    case 4: return "explore";  // frontier exploration, for agents that know it
    case MODE_SAVE_MAPS: return "save maps";
    case MODE_STOP: return "stop";
    default: return "";
  }
}

namespace {

// The commands with options; help is set when "--help" was among them.
bool readOptionCommand(const Args& args, ToolCommand& c, bool& help, std::string& error) {
  const std::string& verb = args[0];
  if (verb == "watch") {
    c.action = ToolAction::Watch;
    return readWatchCommand(args, c, help, error);
  }
  if (verb == "map") {
    c.action = ToolAction::Map;
    return readMapCommand(args, c, help, error);
  }
  if (verb == "record") {
    c.action = ToolAction::Record;
    return readRecordCommand(args, c, help, error);
  }
  if (verb == "view" || verb == "foxglove") {
    c.action = verb == "view" ? ToolAction::View : ToolAction::Foxglove;
    return readServeCommand(args, c, help, error);
  }
  if (verb == "export") {
    c.action = ToolAction::Export;
    return readExportCommand(args, c, help, error);
  }
  if (verb == "ros2") {
    c.action = ToolAction::Ros2;
    return readRos2Command(args, c, help, error);
  }
  if (verb == "bridge") {
    c.action = ToolAction::Bridge;
    return readBridgeCommand(args, c, help, error);
  }
  c.action = ToolAction::Replay;
  return readReplayCommand(args, c, help, error);
}

bool hasOptions(const std::string& verb) {
  return verb == "watch" || verb == "map" || verb == "record" || verb == "replay" || verb == "view" ||
         verb == "export" || verb == "foxglove" || verb == "ros2" || verb == "bridge";
}

}  // namespace

bool parseToolCommand(const Args& args, ToolCommand& command, std::string& error) {
  ToolCommand c;
  if (args.empty()) return fail(error, "no command given");
  const std::string& verb = args[0];
  const bool askedForHelp = std::find(args.begin(), args.end(), "--help") != args.end();
  if (verb == "-h" || verb == "help" || (askedForHelp && !hasOptions(verb))) {
    c.action = ToolAction::Help;
    if (askedForHelp && verb != "--help") c.helpTopic = verb;
  } else if (verb == "--version") {
    c.action = ToolAction::Version;
  } else if (hasOptions(verb)) {
    bool help = false;
    if (!readOptionCommand(args, c, help, error)) return false;
    if (help) {
      c = ToolCommand{};
      c.helpTopic = verb;
    }
  } else if (verb == "load") {
    if (!readLoadCommand(args, c, error)) return false;
    c.action = ToolAction::Load;
  } else if (!readSendCommand(args, c, error)) {
    return false;
  }
  command = c;
  return true;
}
