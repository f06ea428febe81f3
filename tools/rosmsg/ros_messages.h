#pragma once
// The ROS 2 messages our team is shown as, in CDR (tools/rosmsg/cdr.h), with their
// definitions as ROS 2 tools read them (the ros2msg schema encoding: the message's .msg
// text, then each type it uses after a line of 80 '=' and "MSG: package/Type").
// Lengths are metres, angles radians, frames as tf2 names them.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct RosTime {
  int32_t sec = 0;
  uint32_t nanosec = 0;
};
// Nanoseconds since the epoch as builtin_interfaces/Time.
RosTime rosTime(int64_t ns);

struct RosPose {
  double x = 0, y = 0, z = 0;
  double qx = 0, qy = 0, qz = 0, qw = 1;
};
// A pose on the floor from our units: millimetres and a heading in degrees.
RosPose planarPose(double xMm, double yMm, double thDeg);
// The heading of a pose in degrees, from its quaternion's rotation about z.
double headingDegrees(const RosPose& pose);

struct RosHeader {
  RosTime stamp;
  std::string frame;
};

struct RosTransform {
  RosHeader header;  // the parent frame
  std::string child;
  RosPose pose;  // the child's pose in the parent frame
};

struct RosGrid {
  RosHeader header;
  float resolution = 0;  // metres per cell
  uint32_t width = 0, height = 0;
  RosPose origin;  // the lower-left corner of cell (0, 0)
  std::span<const int8_t> data;  // row-major from row 0 at the origin: -1 unknown, 0 free, 100 occupied
};

std::string encodePoseStamped(const RosHeader& header, const RosPose& pose);
// nav_msgs/Path: every pose stamped with the path's header.
std::string encodePath(const RosHeader& header, std::span<const RosPose> poses);
std::string encodeTfMessage(std::span<const RosTransform> transforms);
std::string encodeString(std::string_view text);
std::string encodeOccupancyGrid(const RosGrid& grid);
// One datagram of the group as heard: arrival time, sender "address:port", bytes.
std::string encodeGroupDatagram(RosTime arrival, std::string_view source, std::span<const uint8_t> data);

// Reads a geometry_msgs/msg/PoseStamped; false when the bytes are not one.
bool decodePoseStamped(std::span<const uint8_t> cdr, RosHeader& header, RosPose& pose);

// The message types, by their ROS 2 names.
namespace rostype {
inline constexpr std::string_view POSE_STAMPED = "geometry_msgs/msg/PoseStamped";
inline constexpr std::string_view PATH = "nav_msgs/msg/Path";
inline constexpr std::string_view TF_MESSAGE = "tf2_msgs/msg/TFMessage";
inline constexpr std::string_view STRING = "std_msgs/msg/String";
inline constexpr std::string_view OCCUPANCY_GRID = "nav_msgs/msg/OccupancyGrid";
inline constexpr std::string_view GROUP_DATAGRAM = "mcagent_msgs/msg/GroupDatagram";
}  // namespace rostype

// The ros2msg definition of one of the types above with every type it uses; empty for
// another name.
std::string rosSchema(std::string_view type);
