#pragma once
// The foxglove.websocket.v1 protocol for the team's topics (tools/rosmsg/team_topics.h),
// free of sockets: what the server tells each client and what it makes of a client's
// messages. JSON text for control (serverInfo, advertise, subscribe, unsubscribe, status,
// a client's advertise and unadvertise), binary frames for data: opcode 0x01, then
// little-endian u32 subscription id, u64 time stamp (ns since the epoch) and the CDR
// message; from a client, 0x01, u32 client channel id and the message.
//
// Commands: with commands accepted, a client may advertise geometry_msgs/msg/PoseStamped
// (CDR or JSON) on /NAME/goal_pose (that agent) or /goal_pose (every agent), as RViz's
// goal tool and Foxglove's publish tools send them, in frame "map" (or none): each message
// becomes a G to that point and M 3, if the client's connection carried the token.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/rosmsg/team_topics.h"

// The channels every client is offered and the latest message of each key (a new
// subscriber gets those at once, as a late ROS subscriber of a latched topic would).
class FoxgloveHub {
 public:
  explicit FoxgloveHub(bool acceptsCommands) : myAcceptsCommands(acceptsCommands) {}

  bool acceptsCommands() const { return myAcceptsCommands; }
  // Adds the channels of the list not known yet and returns them.
  std::vector<TopicChannel> addChannels(std::span<const TopicChannel> channels);
  void remember(const TopicMessage& message);
  const TopicChannel* channel(uint32_t id) const;
  // The agent whose topics start with /rosName/; empty when none.
  std::string agentOf(std::string_view rosName) const;
  const std::map<std::string, TopicMessage>& latest() const { return myLatest; }
  const std::vector<TopicChannel>& channels() const { return myChannels; }

 private:
  bool myAcceptsCommands;
  std::vector<TopicChannel> myChannels;
  std::map<std::string, TopicMessage> myLatest;  // by key
};

// A goal a client published: the agent (or "all") and the point, in mm.
struct GoalRequest {
  std::string agent;
  double xMm = 0, yMm = 0;
};

// One client's side of the protocol: its subscriptions and channels, and the frames
// waiting to go to it. A slow client does not make the queue grow without bound: past
// MAX_QUEUED_BYTES its data frames are dropped and the latest message of each dropped
// channel follows once the queue has drained.
class FoxgloveSession {
 public:
  static constexpr size_t MAX_QUEUED_BYTES = 32u << 20;

  struct Frame {
    bool binary = false;
    std::string bytes;
  };

  // commandRefusal: empty when this connection may command, else why not.
  FoxgloveSession(const FoxgloveHub& hub, std::string commandRefusal);

  // serverInfo and the advertisement of every channel, as a new client gets them.
  void start(std::string_view sessionId);
  void advertise(std::span<const TopicChannel> channels);
  // A whole message of the client; the goals it asks for are appended to goals.
  void receive(bool binary, std::string_view bytes, std::vector<GoalRequest>& goals);
  // A message on one of the team's channels: queued when subscribed to.
  void deliver(const TopicMessage& message);
  void status(int level, std::string_view text);
  // The next frame to send; false when there is none.
  bool next(Frame& out);

 private:
  void receiveJson(std::string_view text);
  void receiveData(std::string_view bytes, std::vector<GoalRequest>& goals);
  void subscribe(uint64_t subscription, uint64_t channel);
  void queueData(uint32_t subscription, const TopicMessage& message);
  void queueText(std::string text);

  const FoxgloveHub& myHub;
  std::string myCommandRefusal;
  std::map<uint32_t, uint32_t> mySubscriptions;  // channel -> subscription id
  struct ClientChannel {
    std::string topic, encoding, schemaName;
  };
  std::map<uint32_t, ClientChannel> myClientChannels;
  std::deque<Frame> myQueue;
  size_t myQueuedBytes = 0;
  std::set<uint32_t> myStale;  // channels whose frames were dropped
};

// The agent a goal published on topic goes to ("all" for /goal_pose); empty when the
// topic is no goal topic.
std::string goalAddressee(const FoxgloveHub& hub, std::string_view topic);
