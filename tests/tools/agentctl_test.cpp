#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "map/map_cell.h"
#include "net/messages.h"
#include "tools/lib/agent_commands.h"
#include "tools/lib/group_recording.h"
#include "tools/lib/load_model.h"
#include "tools/lib/traffic_summary.h"

namespace {

// The datagram text a command line sends, or "error: ..." when it is refused.
std::string sentText(const std::vector<std::string>& args) {
  ToolCommand command;
  std::string error;
  if (!parseToolCommand(args, command, error)) return "error: " + error;
  if (command.action != ToolAction::Send) return "(not a send)";
  char text[MSG_BUFFER_SIZE];
  if (formatMessage(command.message(), text, sizeof text) < 0) return "(unformattable)";
  return text;
}

bool refused(const std::vector<std::string>& args) { return sentText(args).rfind("error: ", 0) == 0; }

TEST(AgentctlArguments, CommandsBecomeTheMessagesAgentsRead) {
  EXPECT_EQ(sentText({"mode", "alpha", "2"}), "M alpha 2");
  EXPECT_EQ(sentText({"mode", "all", "65535"}), "M all 65535");
  EXPECT_EQ(sentText({"save", "all"}), "M all 98");
  EXPECT_EQ(sentText({"stop", "bob"}), "M bob 99");
  EXPECT_EQ(sentText({"goal", "all", "1500", "-2000.5"}), "G all 1500.000 -2000.500 0.000");
  EXPECT_EQ(sentText({"goal", "alpha", "1e3", "0", "90"}), "G alpha 1000.000 0.000 90.000");
  EXPECT_EQ(sentText({"w", "all", "1", "2", "3"}), "W all 1.000 2.000 3.000");
  EXPECT_EQ(sentText({"j", "alpha", "1", "2", "3", "4e6", "5", "6"}), "J alpha 1.000 2.000 3.000 4000000.000 5 6");

  char text[MSG_BUFFER_SIZE];
  ToolCommand command;
  std::string error;
  ASSERT_TRUE(parseToolCommand({"goal", "alpha", "-200000", "200000", "-45"}, command, error));
  ASSERT_GT(formatMessage(command.message(), text, sizeof text), 0);
  Message read;
  ASSERT_TRUE(parseMessage(text, read)) << "an agent reads what agentctl sends";
  EXPECT_EQ(read.reals[0], -200000);
}

TEST(AgentctlArguments, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"fly", "all"},
      {"mode", "all"},
      {"mode", "all", "1", "2"},
      {"mode", "all", "-1"},
      {"mode", "all", "65536"},
      {"mode", "all", "1.5"},
      {"mode", "all", "two"},
      {"mode", "all", "+5"},
      {"mode", "", "1"},
      {"mode", "al ice", "1"},
      {"mode", "tab\there", "1"},
      {"stop", std::string("nu\0l", 4)},
      {"stop"},
      {"goal", "all", "1"},
      {"goal", "all", "x", "2"},
      {"goal", "all", "1", "2", "3", "4"},
      {"goal", "all", "nan", "2"},
      {"goal", "all", "1", "inf"},
      {"goal", "all", "200000.5", "0"},
      {"goal", "all", "0", "-1e9"},
      {"goal", "all", "1", "2", "inf"},
      {"goal", "all", "1", "2", "3deg"},
      {"goal", "all", " 1", "2"},
      {"goal", "all", "1e400", "2"},
      {"w", "all", "1", "2"},
      {"j", "all", "1", "2", "3", "4", "5", "6"},
      {"j", "alpha", "1", "2", "3", "4", "5"},
      {"j", "alpha", "1", "2", "3", "4", "-5", "6"},
      {"j", "alpha", "1", "2", "3", "nan", "5", "6"},
      {"goal", std::string(1390, 'n'), "0", "0"},
  };
  for (const auto& args : bad) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    EXPECT_TRUE(refused(args)) << shown << " -> " << sentText(args);
  }
}

TEST(AgentctlArguments, OptionsOfWatchMapRecordReplayAndLoad) {
  ToolCommand c;
  std::string error;
  ASSERT_TRUE(parseToolCommand({"watch"}, c, error));
  EXPECT_EQ(c.action, ToolAction::Watch);
  EXPECT_EQ(c.seconds, 0);
  ASSERT_TRUE(parseToolCommand({"watch", "--quiet", "--seconds", "5"}, c, error));
  EXPECT_EQ(c.seconds, 5);
  EXPECT_TRUE(c.quiet);
  ASSERT_TRUE(parseToolCommand({"load", "20", "10"}, c, error));
  EXPECT_EQ(c.action, ToolAction::Load);
  EXPECT_EQ(c.loadAgents, 20);
  EXPECT_EQ(c.loadSeconds, 10);
  ASSERT_TRUE(parseToolCommand({"map", "--out", "team.ppm"}, c, error)) << error;
  EXPECT_EQ(c.action, ToolAction::Map);
  EXPECT_EQ(c.outFile, "team.ppm");
  EXPECT_EQ(c.everySeconds, 5);
  EXPECT_EQ(c.fromFile, "");
  ASSERT_TRUE(parseToolCommand({"map", "--every=2", "--out=t.ppm", "--seconds", "30"}, c, error)) << error;
  EXPECT_EQ(c.everySeconds, 2);
  EXPECT_EQ(c.seconds, 30);
  ASSERT_TRUE(parseToolCommand({"map", "--from", "run.pcap", "--out", "t.ppm"}, c, error)) << error;
  EXPECT_EQ(c.fromFile, "run.pcap");
  EXPECT_EQ(c.mapping, MapModel::Ray) << "the agents' default";
  ASSERT_TRUE(parseToolCommand({"map", "--out", "t.ppm", "--mapping", "sonar"}, c, error)) << error;
  EXPECT_EQ(c.mapping, MapModel::Sonar);
  EXPECT_FALSE(parseToolCommand({"view", "--mapping", "cone"}, c, error));
  EXPECT_NE(error.find("--mapping \"cone\" is neither ray nor sonar"), std::string::npos) << error;
  ASSERT_TRUE(parseToolCommand({"map", "--from", "a.pcap", "--from", "b.pcap", "--out", "t.ppm"}, c, error)) << error;
  EXPECT_EQ(c.fromFile + " " + c.moreFromFiles.at(0), "a.pcap b.pcap");
  ASSERT_TRUE(parseToolCommand({"ros2", "--interface", "lo", "--interface", "eth1", "--peer", "10.1.2.3", "--domain",
                                "7", "--allow-commands", "--robot", "alpha"},
                               c, error))
      << error;
  EXPECT_EQ(c.action, ToolAction::Ros2);
  EXPECT_EQ(c.ddsInterfaces, (std::vector<std::string>{"lo", "eth1"}));
  EXPECT_EQ(c.ddsPeers.at(0) + " " + std::to_string(c.ddsDomain) + " " + c.robot, "10.1.2.3 7 alpha");
  EXPECT_TRUE(c.allowCommands);
  ASSERT_TRUE(parseToolCommand({"bridge", "--site", "lab", "--rate", "500", "--dds-config", "c.xml"}, c, error)) << error;
  EXPECT_EQ(c.action, ToolAction::Bridge);
  EXPECT_EQ(c.site + " " + c.ddsConfig, "lab c.xml");
  EXPECT_EQ(c.sourceRate, 500);
  EXPECT_FALSE(c.allowCommands);
  ASSERT_TRUE(parseToolCommand({"record", "run.pcap", "--seconds", "60"}, c, error)) << error;
  EXPECT_EQ(c.action, ToolAction::Record);
  EXPECT_EQ(c.file, "run.pcap");
  EXPECT_EQ(c.seconds, 60);
  ASSERT_TRUE(parseToolCommand({"replay", "--loop", "run.pcap", "--speed", "2.5"}, c, error)) << error;
  EXPECT_EQ(c.action, ToolAction::Replay);
  EXPECT_EQ(c.file, "run.pcap");
  EXPECT_EQ(c.speed, 2.5);
  EXPECT_TRUE(c.loop);
  ASSERT_TRUE(parseToolCommand({"view"}, c, error)) << error;
  EXPECT_EQ(c.action, ToolAction::View);
  EXPECT_EQ(c.bind + ":" + std::to_string(c.port), "127.0.0.1:8080") << "loopback only unless asked";
  ASSERT_TRUE(parseToolCommand({"view", "--port", "0", "--bind", "10.0.0.5"}, c, error)) << error;
  EXPECT_EQ(c.bind + ":" + std::to_string(c.port), "10.0.0.5:0");
  struct HelpRow {
    std::vector<std::string> args;
    std::string shown, notShown;
  };
  for (const HelpRow& row : std::vector<HelpRow>{
           {{"--help"}, "  mode NAME|all VALUE", ""},
           {{"map", "--help"}, "usage: agentctl map --out FILE [--every S] [--seconds N] [--mapping ray|sonar]\n", "replay FILE"},
           {{"replay", "--help"}, "usage: agentctl replay FILE [--speed X] [--loop]\n  send a recording's", "map --out"},
           {{"goal", "--help"}, "usage: agentctl goal NAME|all X Y [TH]\n  set the navigation goal", "mode NAME"},
           {{"view", "--help"}, "--port 0\n  picks a free port\n", "load N"}}) {
    ASSERT_TRUE(parseToolCommand(row.args, c, error)) << row.args[0];
    EXPECT_EQ(c.action, ToolAction::Help) << row.args[0];
    const std::string help = agentctlUsage(c.helpTopic);
    EXPECT_NE(help.find(row.shown), std::string::npos) << help;
    if (!row.notShown.empty()) {
      EXPECT_EQ(help.find(row.notShown), std::string::npos) << "one command's help only\n" << help;
    }
  }
  ASSERT_TRUE(parseToolCommand({"--version"}, c, error));
  EXPECT_EQ(c.action, ToolAction::Version);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"watch", "--seconds"}, {"watch", "--seconds", "0"}, {"watch", "--seconds", "-3"}, {"watch", "--loud"},
           {"watch", "extra"}, {"load", "0", "10"}, {"load", "5"}, {"load", "5", "1.5"}, {"load", "x", "5"},
           {"map"}, {"map", "--out"}, {"map", "--out", ""}, {"map", "--out", "t.ppm", "--every", "0"},
           {"map", "--out", "t.ppm", "extra"}, {"map", "--from", "r.pcap", "--out", "t.ppm", "--every", "5"},
           {"record"}, {"record", "a.pcap", "b.pcap"}, {"record", "a.pcap", "--seconds", "1e3"},
           {"view", "--port", "65536"}, {"view", "--bind", "0.0.0.0"}, {"view", "--bind", "localhost"},
           {"view", "extra"}, {"replay"}, {"replay", "a.pcap", "--speed", "0"}, {"replay", "a.pcap", "--speed", "nan"},
           {"replay", "a.pcap", "--speed"}, {"replay", "a.pcap", "--loud"}, {"ros2", "--robot", "alpha"},
           {"ros2", "--domain", "233"}, {"ros2", "--allow-commands", "--robot", "all"}, {"ros2", "--peer", ""},
           {"bridge", "--rate", "0"}, {"bridge", "--site-rate", "x"}, {"bridge", "--allow-commands"}, {"bridge", "x"}}) {
    EXPECT_FALSE(parseToolCommand(args, c, error)) << args.back();
  }
}

TEST(LoadModel, EachCycleSendsUpToSixteenReadingsThenAPoseAndADEverySecond) {
  const int agents = 10000;  // the largest load: coordinates must stay in bounds
  LoadModel model(agents);
  for (long cycle : {0L, 1L, 57L}) {
    std::map<std::string, std::string> sequence;  // per agent its letters in sending order
    model.playCycle(cycle, [&](const Message& m) {
      sequence[std::string(m.name)] += m.type;
      EXPECT_TRUE(pointInBounds(m.reals[0], m.reals[1]));
      if (m.type == 'E') {
        EXPECT_TRUE(pointInBounds(m.reals[2], m.reals[3]));
      }
      const double heading = m.type == 'E' ? m.reals[4] : m.reals[2];
      EXPECT_TRUE(heading > -180 && heading <= 180) << heading;
    });
    ASSERT_EQ(sequence.size(), static_cast<size_t>(agents));
    for (const auto& [name, letters] : sequence) {
      const std::string tail = cycle % 2 == 0 ? "PD" : "P";
      ASSERT_GE(letters.size(), tail.size()) << name;
      EXPECT_EQ(letters.substr(letters.size() - tail.size()), tail) << name;
      const size_t readings = letters.size() - tail.size();
      EXPECT_LE(readings, static_cast<size_t>(LOAD_SONAR_DISCS)) << name;
      EXPECT_EQ(letters.substr(0, readings), std::string(readings, 'E')) << name;
    }
  }
}

TEST(TrafficSummary, RatesPerAgentOverEachWindowAndLastPoses) {
  TrafficSummary summary(0);
  for (int i = 0; i < 10; ++i) summary.record(Message{'E', "alpha", {1, 2, 3, 4, 5}});
  summary.record(Message{'P', "alpha", {1000, -2000, 90}});
  summary.record(Message{'O', "bob", {1, 2}});
  summary.record(Message{'M', "all", {}, {99}});
  summary.recordUnreadable();
  const std::string first = summary.report(2000);
  EXPECT_NE(first.find("summary over 2.0 s: 2 agents, 1 command, 1 unreadable"), std::string::npos) << first;
  EXPECT_NE(first.find("E     5.0/s"), std::string::npos) << first;
  EXPECT_NE(first.find("last pose 1000.000 -2000.000 90.000"), std::string::npos) << first;
  EXPECT_NE(first.find("no pose yet"), std::string::npos) << first;

  summary.record(Message{'D', "bob", {7, 8, 9}});
  const std::string second = summary.report(4000);
  EXPECT_NE(second.find("0 commands, 0 unreadable"), std::string::npos) << second;
  EXPECT_EQ(second.find("E     5.0/s"), std::string::npos) << "a new window starts from zero";
  EXPECT_NE(second.find("last pose 7.000 8.000 9.000"), std::string::npos) << second;

  const std::string total = summary.finalReport(4000);
  EXPECT_NE(total.find("total over 4.0 s: 2 agents, 1 command, 1 unreadable"), std::string::npos) << total;
  EXPECT_NE(total.find("E     2.5/s"), std::string::npos) << total;
}

// An Ethernet frame carrying an IPv4/UDP datagram to the group's address and `port`,
// with `fragment` as the IPv4 flags and fragment offset.
std::vector<unsigned char> ethernetFrame(uint16_t port, uint16_t fragment, const std::string& payload) {
  std::vector<unsigned char> f = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x4d, 0x02, 0, 0, 0, 0, 1, 0x08, 0x00};
  const size_t ipLength = 20 + 8 + payload.size();
  const unsigned char ip[20] = {0x45, 0, static_cast<unsigned char>(ipLength >> 8), static_cast<unsigned char>(ipLength),
                                0, 0, static_cast<unsigned char>(fragment >> 8), static_cast<unsigned char>(fragment),
                                16, 17, 0, 0, 10, 0, 0, 7, 239, 0, 0, 77};
  f.insert(f.end(), ip, ip + 20);
  const size_t udpLength = 8 + payload.size();
  const unsigned char udp[8] = {0x9c, 0x40, static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port),
                                static_cast<unsigned char>(udpLength >> 8), static_cast<unsigned char>(udpLength), 0, 0};
  f.insert(f.end(), udp, udp + 8);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

TEST(GroupRecording, ReadsWholeGroupDatagramsFromAnEthernetCaptureAndSkipsTheRest) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("agentctl_ethernet_" + std::to_string(getpid()) + ".pcap")).string();
  struct Frame {
    std::vector<unsigned char> bytes;
    size_t kept;  // bytes the capture kept; 0 for all
  };
  const std::string p = std::string("P bob 1 2 3") + '\0';
  const std::vector<Frame> frames = {
      {ethernetFrame(60001, 0, p), 0},
      {ethernetFrame(60002, 0, p), 0},       // another port
      {ethernetFrame(60001, 0x2000, p), 0},  // first fragment of a longer datagram
      {ethernetFrame(60001, 0x0001, p), 0},  // a later fragment
      {ethernetFrame(60001, 0, p), 40},      // cut short by the capture
      {ethernetFrame(60001, 0x4000, "M all 2"), 0},  // "don't fragment" is a whole datagram
  };
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  ASSERT_NE(dumper, nullptr);
  long second = 1'700'000'000;
  for (const Frame& f : frames) {
    pcap_pkthdr header{};
    header.ts.tv_sec = ++second;
    header.ts.tv_usec = 250;
    header.len = static_cast<bpf_u_int32>(f.bytes.size());
    header.caplen = static_cast<bpf_u_int32>(f.kept == 0 ? f.bytes.size() : f.kept);
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, f.bytes.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);

  RecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.open(path, error)) << error;
  RecordedDatagram d;
  ASSERT_EQ(reader.next(d, error), 1) << error;
  EXPECT_EQ(std::string(d.payload, d.length), p);
  EXPECT_EQ(d.arrivalUs, 1'700'000'001'000'250);
  ASSERT_EQ(reader.next(d, error), 1) << error;
  EXPECT_EQ(std::string(d.payload, d.length), "M all 2");
  EXPECT_EQ(reader.next(d, error), 0);
  EXPECT_EQ(reader.skipped(), 4);
  std::remove(path.c_str());
}

TEST(GroupRecording, TimesReadBackToTheMicrosecondAndACutLastRecordLeavesTheWholeOnes) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / ("agentctl_written_" + std::to_string(getpid()) + ".pcap")).string();
  const std::string cutPath = (dir / ("agentctl_cut_" + std::to_string(getpid()) + ".pcap")).string();
  RecordingWriter writer;
  std::string error;
  ASSERT_TRUE(writer.open(path, error)) << error;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(40000);
  from.sin_addr.s_addr = htonl(0x0A000007);
  const std::vector<std::string> texts = {"P a 1 2 3", "E a 1 2 3 4 5", "P a 4 5 6"};
  for (size_t i = 0; i < texts.size(); ++i) {
    writer.write(texts[i].c_str(), texts[i].size() + 1, from, timespec{1'700'000'000 + static_cast<time_t>(i), 123'456'789});
  }
  ASSERT_TRUE(writer.close(error)) << error;
  const size_t size = std::filesystem::file_size(path);
  const size_t lastRecord = 16 + 20 + 8 + texts.back().size() + 1;  // pcap header, IPv4, UDP, payload
  const std::string cutTold =
      "the file ends inside record 3 (at byte " + std::to_string(size - lastRecord) + "): read the 2 whole records before it";
  struct Cut {
    size_t bytes;  // cut off the end
    long read;
    std::string told;
  };
  for (const Cut& cut : std::vector<Cut>{{0, 3, ""}, {1, 2, cutTold}, {lastRecord - 10, 2, cutTold}, {lastRecord, 2, ""}}) {
    std::filesystem::copy_file(path, cutPath, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cutPath, size - cut.bytes);
    RecordingReader reader;
    ASSERT_TRUE(reader.open(cutPath, error)) << error;
    RecordedDatagram d;
    long read = 0;
    int status;
    while ((status = reader.next(d, error)) == 1) {
      EXPECT_EQ(std::string(d.payload, d.length - 1), texts[static_cast<size_t>(read)]);
      EXPECT_EQ(d.arrivalUs, (1'700'000'000 + read) * 1'000'000 + 123'456) << "to the microsecond";
      ++read;
    }
    EXPECT_EQ(status, 0) << cut.bytes << " bytes cut: " << error;
    EXPECT_EQ(read, cut.read) << cut.bytes << " bytes cut";
    EXPECT_EQ(reader.cutTail(), cut.told) << cut.bytes << " bytes cut";
  }
  std::remove(path.c_str());
  std::remove(cutPath.c_str());
}

}  // namespace
