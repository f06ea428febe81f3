#include "tools/mcap/team_recording.h"

#include <arpa/inet.h>

#include <cstring>

#include "net/messages.h"
#include "tools/rosmsg/ros_messages.h"

namespace {

constexpr const char* PROFILE = "ros2";
constexpr const char* MESSAGE_ENCODING = "cdr";
constexpr const char* SCHEMA_ENCODING = "ros2msg";

// The QoS a ROS 2 publisher of the topic would offer, as rosbag2 stores it (its numeric
// policy values: history 1 keep last, reliability 1 reliable, durability 1 transient
// local or 2 volatile), so that a replay offers the map as map_server does.
std::string offeredQos(bool latched) {
  const char* forever = "\n    sec: 2147483647\n    nsec: 4294967295";
  return std::string("- history: 1\n  depth: ") + (latched ? "1" : "10") +
         "\n  reliability: 1\n  durability: " + (latched ? "1" : "2") + "\n  deadline:" + forever +
         "\n  lifespan:" + forever + "\n  liveliness: 1\n  liveliness_lease_duration:" + forever +
         "\n  avoid_ros_namespace_conventions: false\n";
}

std::string sourceOf(const sockaddr_in& from) {
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(from.sin_port));
}

}  // namespace

bool TeamRecording::open(const std::string& path, McapWriter::Compression compression, std::string& error) {
  if (!myWriter.open(path, PROFILE, compression, error)) return false;
  myOpen = true;
  myDatagramChannel = addChannel(DATAGRAM_TOPIC, rostype::GROUP_DATAGRAM);
  return true;
}

uint16_t TeamRecording::schemaFor(std::string_view type) {
  if (auto found = mySchemas.find(type); found != mySchemas.end()) return found->second;
  const uint16_t id = myWriter.addSchema(type, SCHEMA_ENCODING, rosSchema(type));
  mySchemas.emplace(type, id);
  return id;
}

uint16_t TeamRecording::addChannel(std::string_view topic, std::string_view type) {
  const bool latched = type == rostype::OCCUPANCY_GRID;
  return myWriter.addChannel(schemaFor(type), topic, MESSAGE_ENCODING, {{"offered_qos_profiles", offeredQos(latched)}});
}

void TeamRecording::write(const TopicMessage& message) {
  auto found = myChannels.find(message.channel);
  if (found == myChannels.end()) {
    for (const TopicChannel& c : myTopics.channels()) {
      if (c.id == message.channel) found = myChannels.emplace(c.id, addChannel(c.topic, c.type)).first;
    }
  }
  if (found != myChannels.end()) myWriter.write(found->second, static_cast<uint64_t>(message.timeNs), message.cdr);
}

void TeamRecording::datagram(const char* payload, size_t length, const sockaddr_in& from, int64_t arrivalNs) {
  if (!myOpen) return;
  myLastNs = arrivalNs;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(payload), length);
  myWriter.write(myDatagramChannel, static_cast<uint64_t>(arrivalNs),
                 encodeGroupDatagram(rosTime(arrivalNs), sourceOf(from), bytes));
  // As an agent's receive reads it: at most MSG_BUFFER_SIZE bytes.
  char buffer[MSG_BUFFER_SIZE];
  const size_t kept = std::min(length, MSG_BUFFER_SIZE);
  std::memcpy(buffer, payload, kept);
  Message message;
  if (!readDatagram(buffer, kept, message)) return;
  const std::span<const Message> one(&message, 1);
  myTeam.handleMessages(one, static_cast<uint32_t>(arrivalNs / 1'000'000'000));
  myOut.clear();
  myTopics.afterMessages(myTeam, one, arrivalNs, myOut);
  for (const TopicMessage& m : myOut) write(m);
  TopicMessage map;
  if (myTopics.mapUpdate(myTeam, arrivalNs, map)) write(map);
}

bool TeamRecording::close(std::string& error) {
  if (!myOpen) return true;
  myOpen = false;
  TopicMessage map;
  if (myTopics.mapUpdate(myTeam, myLastNs, map, true)) write(map);
  return myWriter.close(error);
}
