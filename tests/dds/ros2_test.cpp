// agentctl ros2 seen from a ROS 2 node's side: a subscriber and a goal publisher written
// with Cyclone DDS's own API, in ROS 2's names, types and QoS, inside a private network.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "map/map_file.h"
#include "ros2_messages.h"
#include "tests/support/e2e_scenario.h"
#include "tests/support/private_network.h"
#include "tests/support/test_helpers.h"
#include "tools/dds/dds_domain.h"
#include "tools/dds/ros2_team.h"
#include "tools/lib/map_raster.h"

namespace {

using testsupport::runShell;

std::string agentctl() { return std::string(MCAGENT_BIN_DIR) + "/tools/agentctl"; }

// Starts a shell command in the background in dir.
void startIn(const e2e::Scenario& s, const std::string& command) {
  ASSERT_EQ(runShell("cd '" + s.dir().string() + "' && (" + command + ") &"), 0);
}

struct CellCounts {
  long free = 0, obstacle = 0, unknown = 0;
  bool operator==(const CellCounts&) const = default;
};

CellCounts countsOfGrid(const nav_msgs_msg_dds__OccupancyGrid_& grid) {
  CellCounts c;
  for (uint32_t i = 0; i < grid.data._length; ++i) {
    const int8_t v = grid.data._buffer[i];
    if (v == 0) ++c.free;
    else if (v == 100) ++c.obstacle;
    else if (v == -1) ++c.unknown;
  }
  return c;
}

int8_t rosValue(CellClass c) { return c == CellClass::Unknown ? -1 : c == CellClass::Free ? 0 : 100; }

// Cells of the grid that differ from the map's cell under their centre.
long cellsUnlike(const nav_msgs_msg_dds__OccupancyGrid_& grid, const OccupancyMap& map) {
  long unlike = 0;
  const double res = grid.info.resolution;
  for (uint32_t row = 0; row < grid.info.height; ++row) {
    for (uint32_t column = 0; column < grid.info.width; ++column) {
      const double x = grid.info.origin.position.x + (column + 0.5) * res;
      const double y = grid.info.origin.position.y + (row + 0.5) * res;
      const MapCell cell = map.cellOrUnknown(static_cast<int32_t>(std::lround(x / res)),
                                             static_cast<int32_t>(std::lround(y / res)));
      if (grid.data._buffer[row * grid.info.width + column] != rosValue(classify(cell))) ++unlike;
    }
  }
  return unlike;
}

CellCounts countsOf(const OccupancyMap& map) {
  CellCounts c;
  const RasterView view = RasterView::whole(map);
  for (int32_t y = view.y0; y <= view.y1; ++y) {
    for (int32_t x = view.x0; x <= view.x1; ++x) {
      switch (classify(map.cellValue(x, y))) {
        case CellClass::Free: ++c.free; break;
        case CellClass::Obstacle: ++c.obstacle; break;
        case CellClass::Unknown: ++c.unknown; break;
      }
    }
  }
  return c;
}

// The last sample a reader holds or receives within timeoutMs, copied out by read.
template <class Read>
bool takeLast(dds_entity_t reader, int timeoutMs, Read read) {
  bool got = false;
  testsrv::waitUntil(
      [&] {
        void* samples[8] = {};
        dds_sample_info_t infos[8];
        const dds_return_t n = dds_take(reader, samples, infos, 8, 8);
        for (dds_return_t i = 0; i < n; ++i) {
          if (!infos[i].valid_data) continue;
          read(samples[i]);
          got = true;
        }
        if (n > 0) dds_return_loan(reader, samples, n);
        return got && n == 0;
      },
      timeoutMs);
  return got;
}

geometry_msgs_msg_dds__PoseStamped_ goalAt(const char* frame, double x, double y, double degrees) {
  geometry_msgs_msg_dds__PoseStamped_ goal{};
  goal.header.frame_id = const_cast<char*>(frame);
  goal.pose.position = {x, y, 0.0};
  goal.pose.orientation = quaternionOfHeading(degrees);
  return goal;
}

}  // namespace

// The team map published to ROS 2 holds, cell for cell by class, what agentctl map saves
// from the same traffic; a late reader asking for ROS 2's map QoS still gets it; every
// robot is a frame on tf; a goal from ROS 2 becomes exactly one G and one mode 3 on the
// group, and one in a frame other than the map's none.
TEST(Ros2, MapPosesAndGoalsReachRos2Nodes) {
  if (!testsupport::inPrivateNetwork()) return testsupport::rerunInPrivateNetwork(testsupport::Route::Multicast);
  e2e::Scenario s("Ros2MapPosesAndGoals");
  const std::string a = agentctl();
  startIn(s, a + " watch --seconds 12 >watch.out 2>&1");
  startIn(s, a + " map --out team.map --seconds 7 >map.out 2>&1");
  startIn(s, a + " ros2 --interface lo --allow-commands --seconds 12 >ros2.out 2>&1");

  DdsParticipant node;
  std::string error;
  ASSERT_TRUE(node.open(DdsSettings{0, {"lo"}, {}, ""}, error)) << error;
  const Qos tfQos = streamQos(ROS2_TF_DEPTH);
  const dds_entity_t tfTopic = makeTopic(node.handle(), &tf2_msgs_msg_dds__TFMessage__desc, "rt/tf", tfQos.get(), error);
  const dds_entity_t tfReader = makeReader(node.handle(), tfTopic, tfQos.get(), error);
  ASSERT_GT(tfReader, 0) << error;
  ASSERT_TRUE(testsrv::waitUntil([&] { return s.count("ros2.out", "publishing the team map") == 1; }, 10000));
  ASSERT_EQ(runShell("cd '" + s.dir().string() + "' && " + a + " load 3 4 >load.out 2>&1"), 0);

  // The robots as tf frames: map -> NAME, in metres.
  std::vector<std::string> frames;
  double x = 0, y = 0;
  ASSERT_TRUE(takeLast(tfReader, 3000, [&](void* sample) {
    const auto& m = *static_cast<const tf2_msgs_msg_dds__TFMessage_*>(sample);
    frames.clear();
    for (uint32_t i = 0; i < m.transforms._length; ++i) {
      EXPECT_STREQ(m.transforms._buffer[i].header.frame_id, "map");
      frames.emplace_back(m.transforms._buffer[i].child_frame_id);
    }
    x = m.transforms._buffer[0].transform.translation.x;
    y = m.transforms._buffer[0].transform.translation.y;
  }));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], "load_0001/base_link");

  // A reader that joins after the map went out, with ROS 2's map QoS, gets it.
  ASSERT_TRUE(testsrv::waitUntil([&] { return s.count("map.out", "saved team.map") >= 2; }, 15000));
  const Qos latched = latchedQos();
  const dds_entity_t mapTopic =
      makeTopic(node.handle(), &nav_msgs_msg_dds__OccupancyGrid__desc, "rt/map", latched.get(), error);
  const dds_entity_t mapReader = makeReader(node.handle(), mapTopic, latched.get(), error);
  ASSERT_GT(mapReader, 0) << error;
  OccupancyMap saved(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  ASSERT_TRUE(readMapFile(saved, (s.dir() / "team.map").string().c_str()));
  CellCounts published;
  long unlike = -1;
  ASSERT_TRUE(takeLast(mapReader, 5000, [&](void* sample) {
    const auto& grid = *static_cast<const nav_msgs_msg_dds__OccupancyGrid_*>(sample);
    EXPECT_STREQ(grid.header.frame_id, "map");
    EXPECT_FLOAT_EQ(grid.info.resolution, 0.1f);
    EXPECT_EQ(grid.data._length, grid.info.width * grid.info.height);
    published = countsOfGrid(grid);
    unlike = cellsUnlike(grid, saved);
  }));
  const CellCounts file = countsOf(saved);
  EXPECT_GT(file.free + file.obstacle, 100);
  EXPECT_EQ(published, file) << "free " << published.free << "/" << file.free << ", obstacles " << published.obstacle
                             << "/" << file.obstacle;
  EXPECT_EQ(unlike, 0);

  // The writer's endpoint as ROS 2 tools discover it.
  dds_instance_handle_t writers[4];
  ASSERT_EQ(dds_get_matched_publications(mapReader, writers, 4), 1);
  dds_builtintopic_endpoint_t* endpoint = dds_get_matched_publication_data(mapReader, writers[0]);
  ASSERT_NE(endpoint, nullptr);
  EXPECT_STREQ(endpoint->topic_name, "rt/map");
  EXPECT_STREQ(endpoint->type_name, "nav_msgs::msg::dds_::OccupancyGrid_");
  dds_durability_kind_t durability{};
  dds_history_kind_t history{};
  int32_t depth = 0;
  EXPECT_TRUE(dds_qget_durability(endpoint->qos, &durability) && durability == DDS_DURABILITY_TRANSIENT_LOCAL);
  EXPECT_TRUE(dds_qget_history(endpoint->qos, &history, &depth) && history == DDS_HISTORY_KEEP_LAST && depth == 1);
  dds_builtintopic_free_endpoint(endpoint);

  // Goals: one in another frame (refused), one in the map frame at the first robot.
  const Qos goalQos = streamQos(ROS2_GOAL_DEPTH);
  const dds_entity_t goalTopic =
      makeTopic(node.handle(), &geometry_msgs_msg_dds__PoseStamped__desc, "rt/goal_pose", goalQos.get(), error);
  const dds_entity_t goalWriter = makeWriter(node.handle(), goalTopic, goalQos.get(), error);
  ASSERT_GT(goalWriter, 0) << error;
  ASSERT_TRUE(testsrv::waitUntil([&] {
    dds_publication_matched_status_t status{};
    return dds_get_publication_matched_status(goalWriter, &status) == 0 && status.current_count == 1;
  }, 5000));
  const geometry_msgs_msg_dds__PoseStamped_ odom = goalAt("odom", x, y, 0);
  const geometry_msgs_msg_dds__PoseStamped_ goal = goalAt("map", x + 0.2, y, 90);
  ASSERT_EQ(dds_write(goalWriter, &odom), 0);
  ASSERT_EQ(dds_write(goalWriter, &goal), 0);
  // The load's agents are load-0001 ...: their frames load_0001/base_link ...
  std::string robot = frames[0].substr(0, frames[0].find('/'));
  std::replace(robot.begin(), robot.end(), '_', '-');
  const std::string expected = "M to " + robot + " mode 3";
  ASSERT_TRUE(testsrv::waitUntil([&] { return s.count("watch.out", expected) == 1; }, 5000)) << s.read("ros2.out");
  ASSERT_TRUE(testsrv::waitUntil([&] { return s.count("watch.out", "total over") == 1; }, 15000));
  EXPECT_EQ(s.count("watch.out", "G to "), 1);
  EXPECT_EQ(s.count("watch.out", "M to "), 1);
  EXPECT_EQ(s.count("watch.out", "G to " + robot + " "), 1) << s.read("watch.out");
  EXPECT_EQ(s.count("ros2.out", "frame \"odom\""), 1);
}
