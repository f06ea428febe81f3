#include "tools/lib/agent_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/modes.h"
#include "base/numbers.h"
#include "base/text.h"
#include "map/map_cell.h"
#include "net/group_socket.h"

namespace {

// %s:%d and %d: the group, its port and the time-to-live.
const char* const USAGE_FORMAT =
    "usage: agentctl COMMAND ...\n"
    "Sends commands to the mapping agents on the group %s:%d (time-to-live %d)\n"
    "and watches their traffic. NAME is an agent's name, or \"all\" for every agent.\n"
    "\n"
    "  mode NAME|all VALUE      set the mode (0 explore, 1 manual, 2 potential field, 3 path,\n"
    "                           98 save the maps, 99 stop); VALUE from 0 to 65535\n"
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
    "  load N SECONDS           play N simulated agents into the group for SECONDS: each sends\n"
    "                           a P and up to 16 E messages every 500 ms and a D every second\n"
    "  --help                   this text\n"
    "\n"
    "Coordinates are millimetres within +-200000; all numbers must be finite.\n"
    "The agents' group is reachable only where they run: start agentctl in their network\n"
    "namespace (for agents started in a private one, e.g. by the demo:\n"
    "  nsenter --net=/proc/AGENT_PID/ns/net agentctl ...).\n"
    "Exit status: 0 done, 1 network failure, 2 bad arguments.\n";

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

bool readWatchCommand(const Args& args, ToolCommand& c, std::string& error) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--quiet") {
      c.quiet = true;
    } else if (args[i] == "--seconds" && i + 1 < args.size()) {
      if (!readCount(args[++i], "--seconds", 86400, c.watchSeconds, error)) return false;
    } else {
      return fail(error, "unknown watch option \"" + args[i] + "\"");
    }
  }
  return true;
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

std::string agentctlUsage() {
  char text[3000];
  std::snprintf(text, sizeof text, USAGE_FORMAT, MCAST_GROUP, MCAST_PORT, MCAST_TTL);
  return text;
}

bool parseToolCommand(const Args& args, ToolCommand& command, std::string& error) {
  ToolCommand c;
  if (args.empty()) return fail(error, "no command given");
  const std::string& verb = args[0];
  if (verb == "--help" || verb == "-h" || verb == "help") {
    c.action = ToolAction::Help;
  } else if (verb == "watch") {
    if (!readWatchCommand(args, c, error)) return false;
    c.action = ToolAction::Watch;
  } else if (verb == "load") {
    if (!readLoadCommand(args, c, error)) return false;
    c.action = ToolAction::Load;
  } else if (!readSendCommand(args, c, error)) {
    return false;
  }
  command = c;
  return true;
}
