// The team in the tools of Foxglove, checked by their own libraries run by node: the
// protocol client of @foxglove/ws-protocol against agentctl foxglove, and the MCAP reader
// of @mcap/core on agentctl export; each message decoded with its advertised schema by
// @foxglove/rosmsg2-serialization. Both against the team map that agentctl map builds
// from the same traffic.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <string>

#include "map/map_file.h"
#include "tests/support/e2e_scenario.h"
#include "tools/lib/map_raster.h"

namespace {

using Json = nlohmann::json;

const std::string NODE_TESTS = std::string(MCAGENT_SOURCE_DIR) + "/tests/foxglove";

bool nodePackagesInstalled() {
  return std::filesystem::exists(std::string(MCAGENT_SOURCE_DIR) + "/tests/node/node_modules/@mcap/core");
}

// Cells of a map file by class, over the whole map, as the /map topic carries them.
Json cellsOf(const std::string& path) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  if (!readMapFile(map, path.c_str())) return Json();
  const RasterView view = RasterView::whole(map);
  long free = 0, occupied = 0, unknown = 0;
  for (int32_t y = view.y0; y <= view.y1; ++y) {
    for (int32_t x = view.x0; x <= view.x1; ++x) {
      switch (classify(map.cellValue(x, y))) {
        case CellClass::Free: ++free; break;
        case CellClass::Obstacle: ++occupied; break;
        case CellClass::Unknown: ++unknown; break;
      }
    }
  }
  return Json{{"free", free}, {"occupied", occupied}, {"unknown", unknown}, {"other", 0}};
}

// The agent's part of agentctl map's line: "NAME X Y TH P n E n O n".
std::vector<double> poseInMapLine(const std::string& line, const std::string& name, long& p) {
  std::istringstream in(line.substr(line.rfind(" | " + name + " ") + 3 + name.size()));
  std::vector<double> pose(3);
  std::string letter;
  in >> pose[0] >> pose[1] >> pose[2] >> letter >> p;
  return pose;
}

Json readJson(const e2e::Scenario& s, const std::string& file) { return Json::parse(s.read(file), nullptr, false); }

TEST(Foxglove, AWebSocketClientSeesTheTeamMapAndPosesAndOnlyItsTokenCommands) {
  if (!testsupport::privateNetworkAvailable()) GTEST_SKIP() << "no private network namespace available";
  if (!nodePackagesInstalled()) GTEST_SKIP() << "the npm packages of tests/node are not installed (scripts/setup)";
  e2e::Scenario s("FoxgloveClient");
  const e2e::Result r = s.run(R"SH(
agentctl foxglove --port 8765 --allow-commands >fox.out 2>fox.err &
fox=$!
agentctl map --out team.ppm --every 1 >map.out 2>map.err &
observer=$!
agentctl watch >watch.out 2>&1 &
wait_for fox.out "token=" 10
url=$(grep -o 'ws://[^ )]*token=[0-9a-f]*' fox.out)
node ")SH" + NODE_TESTS + R"SH(/foxglove_client.js" refused ws://127.0.0.1:8765 >refused.json 2>refused.err
node ")SH" + NODE_TESTS + R"SH(/foxglove_client.js" check ws://127.0.0.1:8765 "$url" load-0001,load-0002,load-0003 >client.out 2>client.err &
client=$!
sleep 0.5
agentctl load 3 4 >load.out
wait $client; echo "client=$?" >status
kill -TERM $observer $fox; wait $observer; wait $fox; echo "fox=$?" >>status
sed -n '/^{/,$p' client.out >client.json
)SH",
                              90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("fox.err");
  ASSERT_EQ(s.read("status"), "client=0\nfox=0\n") << s.read("client.err") << s.read("fox.err");
  const Json refused = readJson(s, "refused.json");
  EXPECT_NE(refused.value("noSubprotocol", ""), "opened") << refused.dump();
  EXPECT_NE(refused.value("otherHost", ""), "opened") << "a name rebound to this address\n" << refused.dump();
  EXPECT_EQ(refused.value("servedHost", ""), "opened") << refused.dump();

  const Json c = readJson(s, "client.json");
  ASSERT_FALSE(c.is_discarded()) << s.read("client.out");
  EXPECT_EQ(c["serverInfo"]["capabilities"], Json::array({"clientPublish"}));
  for (const char* channel : {"/map nav_msgs/msg/OccupancyGrid cdr ros2msg", "/tf tf2_msgs/msg/TFMessage cdr ros2msg",
                              "/load_0002/pose geometry_msgs/msg/PoseStamped cdr ros2msg",
                              "/load_0002/trail nav_msgs/msg/Path cdr ros2msg",
                              "/load_0001/goal geometry_msgs/msg/PoseStamped cdr ros2msg",
                              "/load_0001/mode std_msgs/msg/String cdr ros2msg"}) {
    EXPECT_NE(std::find(c["channels"].begin(), c["channels"].end(), channel), c["channels"].end()) << channel;
  }
  // The map as agentctl map saved it from the same traffic, cell for cell by class.
  EXPECT_EQ(c["map"]["cells"], cellsOf((s.dir() / "team.ppm").string())) << c["map"].dump();
  EXPECT_EQ(c["map"]["frame"], "map");
  EXPECT_NEAR(c["map"]["resolution"].get<double>(), 0.1, 1e-6);
  // Every pose the observer took, the last as its line says.
  const std::string mapLines = s.read("map.out");
  const std::string last = mapLines.substr(mapLines.rfind("saved team.ppm"));
  for (const std::string name : {"load-0001", "load-0002", "load-0003"}) {
    long p = 0;
    const std::vector<double> expected = poseInMapLine(last, name, p);
    const std::string topic = "/" + std::string(name).replace(4, 1, "_") + "/pose";
    const std::vector<double> seen = c["poses"][topic].get<std::vector<double>>();
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(seen[static_cast<size_t>(i)], expected[static_cast<size_t>(i)], 1e-3) << topic;
    EXPECT_EQ(c["counts"][topic], p) << "a pose per P that took effect";
  }
  EXPECT_EQ(c["frames"], Json::array({"map->load_0001/base_link", "map->load_0002/base_link", "map->load_0003/base_link"}))
      << c["frames"].dump();
  EXPECT_EQ(c["tfAfter"], 0) << "/tf came after it was unsubscribed";
  // A goal without the token sends nothing; with it, a G and then mode 3.
  EXPECT_EQ(c["refused"], Json::array({"2 refused: missing or wrong token"}));
  EXPECT_EQ(c["sent"], Json::array({"0 sent: G load-0001 1500.000 -250.000 0.000; sent: M load-0001 3; "}));
  EXPECT_EQ(s.count("watch.out", "G to load-0001 goal 1500.000 -250.000 0.000"), 1) << s.read("watch.out");
  EXPECT_EQ(s.count("watch.out", "M to load-0001 mode 3"), 1);
  EXPECT_EQ(c["counts"]["/load_0001/goal"], 1);
}

TEST(Foxglove, AnMcapRecordingOrExportOpensWithEveryChannelAndTheTeamMap) {
  if (!testsupport::privateNetworkAvailable()) GTEST_SKIP() << "no private network namespace available";
  if (!nodePackagesInstalled()) GTEST_SKIP() << "the npm packages of tests/node are not installed (scripts/setup)";
  e2e::Scenario s("FoxgloveMcap");
  const e2e::Result r = s.run(R"SH(
agentctl record run.pcap --mcap live.mcap >record.out 2>record.err &
recorder=$!
sleep 0.5
agentctl load 2 3 >load.out
agentctl goal load-0002 1000 2000 >/dev/null
agentctl mode all 4 >/dev/null
send_msg "junk"
sleep 0.5
kill -INT $recorder; wait $recorder
agentctl map --from run.pcap --out from.ppm >from.out
agentctl export run.pcap --mcap run.mcap >export.out 2>export.err; echo "export=$?" >status
agentctl export run.pcap --mcap plain.mcap --compression none >/dev/null; echo "plain=$?" >>status
agentctl export missing.pcap --mcap x.mcap 2>missing.err; echo "missing=$?" >>status
node ")SH" + NODE_TESTS + R"SH(/mcap_read.js" run.mcap >mcap.json 2>mcap.err; echo "read=$?" >>status
node ")SH" + NODE_TESTS + R"SH(/mcap_read.js" plain.mcap >plain.json 2>>mcap.err; echo "plain read=$?" >>status
node ")SH" + NODE_TESTS + R"SH(/mcap_read.js" live.mcap >live.json 2>>mcap.err; echo "live read=$?" >>status
)SH",
                              60);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log");
  ASSERT_EQ(s.read("status"), "export=0\nplain=0\nmissing=1\nread=0\nplain read=0\nlive read=0\n")
      << s.read("export.err") << s.read("mcap.err");
  const Json m = readJson(s, "mcap.json");
  EXPECT_EQ(m["profile"], "ros2");
  EXPECT_EQ(m["schemas"], Json::array({"geometry_msgs/msg/PoseStamped ros2msg", "mcagent_msgs/msg/GroupDatagram ros2msg",
                                       "nav_msgs/msg/OccupancyGrid ros2msg", "nav_msgs/msg/Path ros2msg",
                                       "std_msgs/msg/String ros2msg", "tf2_msgs/msg/TFMessage ros2msg"}));
  std::map<std::string, long> counts;
  long total = 0;
  for (const Json& channel : m["channels"]) {
    EXPECT_EQ(channel["encoding"], "cdr");
    counts[channel["topic"]] = channel["count"];
    total += channel["count"].get<long>();
  }
  // Every datagram, the junk too, as many as agentctl map read.
  const std::string from = s.read("from.out");
  EXPECT_EQ(counts["/group/datagrams"], std::stol(from.substr(from.find("read ") + 5))) << from;
  long p = 0;
  for (const std::string name : {"load-0001", "load-0002"}) {
    const std::string topic = "/" + std::string(name).replace(4, 1, "_");
    const std::vector<double> pose = poseInMapLine(from, name, p);
    EXPECT_EQ(counts[topic + "/pose"], p);
    EXPECT_EQ(counts[topic + "/trail"], p);
    EXPECT_EQ(counts[topic + "/mode"], 1) << "mode 4 to all";
    const std::vector<double> last = m["poses"][topic + "/pose"].get<std::vector<double>>();
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(last[static_cast<size_t>(i)], pose[static_cast<size_t>(i)], 1e-3) << topic;
  }
  EXPECT_EQ(counts["/tf"], 2 * p);
  EXPECT_EQ(counts["/load_0002/goal"], 1);
  EXPECT_EQ(counts.count("/load_0001/goal"), 0u) << "the goal went to load-0002 only";
  EXPECT_GE(counts["/map"], 2);
  EXPECT_EQ(m["statistics"], total);
  EXPECT_EQ(m["streamed"], total);
  EXPECT_EQ(m["monotone"], true);
  EXPECT_EQ(m["map"]["cells"], cellsOf((s.dir() / "from.ppm").string()));
  for (const Json& channel : m["channels"]) {
    const bool latched = channel["topic"] == "/map";
    EXPECT_NE(channel["qos"].get<std::string>().find(latched ? "durability: 1" : "durability: 2"), std::string::npos);
  }
  const Json plain = readJson(s, "plain.json");
  EXPECT_EQ(plain["channels"], m["channels"]) << "plain chunks hold what zstd chunks hold";
  const Json live = readJson(s, "live.json");
  EXPECT_EQ(live["channels"], m["channels"]) << "recorded live as exported from the pcap file";
  EXPECT_EQ(live["map"], m["map"]);
  EXPECT_NE(s.read("missing.err").find("missing.pcap"), std::string::npos);
}

}  // namespace
