#pragma once
// The team as ROS 2 sees it over DDS, in the names and types of ROS 2's middlewares:
// the team map on "map" (nav_msgs/msg/OccupancyGrid, latched as map servers publish it),
// every robot as a frame on "tf" (the transform map -> its frame), and, when goals are
// accepted, the poses published on "goal_pose" (geometry_msgs/msg/PoseStamped, as
// RViz2's goal tool sends them).
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "ros2_messages.h"
#include "tools/dds/dds_domain.h"

// ROS 2 topic names become DDS topics under "rt/".
constexpr const char* ROS2_MAP_TOPIC = "rt/map";
constexpr const char* ROS2_TF_TOPIC = "rt/tf";
constexpr const char* ROS2_GOAL_TOPIC = "rt/goal_pose";
constexpr const char* ROS2_MAP_FRAME = "map";
constexpr int32_t ROS2_TF_DEPTH = 100;   // tf's depth in ROS 2
constexpr int32_t ROS2_GOAL_DEPTH = 10;  // ROS 2's default depth

// A map as an OccupancyGrid holds it: cells row-major from the lower-left corner, rows
// along +y; 0 free, 100 occupied, -1 unknown.
struct RosGrid {
  double resolutionM = 0;
  uint32_t width = 0, height = 0;
  double originXM = 0, originYM = 0;  // the lower-left corner of cell 0
  std::vector<int8_t> cells;
};

// Millimetres and degrees, as the group speaks; frame is the robot's tf frame.
struct RobotPose {
  std::string name, frame;
  double xMm = 0, yMm = 0, thDeg = 0;
};

// A goal as the group takes it, from a PoseStamped in the map frame.
struct RosGoal {
  double xMm = 0, yMm = 0, thDeg = 0;
};

// The rotation about +z by degrees as a quaternion, and back.
geometry_msgs_msg_dds__Quaternion_ quaternionOfHeading(double degrees);
double headingOfQuaternion(const geometry_msgs_msg_dds__Quaternion_& q);

// The goal a PoseStamped asks for: false with a reason for a frame other than the map's
// (or none), or a position that is not finite or lies beyond the coordinate bound.
bool goalOfPose(const geometry_msgs_msg_dds__PoseStamped_& pose, RosGoal& goal, std::string& error);

// The robot a goal goes to: fixed when named, else the one nearest the goal; empty when
// there is none.
std::string robotForGoal(const RosGoal& goal, const std::vector<RobotPose>& robots, const std::string& fixed);

class Ros2Team {
 public:
  // Joins the domain and creates the topics; the goal reader only with acceptGoals.
  bool open(const DdsSettings& settings, bool acceptGoals, std::string& error);
  bool publishMap(const RosGrid& grid, const timespec& stamp);
  bool publishPoses(const std::vector<RobotPose>& robots, const timespec& stamp);
  // The goals received since the last call, oldest first, each read by goalOfPose: a
  // refused one has its reason in error.
  struct GoalSample {
    RosGoal goal;
    std::string error;
  };
  std::vector<GoalSample> takeGoals();

 private:
  DdsParticipant myParticipant;
  dds_entity_t myMapWriter = 0;
  dds_entity_t myTfWriter = 0;
  dds_entity_t myGoalReader = 0;
};
