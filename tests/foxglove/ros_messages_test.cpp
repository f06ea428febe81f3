// ROS 2 messages in CDR, byte for byte: each row worked by hand from the rules of XCDR1
// little-endian (encapsulation 00 01 00 00; each value aligned to its size counted from
// the end of that header; strings with a length that counts their NUL; sequences with a
// count), so a slip in alignment or order shows as a wrong byte.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/foxglove/foxglove_protocol.h"
#include "tools/rosmsg/ros_messages.h"

namespace {

std::string hex(const std::string& bytes) {
  static const char* const DIGITS = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += DIGITS[(static_cast<unsigned char>(c) >> 4) & 0xF];
    out += DIGITS[static_cast<unsigned char>(c) & 0xF];
  }
  return out;
}

const std::string ZERO = "0000000000000000";  // 0.0
const std::string ONE = "000000000000f03f";   // 1.0
const std::string HALF = "000000000000e03f";  // 0.5
const std::string MINUS_TWO = "00000000000000c0";

RosPose pose(double x, double y) {
  RosPose p;
  p.x = x;
  p.y = y;
  return p;
}

struct Row {
  const char* what;
  std::function<std::string()> encode;
  std::string bytes;  // hex
};

TEST(CdrEncoding, WorkedByteSequences) {
  const std::vector<int8_t> cells = {-1, 100};
  const std::vector<RosPose> trail = {pose(1, -2)};
  const RosTransform frame{{{4, 8}, "map"}, "a/b", pose(0.5, 0)};
  const std::vector<Row> rows = {
      {"std_msgs/String: length 3 counts the NUL", [] { return encodeString("hi"); }, "00010000" "03000000" "686900"},
      {"PoseStamped: after \"robot\\0\" ends at 18, x is padded to 24 (from the header's end, not the buffer's)",
       [] { return encodePoseStamped({{1, 2}, "robot"}, pose(1, -2)); },
       "00010000" "01000000" "02000000" "06000000" "726f626f7400" "000000000000" + ONE + MINUS_TWO + ZERO + ZERO + ZERO +
           ZERO + ONE},
      {"OccupancyGrid: float32 resolution, then 4 bytes of padding before the origin's doubles",
       [&] {
         RosGrid g;
         g.header = {{0, 0}, "map"};
         g.resolution = 0.1f;
         g.width = 2;
         g.height = 1;
         g.origin = pose(0.5, 0);
         g.data = cells;
         return encodeOccupancyGrid(g);
       },
       "00010000" "00000000" "00000000" "04000000" "6d617000" "00000000" "00000000" "cdcccc3d" "02000000" "01000000"
       "00000000" + HALF + ZERO + ZERO + ZERO + ZERO + ZERO + ONE + "02000000" "ff64"},
      {"TFMessage: a sequence of one TransformStamped; after \"a/b\\0\" ends at 28, 4 bytes of padding",
       [&] { return encodeTfMessage(std::span(&frame, 1)); },
       "00010000" "01000000" "04000000" "08000000" "04000000" "6d617000" "04000000" "612f6200" "00000000" + HALF + ZERO + ZERO +
           ZERO + ZERO + ZERO + ONE},
      {"Path: the pose count padded to 16 after \"m\\0\", each pose with the path's header",
       [&] { return encodePath({{1, 0}, "m"}, trail); },
       "00010000" "01000000" "00000000" "02000000" "6d00" "0000" "01000000" "01000000" "00000000" "02000000" "6d00"
       "000000000000" + ONE + MINUS_TWO + ZERO + ZERO + ZERO + ZERO + ONE},
      {"GroupDatagram: a byte sequence's count aligned to 4 after a 10-byte string",
       [] {
         const uint8_t data[] = {'P', ' ', 'x'};
         return encodeGroupDatagram({5, 6}, "1.2.3.4:5", data);
       },
       "00010000" "05000000" "06000000" "0a000000" "312e322e332e343a3500" "0000" "03000000" "502078"},
  };
  for (const Row& row : rows) EXPECT_EQ(hex(row.encode()), row.bytes) << row.what;
}

TEST(CdrEncoding, APoseStampedReadsBackAndWhatDoesNotFitIsRefused) {
  const RosPose sent = planarPose(1500, -250, 90);
  EXPECT_NEAR(headingDegrees(sent), 90, 1e-9);
  const std::string bytes = encodePoseStamped({{7, 9}, "map"}, sent);
  auto read = [](const std::string& b, RosHeader& h, RosPose& p) {
    return decodePoseStamped(std::span(reinterpret_cast<const uint8_t*>(b.data()), b.size()), h, p);
  };
  RosHeader header;
  RosPose got;
  ASSERT_TRUE(read(bytes, header, got));
  EXPECT_EQ(header.frame, "map");
  EXPECT_EQ(header.stamp.sec, 7);
  EXPECT_DOUBLE_EQ(got.x, 1.5);
  EXPECT_DOUBLE_EQ(got.y, -0.25);
  EXPECT_DOUBLE_EQ(got.qz, sent.qz);
  EXPECT_FALSE(read(bytes.substr(0, bytes.size() - 1), header, got)) << "one byte short";
  std::string bigEndian = bytes;
  bigEndian[1] = 0;
  EXPECT_FALSE(read(bigEndian, header, got)) << "CDR_BE is not read as CDR_LE";
  std::string longString = bytes;
  longString.replace(12, 4, "\xff\xff\xff\xff");
  EXPECT_FALSE(read(longString, header, got)) << "a string longer than the message";
}

// A client that reads nothing must not make the server's memory grow: frames past the
// bound are dropped, and once the queue drains the latest message of each dropped
// channel follows, so the client ends up with the current state.
TEST(FoxgloveSession, ASlowClientGetsTheLatestMessageOnceItsQueueDrains) {
  FoxgloveHub hub(false);
  const std::vector<TopicChannel> channels = {{1, "/map", "nav_msgs/msg/OccupancyGrid", ""}};
  hub.addChannels(channels);
  FoxgloveSession session(hub, "no commands");
  std::vector<GoalRequest> goals;
  session.receive(false, R"({"op":"subscribe","subscriptions":[{"id":7,"channelId":1}]})", goals);
  const std::string big(1 << 20, 'x');
  const int sent = static_cast<int>(FoxgloveSession::MAX_QUEUED_BYTES / big.size()) + 8;
  for (int i = 0; i < sent; ++i) {
    const TopicMessage m{1, i, "/map", big + std::to_string(i)};
    hub.remember(m);
    session.deliver(m);
  }
  FoxgloveSession::Frame frame;
  int frames = 0;
  std::string last;
  while (session.next(frame)) {
    ++frames;
    if (frame.binary) last = frame.bytes.substr(13);
  }
  EXPECT_LT(frames, sent) << "frames past the bound were queued";
  EXPECT_EQ(last, big + std::to_string(sent - 1)) << "the latest message did not follow the drain";
  EXPECT_FALSE(session.next(frame));
}

}  // namespace

namespace {

// Goals as Foxglove's publish tools send them: CDR or JSON, on /NAME/goal_pose for that
// agent or /goal_pose for all; in another frame than "map", or on a channel of another
// type, nothing is asked of the group.
TEST(FoxgloveSession, GoalsAreTakenInCdrOrJsonInFrameMapOnly) {
  FoxgloveHub hub(true);
  const std::vector<TopicChannel> channels = {{3, "/alpha_1/pose", "geometry_msgs/msg/PoseStamped", "alpha-1"}};
  hub.addChannels(channels);
  FoxgloveSession session(hub, "");
  std::vector<GoalRequest> goals;
  session.receive(false,
                  R"({"op":"advertise","channels":[
      {"id":1,"topic":"/alpha_1/goal_pose","encoding":"cdr","schemaName":"geometry_msgs/msg/PoseStamped"},
      {"id":2,"topic":"/goal_pose","encoding":"json","schemaName":"geometry_msgs/msg/PoseStamped"},
      {"id":3,"topic":"/alpha_1/goal_pose","encoding":"json","schemaName":"std_msgs/msg/String"}]})",
                  goals);
  auto publish = [&](uint32_t channel, const std::string& payload) {
    std::string frame = {1, static_cast<char>(channel), 0, 0, 0};
    session.receive(true, frame + payload, goals);
  };
  publish(1, encodePoseStamped({{0, 0}, "map"}, planarPose(1500, -250, 0)));
  publish(1, encodePoseStamped({{0, 0}, "alpha_1/base_link"}, planarPose(1, 1, 0)));
  publish(2, R"({"header":{"frame_id":""},"pose":{"position":{"x":-2,"y":0.5,"z":0}}})");
  publish(2, R"({"pose":{"position":{"x":"far"}}})");
  publish(3, R"({"data":"hello"})");
  ASSERT_EQ(goals.size(), 2u);
  EXPECT_EQ(goals[0].agent, "alpha-1") << "the agent's own name, not its ROS name";
  EXPECT_DOUBLE_EQ(goals[0].xMm, 1500);
  EXPECT_DOUBLE_EQ(goals[0].yMm, -250);
  EXPECT_EQ(goals[1].agent, "all");
  EXPECT_DOUBLE_EQ(goals[1].xMm, -2000);
  FoxgloveSession::Frame frame;
  int errors = 0;
  while (session.next(frame)) errors += frame.bytes.find("\"level\":2") != std::string::npos ? 1 : 0;
  EXPECT_EQ(errors, 3) << "the other frame, the unreadable goal and the String each get an error status";
}

}  // namespace
