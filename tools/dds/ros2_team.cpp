#include "tools/dds/ros2_team.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "map/map_cell.h"

namespace {

constexpr double PI = 3.14159265358979323846;

builtin_interfaces_msg_dds__Time_ rosTime(const timespec& stamp) {
  return {static_cast<int32_t>(stamp.tv_sec), static_cast<uint32_t>(stamp.tv_nsec)};
}

std_msgs_msg_dds__Header_ mapHeader(const timespec& stamp) {
  return {rosTime(stamp), const_cast<char*>(ROS2_MAP_FRAME)};
}

}  // namespace

geometry_msgs_msg_dds__Quaternion_ quaternionOfHeading(double degrees) {
  const double half = degrees * PI / 360.0;
  return {0.0, 0.0, std::sin(half), std::cos(half)};
}

double headingOfQuaternion(const geometry_msgs_msg_dds__Quaternion_& q) {
  const double yaw = std::atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z));
  return yaw * 180.0 / PI;
}

bool goalOfPose(const geometry_msgs_msg_dds__PoseStamped_& pose, RosGoal& goal, std::string& error) {
  const char* frame = pose.header.frame_id != nullptr ? pose.header.frame_id : "";
  if (std::strcmp(frame, ROS2_MAP_FRAME) != 0) {
    error = std::string("a goal in frame \"") + frame + "\", not \"map\", ignored";
    return false;
  }
  goal.xMm = pose.pose.position.x * 1000.0;
  goal.yMm = pose.pose.position.y * 1000.0;
  goal.thDeg = headingOfQuaternion(pose.pose.orientation);
  if (!pointInBounds(goal.xMm, goal.yMm) || !std::isfinite(goal.thDeg)) {
    error = "a goal that is not finite or lies beyond +-200 m, ignored";
    return false;
  }
  return true;
}

std::string robotForGoal(const RosGoal& goal, const std::vector<RobotPose>& robots, const std::string& fixed) {
  if (!fixed.empty()) return fixed;
  std::string nearest;
  double best = std::numeric_limits<double>::infinity();
  for (const RobotPose& r : robots) {
    const double d = std::hypot(r.xMm - goal.xMm, r.yMm - goal.yMm);
    if (d < best) {
      best = d;
      nearest = r.name;
    }
  }
  return nearest;
}

bool Ros2Team::open(const DdsSettings& settings, bool acceptGoals, std::string& error) {
  if (!myParticipant.open(settings, error)) return false;
  const dds_entity_t p = myParticipant.handle();
  const Qos latched = latchedQos();
  const Qos tf = streamQos(ROS2_TF_DEPTH);
  const dds_entity_t mapTopic = makeTopic(p, &nav_msgs_msg_dds__OccupancyGrid__desc, ROS2_MAP_TOPIC, latched.get(), error);
  const dds_entity_t tfTopic = makeTopic(p, &tf2_msgs_msg_dds__TFMessage__desc, ROS2_TF_TOPIC, tf.get(), error);
  if (mapTopic < 0 || tfTopic < 0) return false;
  myMapWriter = makeWriter(p, mapTopic, latched.get(), error);
  myTfWriter = makeWriter(p, tfTopic, tf.get(), error);
  if (myMapWriter < 0 || myTfWriter < 0) return false;
  if (!acceptGoals) return true;
  const Qos goals = streamQos(ROS2_GOAL_DEPTH);
  const dds_entity_t goalTopic =
      makeTopic(p, &geometry_msgs_msg_dds__PoseStamped__desc, ROS2_GOAL_TOPIC, goals.get(), error);
  if (goalTopic < 0) return false;
  myGoalReader = makeReader(p, goalTopic, goals.get(), error);
  return myGoalReader > 0;
}

bool Ros2Team::publishMap(const RosGrid& grid, const timespec& stamp) {
  nav_msgs_msg_dds__OccupancyGrid_ m{};
  m.header = mapHeader(stamp);
  m.info.map_load_time = rosTime(stamp);
  m.info.resolution = static_cast<float>(grid.resolutionM);
  m.info.width = grid.width;
  m.info.height = grid.height;
  m.info.origin.position = {grid.originXM, grid.originYM, 0.0};
  m.info.origin.orientation = quaternionOfHeading(0.0);
  m.data._buffer = const_cast<int8_t*>(grid.cells.data());
  m.data._length = m.data._maximum = static_cast<uint32_t>(grid.cells.size());
  m.data._release = false;
  return dds_write(myMapWriter, &m) == DDS_RETCODE_OK;
}

bool Ros2Team::publishPoses(const std::vector<RobotPose>& robots, const timespec& stamp) {
  if (robots.empty()) return true;
  std::vector<geometry_msgs_msg_dds__TransformStamped_> transforms(robots.size());
  for (size_t i = 0; i < robots.size(); ++i) {
    geometry_msgs_msg_dds__TransformStamped_& t = transforms[i];
    t.header = mapHeader(stamp);
    t.child_frame_id = const_cast<char*>(robots[i].frame.c_str());
    t.transform.translation = {robots[i].xMm / 1000.0, robots[i].yMm / 1000.0, 0.0};
    t.transform.rotation = quaternionOfHeading(robots[i].thDeg);
  }
  tf2_msgs_msg_dds__TFMessage_ m{};
  m.transforms._buffer = transforms.data();
  m.transforms._length = m.transforms._maximum = static_cast<uint32_t>(transforms.size());
  m.transforms._release = false;
  return dds_write(myTfWriter, &m) == DDS_RETCODE_OK;
}

std::vector<Ros2Team::GoalSample> Ros2Team::takeGoals() {
  std::vector<GoalSample> goals;
  if (myGoalReader <= 0) return goals;
  constexpr size_t TAKE = 16;
  void* samples[TAKE] = {};
  dds_sample_info_t infos[TAKE];
  for (;;) {
    const dds_return_t n = dds_take(myGoalReader, samples, infos, TAKE, TAKE);
    if (n <= 0) break;
    for (dds_return_t i = 0; i < n; ++i) {
      if (!infos[i].valid_data) continue;
      GoalSample sample;
      goalOfPose(*static_cast<const geometry_msgs_msg_dds__PoseStamped_*>(samples[i]), sample.goal, sample.error);
      goals.push_back(std::move(sample));
    }
    dds_return_loan(myGoalReader, samples, n);
  }
  return goals;
}
