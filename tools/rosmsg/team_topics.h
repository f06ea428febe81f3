#pragma once
// The team as ROS 2 topics, free of any transport: what an observer's team map
// (tools/lib/team_map.h) and the commands seen on the group become, message by message,
// for a live server and for a recording alike.
//
//   /map              nav_msgs/msg/OccupancyGrid  the team map, frame "map"; at most once
//                                                 a MAP_PERIOD_NS and only when a cell changed
//   /tf               tf2_msgs/msg/TFMessage      map -> NAME/base_link at each P that took effect
//   /NAME/pose        geometry_msgs/msg/PoseStamped  the agent's pose from that P
//   /NAME/trail       nav_msgs/msg/Path           its last poses (TeamMap::TRAIL_POSES)
//   /NAME/goal        geometry_msgs/msg/PoseStamped  the last goal the group sent it (or all)
//   /NAME/mode        std_msgs/msg/String         the mode the group last set it to, "path (3)"
//
// NAME is the agent's name with every character outside [A-Za-z0-9_] turned into '_' (and
// an 'r' before a leading digit), as ROS names must be. An agent's topics appear with its
// first P that takes effect; MOST_ROBOTS agents get topics, a flood of names no more.
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/messages.h"
#include "tools/lib/live_view.h"
#include "tools/lib/team_map.h"

struct TopicChannel {
  uint32_t id = 0;
  std::string topic;
  std::string_view type;  // rostype::...
  std::string agent;      // the agent an agent's topic is of; empty for /map and /tf
};

struct TopicMessage {
  uint32_t channel = 0;
  int64_t timeNs = 0;  // when what it tells happened, nanoseconds since the epoch
  // What a later message of the same key replaces (a new subscriber needs only the
  // latest): the topic, and on /tf the child frame.
  std::string key;
  std::string cdr;
};

class TeamTopics {
 public:
  static constexpr uint32_t MAP_CHANNEL = 1;
  static constexpr uint32_t TF_CHANNEL = 2;
  static constexpr size_t MOST_ROBOTS = 256;
  static constexpr int64_t MAP_PERIOD_NS = 1'000'000'000;
  static constexpr const char* MAP_FRAME = "map";

  // firstRobotChannel: the id of the first per-agent channel (callers may keep ids
  // below it for channels of their own).
  explicit TeamTopics(uint32_t firstRobotChannel = 3);

  // What messages, already handled by team at nowNs, changed.
  void afterMessages(const TeamMap& team, std::span<const Message> messages, int64_t nowNs,
                     std::vector<TopicMessage>& out);
  // The team map as /map when a cell changed and MAP_PERIOD_NS has passed since the last
  // one (with evenIfRecent, however recent the last one is).
  bool mapUpdate(const TeamMap& team, int64_t nowNs, TopicMessage& out, bool evenIfRecent = false);
  // Every channel so far: /map, /tf, then each agent's; new ones are appended.
  const std::vector<TopicChannel>& channels() const { return myChannels; }

 private:
  struct Robot {
    std::string rosName;
    uint32_t pose = 0, trail = 0, goal = 0, mode = 0;  // channel ids
    long p = 0;                                        // its P messages that took effect, as sent
  };
  Robot* robotFor(const std::string& name);
  void sendPose(const Robot& robot, const TeamMap::Peer& peer, int64_t nowNs, std::vector<TopicMessage>& out);
  // The agent's last goal (types 'G'), mode ('M') or both (0), when the group sent any.
  void sendCommands(const std::string& name, const Robot& robot, char types, int64_t nowNs,
                    std::vector<TopicMessage>& out);
  uint32_t addChannel(std::string topic, std::string_view type, const std::string& agent);

  uint32_t myNextChannel;
  std::vector<TopicChannel> myChannels;
  std::map<std::string, Robot, std::less<>> myRobots;
  CommandsSeen myCommands;
  std::vector<int8_t> myGrid;  // the last map sent
  int32_t myGridX0 = 0, myGridY0 = 0, myGridWidth = -1;
  int64_t myMapAt = 0;
  bool myMapSent = false;
};

// An agent's name as a ROS name: see above.
std::string rosNameOf(std::string_view name);
