#pragma once
// The team in an MCAP file with the ros2 profile, as Foxglove, Lichtblick and rosbag2
// open it: every datagram of the group, whole, on /group/datagrams
// (mcagent_msgs/msg/GroupDatagram), and the topics an observer's team map makes of them
// (tools/rosmsg/team_topics.h), each stamped with the arrival time of the datagram that
// caused it. Every channel carries CDR with its ros2msg schema and the QoS a ROS 2
// publisher of it would offer (the map: reliable, transient local, depth 1).
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lib/team_map.h"
#include "tools/mcap/mcap_writer.h"
#include "tools/rosmsg/team_topics.h"

class TeamRecording {
 public:
  static constexpr const char* DATAGRAM_TOPIC = "/group/datagrams";

  // Creates (or replaces) the file. False with a one-line reason.
  bool open(const std::string& path, McapWriter::Compression compression, std::string& error);
  // One datagram, whole, from `from`, that arrived at arrivalNs (since the epoch).
  void datagram(const char* payload, size_t length, const sockaddr_in& from, int64_t arrivalNs);
  // Writes the team map as it stands at the end, then the file's summary; false with
  // the reason when the file could not be written.
  bool close(std::string& error);

  uint64_t messages() const { return myWriter.messages(); }
  const TeamMap& team() const { return myTeam; }

 private:
  uint16_t schemaFor(std::string_view type);
  uint16_t addChannel(std::string_view topic, std::string_view type);
  void write(const TopicMessage& message);

  McapWriter myWriter;
  TeamMap myTeam;
  TeamTopics myTopics;
  std::map<std::string_view, uint16_t> mySchemas;  // by type
  std::map<uint32_t, uint16_t> myChannels;         // topic channel -> file channel
  uint16_t myDatagramChannel = 0;
  int64_t myLastNs = 0;
  bool myOpen = false;
  std::vector<TopicMessage> myOut;
};
