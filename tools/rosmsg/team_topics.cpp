#include "tools/rosmsg/team_topics.h"

#include <cstdio>

#include "tools/lib/agent_commands.h"
#include "tools/lib/map_raster.h"
#include "tools/rosmsg/ros_messages.h"

namespace {

int8_t occupancyOf(MapCell cell) {
  switch (classify(cell)) {
    case CellClass::Obstacle: return 100;
    case CellClass::Free: return 0;
    case CellClass::Unknown: break;
  }
  return -1;
}

RosHeader mapHeader(int64_t nowNs) { return RosHeader{rosTime(nowNs), TeamTopics::MAP_FRAME}; }

}  // namespace

std::string rosNameOf(std::string_view name) {
  std::string out;
  for (const char c : name) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    out += word ? c : '_';
  }
  if (out.empty() || (out[0] >= '0' && out[0] <= '9')) out.insert(0, 1, 'r');
  return out;
}

TeamTopics::TeamTopics(uint32_t firstRobotChannel) : myNextChannel(firstRobotChannel) {
  myChannels.push_back({MAP_CHANNEL, "/map", rostype::OCCUPANCY_GRID, ""});
  myChannels.push_back({TF_CHANNEL, "/tf", rostype::TF_MESSAGE, ""});
}

uint32_t TeamTopics::addChannel(std::string topic, std::string_view type, const std::string& agent) {
  myChannels.push_back({myNextChannel, std::move(topic), type, agent});
  return myNextChannel++;
}

TeamTopics::Robot* TeamTopics::robotFor(const std::string& name) {
  if (auto found = myRobots.find(name); found != myRobots.end()) return &found->second;
  if (myRobots.size() >= MOST_ROBOTS) return nullptr;
  Robot robot;
  robot.rosName = rosNameOf(name);
  const std::string prefix = "/" + robot.rosName + "/";
  robot.pose = addChannel(prefix + "pose", rostype::POSE_STAMPED, name);
  robot.trail = addChannel(prefix + "trail", rostype::PATH, name);
  robot.goal = addChannel(prefix + "goal", rostype::POSE_STAMPED, name);
  robot.mode = addChannel(prefix + "mode", rostype::STRING, name);
  return &myRobots.emplace(name, std::move(robot)).first->second;
}

void TeamTopics::sendPose(const Robot& robot, const TeamMap::Peer& peer, int64_t nowNs,
                          std::vector<TopicMessage>& out) {
  const RosHeader header = mapHeader(nowNs);
  const RosPose pose = planarPose(peer.pose.getX(), peer.pose.getY(), peer.pose.getTh());
  const std::string prefix = "/" + robot.rosName + "/";
  out.push_back({robot.pose, nowNs, prefix + "pose", encodePoseStamped(header, pose)});
  std::vector<RosPose> trail;
  trail.reserve(peer.trail.size());
  for (const ArPose& p : peer.trail) trail.push_back(planarPose(p.getX(), p.getY(), p.getTh()));
  out.push_back({robot.trail, nowNs, prefix + "trail", encodePath(header, trail)});
  const RosTransform frame{header, robot.rosName + "/base_link", pose};
  out.push_back({TF_CHANNEL, nowNs, "/tf " + frame.child, encodeTfMessage(std::span(&frame, 1))});
}

void TeamTopics::sendCommands(const std::string& name, const Robot& robot, char types, int64_t nowNs,
                              std::vector<TopicMessage>& out) {
  const CommandsSeen::Latest latest = myCommands.latestFor(name);
  const std::string prefix = "/" + robot.rosName + "/";
  if (latest.hasGoal && types != 'M') {
    const RosPose goal = planarPose(latest.goal[0], latest.goal[1], latest.goal[2]);
    out.push_back({robot.goal, nowNs, prefix + "goal", encodePoseStamped(mapHeader(nowNs), goal)});
  }
  if (latest.hasMode && types != 'G') {
    const std::string text = modeName(latest.mode) + " (" + std::to_string(latest.mode) + ")";
    out.push_back({robot.mode, nowNs, prefix + "mode", encodeString(text)});
  }
}

void TeamTopics::afterMessages(const TeamMap& team, std::span<const Message> messages, int64_t nowNs,
                               std::vector<TopicMessage>& out) {
  TeamMap::Peer peer;
  for (const Message& m : messages) {
    if (m.type == 'M' || m.type == 'G') {
      myCommands.record(m);
      if (m.name == ALL_AGENTS) {
        for (const auto& [name, robot] : myRobots) sendCommands(name, robot, m.type, nowNs, out);
      } else if (auto found = myRobots.find(m.name); found != myRobots.end()) {
        sendCommands(found->first, found->second, m.type, nowNs, out);
      }
      continue;
    }
    if (m.type != 'P' || !team.peer(m.name, peer)) continue;
    const bool known = myRobots.find(m.name) != myRobots.end();
    Robot* robot = robotFor(peer.name);
    if (robot == nullptr || robot->p == peer.p) continue;  // no room, or this P changed nothing
    robot->p = peer.p;
    sendPose(*robot, peer, nowNs, out);
    if (!known) sendCommands(peer.name, *robot, 0, nowNs, out);
  }
}

bool TeamTopics::mapUpdate(const TeamMap& team, int64_t nowNs, TopicMessage& out, bool evenIfRecent) {
  if (myMapSent && !evenIfRecent && nowNs - myMapAt < MAP_PERIOD_NS) return false;
  std::vector<int8_t> grid;
  RosGrid message;
  RasterView view{};
  team.readMap([&](const OccupancyMap& map) {
    view = RasterView::whole(map);
    message.resolution = static_cast<float>(map.res / 1000.0);
    message.origin.x = lowerLeftMetres(view.x0, map.res);
    message.origin.y = lowerLeftMetres(view.y0, map.res);
    grid.resize(static_cast<size_t>(view.width()) * static_cast<size_t>(view.height()));
    size_t at = 0;
    for (int32_t y = view.y0; y <= view.y1; ++y) {
      for (int32_t x = view.x0; x <= view.x1; ++x) grid[at++] = occupancyOf(map.cellValue(x, y));
    }
  });
  if (myMapSent && grid == myGrid && view.x0 == myGridX0 && view.y0 == myGridY0 && view.width() == myGridWidth) {
    return false;
  }
  myGrid = std::move(grid);
  myGridX0 = view.x0;
  myGridY0 = view.y0;
  myGridWidth = view.width();
  myMapAt = nowNs;
  myMapSent = true;
  message.header = mapHeader(nowNs);
  message.width = static_cast<uint32_t>(view.width());
  message.height = static_cast<uint32_t>(view.height());
  message.data = myGrid;
  out = TopicMessage{MAP_CHANNEL, nowNs, "/map", encodeOccupancyGrid(message)};
  return true;
}
