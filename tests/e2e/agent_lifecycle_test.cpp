// The agent's life as an operator sees it: the name prompt, connecting and
// reconnecting to the robot server, mode commands from the group, and stopping.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "aria/ar_pose.h"

#include "tests/support/e2e_scenario.h"

namespace {

using e2e::Scenario;

// The poses of an agent's messages in the output of agentctl watch: the robot pose of
// every D, P and E line of the agent.
std::vector<ArPose> reportedPoses(const std::string& watch, const std::string& name) {
  std::vector<ArPose> poses;
  std::istringstream lines(watch);
  for (std::string line; std::getline(lines, line);) {
    double x, y, th, px, py;
    const std::string pose = "%*c " + name + " pose %lf %lf %lf";
    const std::string reading = "E " + name + " point %lf %lf robot %lf %lf %lf";
    if (std::sscanf(line.c_str(), reading.c_str(), &px, &py, &x, &y, &th) == 5 ||
        ((line[0] == 'D' || line[0] == 'P') && std::sscanf(line.c_str(), pose.c_str(), &x, &y, &th) == 3)) {
      poses.emplace_back(x, y, th);
    }
  }
  return poses;
}

// True when the lines appear in text in this order (other lines may come between).
bool inOrder(const std::string& text, std::initializer_list<const char*> lines) {
  size_t at = 0;
  for (const char* line : lines) {
    at = text.find(line, at);
    if (at == std::string::npos) return false;
    at += std::strlen(line);
  }
  return true;
}

TEST(AgentLifecycle, EndOfInputAtTheNamePromptEndsTheProgramWithAnError) {
  Scenario s("EndOfInputAtThePrompt");
  auto r = s.run(R"SH(printf 'ab\n' | agent >out 2>err; echo $? >status)SH", 30);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log");
  EXPECT_EQ(s.count("out", "Please enter the agent ID name (no space please) "), 2);
  EXPECT_NE(s.read("status"), "0\n");
  EXPECT_NE(s.read("err").find("Standard input ended"), std::string::npos) << s.read("err");
}

TEST(AgentLifecycle, WithoutARobotServerItRetriesEveryFiveSecondsUntilOneAppears) {
  Scenario s("RetriesUntilServerAppears");
  auto r = s.run(R"SH(
mkfifo in
(printf 'ab\nalpha\n'; exec sleep 1000) >in &
FEEDERS=$!
agent <in >out 2>err &
AGENT_PID=$!
wait_for err "Lost connection, will try again in a few seconds. . ." 15
t1=$(date +%s.%N)
while [ "$(count_in err 'Lost connection, will try again')" -lt 2 ]; do sleep 0.05; done
t2=$(date +%s.%N)
awk "BEGIN { print $t2 - $t1 }" >retry_gap
start_sim --world "$WORLDS/office.world"
wait_for err "CONTROLER: Run: actErratic" 20
stop_agent alpha
)SH",
                  90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("err");
  const std::string err = s.read("err");
  EXPECT_EQ(s.count("out", "Please enter the agent ID name (no space please) "), 2);
  EXPECT_TRUE(inOrder(err, {"Connection to the physical robot failed!",
                            "ERROR: asyncConnect failed because robot is not running in its own thread.",
                            "No robot server at localhost:8101 (Connection refused): start robosim",
                            "Lost connection, will try again in a few seconds. . ."}))
      << err;
  EXPECT_EQ(s.count("err", "asyncConnect failed"), 1) << "the retries say no more while the reason stays: " << err;
  EXPECT_EQ(s.count("err", "No robot server at"), 1) << err;
  double gap = std::stod(s.read("retry_gap"));
  EXPECT_GT(gap, 4.5);
  EXPECT_LT(gap, 7.5);
  EXPECT_TRUE(inOrder(s.read("out"), {"Reading global map. . . Reading of the global map failed, continuing with a new map.\n",
                                      "Saving the map files. . .\n", "Done!\n"}))
      << s.read("out");
  EXPECT_EQ(s.read("status"), "0\n");
  EXPECT_TRUE(s.exists("map_local.ppm"));
  EXPECT_TRUE(s.exists("map_global.ppm"));
}

TEST(AgentLifecycle, ModeCommandsSaveRepairAndStop) {
  Scenario s("ModeCommands");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
start_exploring alpha .
send_msg "M alpha 98"
wait_for alpha.out "Paused for saving map files. . . Done!" 10
ls map_local.ppm map_global.ppm >saved_files
wait_for alpha.err "CONTROLER: Run: actStopAndManual" 10
send_msg "M alpha 5"
wait_for alpha.err "CONTROLER: Invalid mode received, switching to random exploration" 10
wait_for alpha.err "CONTROLER: Run: actErratic" 10
send_msg "M bravo 99"
send_msg "M alpha 65535"
while [ "$(count_in alpha.err 'Invalid mode received')" -lt 2 ]; do sleep 0.05; done
sleep 0.5
send_msg "M all 99"
wait_exit $AGENT_PID 20
echo $? >status
)SH",
                  90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  const std::string err = s.read("alpha.err");
  EXPECT_TRUE(inOrder(err, {"CONTROLER: Mode: 98\n", "CONTROLER: Run: save maps\n", "CONTROLER: Mode: 1\n",
                            "CONTROLER: Run: actStopAndManual\n"}))
      << err;
  EXPECT_TRUE(inOrder(err, {"CONTROLER: Invalid mode received, switching to random exploration\n",
                            "CONTROLER: Mode: 0\n", "CONTROLER: Run: actErratic\n"}));
  EXPECT_TRUE(inOrder(err, {"CONTROLER: Run: actStop\n", "CONTROLER: Exiting thread\n"}));
  EXPECT_EQ(s.count("alpha.err", "Invalid mode received"), 2) << "M for another agent is ignored";
  EXPECT_EQ(s.read("saved_files"), "map_global.ppm\nmap_local.ppm\n");
  EXPECT_TRUE(inOrder(s.read("alpha.out"), {"Saving the map files. . .\n", "Done!\n"}));
  EXPECT_EQ(s.read("status"), "0\n");
}

// Mode commands sent while the robot is away are applied: the group is listened to
// between passes too, so a stop ends an agent that has no robot.
TEST(AgentLifecycle, ALostRobotEndsThePassAndTheNextPassReadsTheSavedGlobalMap) {
  Scenario s("LostRobot");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
start_exploring alpha .
sleep 3
kill $SIM_PID; wait $SIM_PID || true
wait_for alpha.err "Lost connection to the physical robot!" 10
wait_for alpha.out "Done!" 15
send_msg "M alpha 2"
start_sim --world "$WORLDS/office.world"
wait_for alpha.out "Global  map read." 30
wait_for alpha.err "CONTROLER: Run: actPotField" 10
lost=$(count_in alpha.err 'Lost connection, will try again')
kill $SIM_PID; wait $SIM_PID || true
while [ "$(count_in alpha.err 'Lost connection, will try again')" -lt $((lost + 2)) ]; do sleep 0.1; done
stop_agent alpha
)SH",
                  120);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_TRUE(inOrder(s.read("alpha.err"), {"Lost connection to the physical robot!",
                                            "Lost connection, will try again in a few seconds. . ."}));
  EXPECT_TRUE(inOrder(s.read("alpha.out"), {"Saving the map files. . .\n", "Done!\n", "Reading global map. . . Global  map read.\n"}));
  EXPECT_EQ(s.read("status"), "0\n");
}

// An agent started in the world frame at the robot's start pose: what it sends is in
// that frame, checked against robosim's true pose of the robot; the connection breaks
// (its relay to robosim ends), robosim parks the robot, and after the reconnect the
// agent's poses go on in the same frame.
TEST(AgentLifecycle, AnAgentStartedInTheWorldFrameStaysInItAcrossAReconnect) {
  Scenario s("WorldFrameAcrossAReconnect");
  auto r = s.run(R"SH(
relay() { socat TCP-LISTEN:8102,bind=127.0.0.1,reuseaddr TCP:127.0.0.1:8101 & RELAY=$!; }
printf 'box -6000 -6000 6000 6000\nbox -1000 -1000 1000 1000\nstart -4500 -4500 45\n' >diagonal.world
start_sim --world diagonal.world
relay
mkdir alpha
(cd alpha && exec agent --name alpha --start -4500 -4500 45 --server 127.0.0.1:8102 --dir maps \
  </dev/null >../alpha.out 2>../alpha.err) &
AGENT_PID=$!
wait_for alpha.err "CONTROLER: Run: actErratic" 30
sleep 3
send_msg "M alpha 1"
wait_for alpha.err "CONTROLER: Run: actStopAndManual" 10
sleep 1.5
agentctl watch --seconds 2 >before
FIRST=$RELAY
relay   # listens while the first relay serves the agent's connection
sleep 0.3
kill $FIRST; wait $FIRST 2>/dev/null || true
wait_for sim.err "handed back" 20
wait_for sim.err "robot 1 handed back" 1
wait_after alpha.out "Done!" "Global  map read." 20
sleep 1
agentctl watch --seconds 2 >after
stop_agent alpha
ls alpha/maps >files
)SH",
                  90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err") << s.read("sim.err");
  const std::string sim = s.read("sim.err");
  ASSERT_NE(sim.find("robot 1 at start pose 0 (-4500, -4500, 45)"), std::string::npos) << sim;
  double x = 0, y = 0, th = 0;
  const size_t back = sim.find("handed back at (");
  ASSERT_NE(back, std::string::npos);
  ASSERT_EQ(std::sscanf(sim.c_str() + back, "handed back at (%lf, %lf, %lf)", &x, &y, &th), 3);
  const ArPose truth(x, y, th);
  EXPECT_GT(truth.findDistanceTo(ArPose(-4500, -4500)), 300) << "the robot explored before the reconnect";
  for (const char* watch : {"before", "after"}) {
    const std::vector<ArPose> poses = reportedPoses(s.read(watch), "alpha");
    EXPECT_GE(poses.size(), 3u) << watch << ": " << s.read(watch);
    for (const ArPose& p : poses) {
      EXPECT_LT(p.findDistanceTo(truth), 30) << watch << ": " << p.getX() << ", " << p.getY() << " against "
                                             << x << ", " << y;
      EXPECT_LT(std::fabs(ArMath::subAngle(p.getTh(), th)), 2) << watch;
    }
  }
  EXPECT_EQ(s.count("alpha.out", "Please enter the agent ID name"), 0) << "--name asks no name";
  EXPECT_EQ(s.read("files"), "map_global.ppm\nmap_local.ppm\n");
  EXPECT_EQ(s.read("status"), "0\n");
}

// An agent that corrects its pose (--localize) on a robot whose odometry drifts tells the
// group how far it has moved its pose (C, once a second), and ends with its totals.
TEST(AgentLifecycle, APoseCorrectingAgentTellsTheGroupAndEndsWithItsTotals) {
  Scenario s("Localize");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world" --odometry-error realistic
mkdir alpha
(cd alpha && exec agent --name alpha --start 2000 7500 0 --localize </dev/null >../alpha.out 2>../alpha.err) &
AGENT_PID=$!
wait_for alpha.err "CONTROLER: Run: actErratic" 30
sleep 8
agentctl watch --seconds 3 >watch
stop_agent alpha
)SH",
                  60);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_GE(s.count("watch", "C alpha pose corrected by "), 2) << s.read("watch");
  EXPECT_EQ(s.count("alpha.err", "LOCALIZE: "), s.count("alpha.err", "matches refused") + s.count("alpha.err", "LOCALIZE: corrected"))
      << "every line is a large step or the totals\n" << s.read("alpha.err");
  EXPECT_GE(s.count("alpha.err", "matches refused"), 1) << "the totals when the pass ends";
  EXPECT_EQ(s.read("status"), "0\n");
}

// Robots parked by robosim for clients that went away are handed to the right ones. Bravo
// loses its link and cannot reconnect at once; meanwhile alpha is stopped, and charlie is
// started at the next start pose (the README's order): charlie gets a robot at that pose,
// not alpha's parked one. Bravo, back, is offered alpha's robot first (parked last), sees
// that it is not its own, gives it back unmoved and gets its own.
TEST(AgentLifecycle, ANewAgentGetsTheStartPoseItWasToldAndAReconnectingOneItsOwnRobot) {
  Scenario s("ParkedRobotsAndNewAgents");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
# A relay that serves every attempt (a handshake that timed out on a loaded machine is
# tried again); cutting it ends the relayed session too.
socat TCP-LISTEN:8102,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:8101 & RELAY=$!
mkdir alpha bravo charlie
(cd alpha && exec agent --name alpha --start 2000 7500 0 </dev/null >../alpha.out 2>../alpha.err) &
ALPHA=$!
wait_for sim.err "robot 1 at start pose 0" 20
(cd bravo && exec agent --name bravo --start 10000 7500 0 --server 127.0.0.1:8102 </dev/null >../bravo.out 2>../bravo.err) &
BRAVO=$!
wait_for bravo.err "CONTROLER: Run: actErratic" 30
sleep 2
send_msg "M bravo 1"
wait_for bravo.err "CONTROLER: Run: actStopAndManual" 10
pkill -P $RELAY; kill $RELAY; wait $RELAY 2>/dev/null || true
wait_for bravo.err "Lost connection, will try again in a few seconds" 10
AGENT_PID=$ALPHA stop_agent alpha
(cd charlie && exec agent --name charlie --start 18000 7500 180 </dev/null >../charlie.out 2>../charlie.err) &
CHARLIE=$!
wait_for sim.err "robot 3 at start pose" 10
socat TCP-LISTEN:8102,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:8101 &
wait_for sim.err "robot 2 handed back" 20
wait_after bravo.out "Done!" "Global  map read." 20
sleep 1
agentctl watch --seconds 2 >after
AGENT_PID=$BRAVO stop_agent bravo
AGENT_PID=$CHARLIE stop_agent charlie
)SH",
                  90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("bravo.err") << s.read("sim.err");
  const std::string sim = s.read("sim.err");
  EXPECT_NE(sim.find("robot 3 at start pose 2 (18000, 7500, 180)"), std::string::npos) << sim;
  EXPECT_NE(sim.find("robot 1 parked for"), std::string::npos) << sim;
  EXPECT_NE(sim.find("(given back unmoved)"), std::string::npos) << sim;
  EXPECT_NE(s.read("bravo.err").find("The robot server handed over a robot at"), std::string::npos);
  double x = 0, y = 0, th = 0;
  const size_t back = sim.find("robot 2 handed back at (");
  ASSERT_NE(back, std::string::npos);
  ASSERT_EQ(std::sscanf(sim.c_str() + back, "robot 2 handed back at (%lf, %lf, %lf)", &x, &y, &th), 3);
  EXPECT_GT(ArPose(x, y).findDistanceTo(ArPose(10000, 7500)), 100) << "bravo's robot had moved";
  const std::vector<ArPose> poses = reportedPoses(s.read("after"), "bravo");
  EXPECT_GE(poses.size(), 3u) << s.read("after");
  for (const ArPose& p : poses) EXPECT_LT(p.findDistanceTo(ArPose(x, y)), 30) << p.getX() << ", " << p.getY();
  EXPECT_EQ(s.read("status"), "0\n0\n0\n");
}

}  // namespace
