#pragma once
// agentctl's command line: checked in full before anything is sent, so a bad argument
// never reaches the group. Commands to agents are built as the agents read them.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "map/sonar_model.h"
#include "net/messages.h"

enum class ToolAction { Help, Version, Send, Watch, Load, Map, Record, Replay, View, Export, Foxglove, Ros2, Bridge };

struct ToolCommand {
  ToolAction action = ToolAction::Help;
  // Help: the command asked about ("mode", "map", ...), empty for every command.
  std::string helpTopic;
  // Send: one message to the group.
  char type = 0;
  std::string name;
  std::array<double, 5> reals{};
  std::array<uint16_t, 2> values{};
  // Watch, Map, Record, View: how long, 0 for until interrupted. Watch: quiet prints only the summaries.
  int seconds = 0;
  bool quiet = false;
  // Load: simulated agents and for how long.
  int loadAgents = 0;
  int loadSeconds = 0;
  // Map: the map file to write, how often (s), and a recording to build it from instead
  // of the live group.
  std::string outFile;
  int everySeconds = 5;
  std::string fromFile;
  std::vector<std::string> moreFromFiles;  // further recordings, read with fromFile in order of arrival
  // Map, View: how readings become the team map (agent --mapping).
  MapModel mapping = MapModel::Ray;
  // Record, Replay: the recording; Replay: its speed and whether it repeats.
  std::string file;
  double speed = 1.0;
  bool loop = false;
  // Export: the recording (fromFile) as MCAP, chunks compressed with zstd unless plain;
  // Record: the MCAP file to write beside (or instead of) the pcap file.
  std::string mcapFile;
  bool mcapPlain = false;
  // View, Foxglove: the address and port served at (port 0: one the kernel picks).
  std::string bind = "127.0.0.1";
  int port = 8080;
  // Foxglove: whether clients with the token may publish goals; Ros2: whether goals from
  // ROS 2 are sent on.
  bool allowCommands = false;
  // Ros2, Bridge: the DDS domain, the interfaces and unicast peers DDS may use, a Cyclone
  // DDS configuration file. Ros2: to which robot goals go (empty: the one nearest the
  // goal). Bridge: this site's name and the bounds per local sender and per far site
  // (datagrams a second).
  uint32_t ddsDomain = 0;
  std::vector<std::string> ddsInterfaces, ddsPeers;
  std::string ddsConfig;
  std::string robot;
  std::string site;
  double sourceRate = 1000, siteRate = 20000;

  // The message to send; it refers to name, so it lives no longer than this command.
  Message message() const { return Message{type, name, reals, values}; }
};

// Reads the arguments after the program name. False with a one-line reason in error
// when they are not a valid command.
bool parseToolCommand(const std::vector<std::string>& args, ToolCommand& command, std::string& error);

// The text of agentctl --help, or of one command's part of it (agentctl COMMAND --help);
// all of it for a command it does not describe.
std::string agentctlUsage(const std::string& command = "");

// The name agentctl gives a mode value ("wander", "explore", ...), empty for a value
// that is no mode.
std::string modeName(unsigned value);
