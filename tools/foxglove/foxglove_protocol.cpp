#include "tools/foxglove/foxglove_protocol.h"

#include <nlohmann/json.hpp>

#include <cstring>

#include "net/messages.h"
#include "tools/rosmsg/ros_messages.h"

namespace {

using Json = nlohmann::json;

constexpr uint8_t MESSAGE_DATA = 0x01;
constexpr uint8_t CLIENT_MESSAGE_DATA = 0x01;
constexpr int STATUS_INFO = 0, STATUS_WARNING = 1, STATUS_ERROR = 2;
constexpr const char* GOAL_SUFFIX = "/goal_pose";

std::string dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

void putLittle(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t getU32(std::string_view bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
  return v;
}

// A field of an object as an unsigned integer that fits in 32 bits; false otherwise.
bool readId(const Json& object, const char* key, uint64_t& value) {
  if (!object.is_object()) return false;
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number_unsigned()) return false;
  value = found->get<uint64_t>();
  return value <= UINT32_MAX;
}

std::string readText(const Json& object, const char* key) {
  if (!object.is_object()) return "";
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

double readNumber(const Json& object, const char* key, bool& ok) {
  const auto found = object.is_object() ? object.find(key) : object.end();
  if (!object.is_object() || found == object.end() || !found->is_number()) {
    ok = false;
    return 0;
  }
  return found->get<double>();
}

// A PoseStamped from a JSON client: {"header": {"frame_id": ...}, "pose": {"position": {"x", "y"}}}.
bool readJsonGoal(std::string_view text, RosHeader& header, RosPose& pose) {
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return false;
  const Json empty = Json::object();
  const Json& head = json.contains("header") ? json["header"] : empty;
  header.frame = readText(head, "frame_id");
  bool ok = json.contains("pose") && json["pose"].contains("position");
  if (!ok) return false;
  const Json& position = json["pose"]["position"];
  pose.x = readNumber(position, "x", ok);
  pose.y = readNumber(position, "y", ok);
  return ok;
}

}  // namespace

std::vector<TopicChannel> FoxgloveHub::addChannels(std::span<const TopicChannel> channels) {
  std::vector<TopicChannel> added;
  for (const TopicChannel& c : channels) {
    if (channel(c.id) != nullptr) continue;
    myChannels.push_back(c);
    added.push_back(c);
  }
  return added;
}

void FoxgloveHub::remember(const TopicMessage& message) { myLatest[message.key] = message; }

const TopicChannel* FoxgloveHub::channel(uint32_t id) const {
  for (const TopicChannel& c : myChannels) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

std::string FoxgloveHub::agentOf(std::string_view rosName) const {
  const std::string prefix = "/" + std::string(rosName) + "/";
  for (const TopicChannel& c : myChannels) {
    if (!c.agent.empty() && c.topic.starts_with(prefix)) return c.agent;
  }
  return "";
}

std::string goalAddressee(const FoxgloveHub& hub, std::string_view topic) {
  if (topic == GOAL_SUFFIX) return std::string(ALL_AGENTS);
  if (!topic.starts_with("/") || !topic.ends_with(GOAL_SUFFIX)) return "";
  const std::string_view rosName = topic.substr(1, topic.size() - 1 - std::strlen(GOAL_SUFFIX));
  if (rosName.empty() || rosName.find('/') != std::string_view::npos) return "";
  return hub.agentOf(rosName);
}

FoxgloveSession::FoxgloveSession(const FoxgloveHub& hub, std::string commandRefusal)
    : myHub(hub), myCommandRefusal(std::move(commandRefusal)) {}

void FoxgloveSession::start(std::string_view sessionId) {
  Json info = {{"op", "serverInfo"},
               {"name", "agentctl foxglove: the mapping team"},
               {"capabilities", Json::array()},
               {"metadata", Json::object()},
               {"sessionId", sessionId}};
  if (myHub.acceptsCommands()) {
    info["capabilities"].push_back("clientPublish");
    info["supportedEncodings"] = {"cdr", "json"};
  }
  queueText(dump(info));
  advertise(myHub.channels());
}

void FoxgloveSession::advertise(std::span<const TopicChannel> channels) {
  if (channels.empty()) return;
  Json list = Json::array();
  for (const TopicChannel& c : channels) {
    list.push_back({{"id", c.id},
                    {"topic", c.topic},
                    {"encoding", "cdr"},
                    {"schemaName", c.type},
                    {"schema", rosSchema(c.type)},
                    {"schemaEncoding", "ros2msg"}});
  }
  queueText(dump({{"op", "advertise"}, {"channels", list}}));
}

void FoxgloveSession::status(int level, std::string_view text) {
  queueText(dump({{"op", "status"}, {"level", level}, {"message", text}}));
}

void FoxgloveSession::receive(bool binary, std::string_view bytes, std::vector<GoalRequest>& goals) {
  if (binary) receiveData(bytes, goals);
  else receiveJson(bytes);
}

void FoxgloveSession::subscribe(uint64_t subscription, uint64_t channel) {
  if (myHub.channel(static_cast<uint32_t>(channel)) == nullptr) {
    status(STATUS_WARNING, "no channel " + std::to_string(channel));
    return;
  }
  for (const auto& [c, s] : mySubscriptions) {
    if (s == subscription) {
      status(STATUS_ERROR, "subscription id " + std::to_string(subscription) + " is in use");
      return;
    }
  }
  const auto id = static_cast<uint32_t>(channel);
  mySubscriptions[id] = static_cast<uint32_t>(subscription);
  for (const auto& [key, message] : myHub.latest()) {
    if (message.channel == id) queueData(static_cast<uint32_t>(subscription), message);
  }
}

void FoxgloveSession::receiveJson(std::string_view text) {
  const Json json = Json::parse(text, nullptr, false);
  const std::string op = json.is_discarded() ? "" : readText(json, "op");
  if (op == "subscribe" && json.contains("subscriptions") && json["subscriptions"].is_array()) {
    for (const Json& s : json["subscriptions"]) {
      uint64_t id = 0, channel = 0;
      if (readId(s, "id", id) && readId(s, "channelId", channel)) subscribe(id, channel);
    }
  } else if (op == "unsubscribe" && json.contains("subscriptionIds") && json["subscriptionIds"].is_array()) {
    for (const Json& id : json["subscriptionIds"]) {
      if (!id.is_number_unsigned()) continue;
      std::erase_if(mySubscriptions, [&](const auto& entry) { return entry.second == id.get<uint64_t>(); });
    }
  } else if (op == "advertise" && json.contains("channels") && json["channels"].is_array()) {
    if (!myHub.acceptsCommands()) {
      status(STATUS_ERROR, "this server takes no messages from clients (agentctl foxglove --allow-commands)");
      return;
    }
    for (const Json& c : json["channels"]) {
      uint64_t id = 0;
      if (readId(c, "id", id)) {
        myClientChannels[static_cast<uint32_t>(id)] = {readText(c, "topic"), readText(c, "encoding"), readText(c, "schemaName")};
      }
    }
  } else if (op == "unadvertise" && json.contains("channelIds") && json["channelIds"].is_array()) {
    for (const Json& id : json["channelIds"]) {
      if (id.is_number_unsigned() && id.get<uint64_t>() <= UINT32_MAX) myClientChannels.erase(id.get<uint32_t>());
    }
  } else {
    status(STATUS_WARNING, "not understood: " + std::string(text.substr(0, 80)));
  }
}

void FoxgloveSession::receiveData(std::string_view bytes, std::vector<GoalRequest>& goals) {
  if (bytes.size() < 5 || static_cast<uint8_t>(bytes[0]) != CLIENT_MESSAGE_DATA) {
    status(STATUS_WARNING, "binary message not understood");
    return;
  }
  const auto found = myClientChannels.find(getU32(bytes, 1));
  if (found == myClientChannels.end()) {
    status(STATUS_ERROR, "message on a channel the client did not advertise");
    return;
  }
  const ClientChannel& channel = found->second;
  const std::string agent = goalAddressee(myHub, channel.topic);
  if (agent.empty() || channel.schemaName != rostype::POSE_STAMPED) {
    status(STATUS_ERROR, "only goals are taken: geometry_msgs/msg/PoseStamped on /NAME/goal_pose or /goal_pose");
    return;
  }
  if (!myCommandRefusal.empty()) {
    status(STATUS_ERROR, "refused: " + myCommandRefusal);
    return;
  }
  const std::string_view payload = bytes.substr(5);
  RosHeader header;
  RosPose pose;
  const bool read = channel.encoding == "json"
                        ? readJsonGoal(payload, header, pose)
                        : channel.encoding == "cdr" &&
                              decodePoseStamped(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()),
                                                header, pose);
  if (!read) {
    status(STATUS_ERROR, "the goal could not be read as a " + std::string(rostype::POSE_STAMPED));
    return;
  }
  if (!header.frame.empty() && header.frame != TeamTopics::MAP_FRAME) {
    status(STATUS_ERROR, "goals are taken in frame \"map\", not \"" + header.frame + "\"");
    return;
  }
  goals.push_back({agent, pose.x * 1000.0, pose.y * 1000.0});
}

void FoxgloveSession::deliver(const TopicMessage& message) {
  const auto found = mySubscriptions.find(message.channel);
  if (found != mySubscriptions.end()) queueData(found->second, message);
}

void FoxgloveSession::queueData(uint32_t subscription, const TopicMessage& message) {
  if (myQueuedBytes > MAX_QUEUED_BYTES) {
    myStale.insert(message.channel);
    return;
  }
  Frame frame{true, std::string(1, static_cast<char>(MESSAGE_DATA))};
  putLittle(frame.bytes, subscription, 4);
  putLittle(frame.bytes, static_cast<uint64_t>(message.timeNs), 8);
  frame.bytes += message.cdr;
  myQueuedBytes += frame.bytes.size();
  myQueue.push_back(std::move(frame));
}

void FoxgloveSession::queueText(std::string text) {
  myQueuedBytes += text.size();
  myQueue.push_back(Frame{false, std::move(text)});
}

bool FoxgloveSession::next(Frame& out) {
  if (myQueue.empty() && !myStale.empty()) {
    const std::set<uint32_t> stale = std::exchange(myStale, {});
    for (const auto& [key, message] : myHub.latest()) {
      if (stale.count(message.channel) != 0) deliver(message);
    }
  }
  if (myQueue.empty()) return false;
  out = std::move(myQueue.front());
  myQueue.pop_front();
  myQueuedBytes -= out.bytes.size();
  return true;
}
