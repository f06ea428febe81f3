#include "tools/rosmsg/ros_messages.h"

#include <cmath>
#include <numbers>
#include <vector>

#include "tools/rosmsg/cdr.h"

namespace {

constexpr double DEGREES_PER_RADIAN = 180.0 / std::numbers::pi;

// One .msg definition and the types it names, as the .msg files of ROS 2 write them.
struct Definition {
  std::string_view name;  // "package/Type", as a dependency's "MSG:" line names it
  std::string_view text;
  std::vector<std::string_view> uses;
};

const std::vector<Definition>& definitions() {
  static const std::vector<Definition> table = {
      {"builtin_interfaces/Time", "int32 sec\nuint32 nanosec\n", {}},
      {"std_msgs/Header", "builtin_interfaces/Time stamp\nstring frame_id\n", {"builtin_interfaces/Time"}},
      {"geometry_msgs/Point", "float64 x\nfloat64 y\nfloat64 z\n", {}},
      {"geometry_msgs/Vector3", "float64 x\nfloat64 y\nfloat64 z\n", {}},
      {"geometry_msgs/Quaternion", "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n", {}},
      {"geometry_msgs/Pose", "geometry_msgs/Point position\ngeometry_msgs/Quaternion orientation\n",
       {"geometry_msgs/Point", "geometry_msgs/Quaternion"}},
      {"geometry_msgs/Transform", "geometry_msgs/Vector3 translation\ngeometry_msgs/Quaternion rotation\n",
       {"geometry_msgs/Vector3", "geometry_msgs/Quaternion"}},
      {"geometry_msgs/PoseStamped", "std_msgs/Header header\ngeometry_msgs/Pose pose\n",
       {"std_msgs/Header", "geometry_msgs/Pose"}},
      {"geometry_msgs/TransformStamped",
       "std_msgs/Header header\nstring child_frame_id\ngeometry_msgs/Transform transform\n",
       {"std_msgs/Header", "geometry_msgs/Transform"}},
      {"nav_msgs/MapMetaData",
       "builtin_interfaces/Time map_load_time\nfloat32 resolution\nuint32 width\nuint32 height\n"
       "geometry_msgs/Pose origin\n",
       {"builtin_interfaces/Time", "geometry_msgs/Pose"}},
      {"nav_msgs/OccupancyGrid", "std_msgs/Header header\nnav_msgs/MapMetaData info\nint8[] data\n",
       {"std_msgs/Header", "nav_msgs/MapMetaData"}},
      {"nav_msgs/Path", "std_msgs/Header header\ngeometry_msgs/PoseStamped[] poses\n",
       {"std_msgs/Header", "geometry_msgs/PoseStamped"}},
      {"tf2_msgs/TFMessage", "geometry_msgs/TransformStamped[] transforms\n", {"geometry_msgs/TransformStamped"}},
      {"std_msgs/String", "string data\n", {}},
      {"mcagent_msgs/GroupDatagram",
       "# One datagram heard on the agents' multicast group.\n"
       "builtin_interfaces/Time stamp  # when it arrived\n"
       "string source                  # the sender, \"address:port\"\n"
       "uint8[] data                   # its bytes, as sent\n",
       {"builtin_interfaces/Time"}},
  };
  return table;
}

const Definition* findDefinition(std::string_view name) {
  for (const Definition& d : definitions()) {
    if (d.name == name) return &d;
  }
  return nullptr;
}

// Every type a definition uses, directly or not, each once, in the order first named.
void collectUses(const Definition& d, std::vector<const Definition*>& out) {
  for (std::string_view use : d.uses) {
    const Definition* used = findDefinition(use);
    bool seen = false;
    for (const Definition* o : out) seen = seen || o == used;
    if (used == nullptr || seen) continue;
    out.push_back(used);
    collectUses(*used, out);
  }
}

void writeTime(CdrWriter& w, RosTime t) {
  w.i32(t.sec);
  w.u32(t.nanosec);
}

void writeHeader(CdrWriter& w, const RosHeader& h) {
  writeTime(w, h.stamp);
  w.string(h.frame);
}

void writeQuaternion(CdrWriter& w, const RosPose& p) {
  w.f64(p.qx);
  w.f64(p.qy);
  w.f64(p.qz);
  w.f64(p.qw);
}

void writePose(CdrWriter& w, const RosPose& p) {
  w.f64(p.x);
  w.f64(p.y);
  w.f64(p.z);
  writeQuaternion(w, p);
}

}  // namespace

RosTime rosTime(int64_t ns) {
  int64_t sec = ns / 1'000'000'000;
  int64_t rest = ns % 1'000'000'000;
  if (rest < 0) {
    --sec;
    rest += 1'000'000'000;
  }
  return RosTime{static_cast<int32_t>(sec), static_cast<uint32_t>(rest)};
}

RosPose planarPose(double xMm, double yMm, double thDeg) {
  const double half = thDeg / DEGREES_PER_RADIAN / 2;
  RosPose p;
  p.x = xMm / 1000.0;
  p.y = yMm / 1000.0;
  p.qz = std::sin(half);
  p.qw = std::cos(half);
  return p;
}

double headingDegrees(const RosPose& p) {
  const double yaw = std::atan2(2 * (p.qw * p.qz + p.qx * p.qy), 1 - 2 * (p.qy * p.qy + p.qz * p.qz));
  return yaw * DEGREES_PER_RADIAN;
}

std::string encodePoseStamped(const RosHeader& header, const RosPose& pose) {
  CdrWriter w;
  writeHeader(w, header);
  writePose(w, pose);
  return w.take();
}

std::string encodePath(const RosHeader& header, std::span<const RosPose> poses) {
  CdrWriter w;
  writeHeader(w, header);
  w.count(poses.size());
  for (const RosPose& p : poses) {
    writeHeader(w, header);
    writePose(w, p);
  }
  return w.take();
}

std::string encodeTfMessage(std::span<const RosTransform> transforms) {
  CdrWriter w;
  w.count(transforms.size());
  for (const RosTransform& t : transforms) {
    writeHeader(w, t.header);
    w.string(t.child);
    writePose(w, t.pose);  // translation, then rotation: the layout of a pose
  }
  return w.take();
}

std::string encodeString(std::string_view text) {
  CdrWriter w;
  w.string(text);
  return w.take();
}

std::string encodeOccupancyGrid(const RosGrid& grid) {
  CdrWriter w;
  writeHeader(w, grid.header);
  writeTime(w, grid.header.stamp);
  w.f32(grid.resolution);
  w.u32(grid.width);
  w.u32(grid.height);
  writePose(w, grid.origin);
  w.bytes(std::span(reinterpret_cast<const uint8_t*>(grid.data.data()), grid.data.size()));
  return w.take();
}

std::string encodeGroupDatagram(RosTime arrival, std::string_view source, std::span<const uint8_t> data) {
  CdrWriter w;
  writeTime(w, arrival);
  w.string(source);
  w.bytes(data);
  return w.take();
}

bool decodePoseStamped(std::span<const uint8_t> cdr, RosHeader& header, RosPose& pose) {
  CdrReader r(cdr);
  header.stamp.sec = r.i32();
  header.stamp.nanosec = r.u32();
  header.frame = r.string();
  pose.x = r.f64();
  pose.y = r.f64();
  pose.z = r.f64();
  pose.qx = r.f64();
  pose.qy = r.f64();
  pose.qz = r.f64();
  pose.qw = r.f64();
  return r.ok();
}

std::string rosSchema(std::string_view type) {
  // "pkg/msg/Type" as the .msg files name it: "pkg/Type".
  const size_t slash = type.find("/msg/");
  if (slash == std::string_view::npos) return "";
  const std::string name = std::string(type.substr(0, slash)) + "/" + std::string(type.substr(slash + 5));
  const Definition* d = findDefinition(name);
  if (d == nullptr) return "";
  std::string text(d->text);
  std::vector<const Definition*> uses;
  collectUses(*d, uses);
  for (const Definition* used : uses) {
    text += std::string(80, '=') + "\nMSG: " + std::string(used->name) + "\n" + std::string(used->text);
  }
  return text;
}
