// The agent's life as an operator sees it: the name prompt, connecting and
// reconnecting to the robot server, mode commands from the group, and stopping.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/e2e_scenario.h"

namespace {

using e2e::Scenario;

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
                            "Lost connection, will try again in a few seconds. . ."}))
      << err;
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
send_msg "M alpha 4"
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

TEST(AgentLifecycle, ALostRobotEndsThePassAndTheNextPassReadsTheSavedGlobalMap) {
  Scenario s("LostRobot");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
start_exploring alpha .
sleep 3
kill $SIM_PID; wait $SIM_PID || true
wait_for alpha.err "Lost connection to the physical robot!" 10
wait_for alpha.out "Done!" 15
start_sim --world "$WORLDS/office.world"
wait_for alpha.out "Global  map read." 30
stop_agent alpha
)SH",
                  120);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_TRUE(inOrder(s.read("alpha.err"), {"Lost connection to the physical robot!",
                                            "Lost connection, will try again in a few seconds. . ."}));
  EXPECT_TRUE(inOrder(s.read("alpha.out"), {"Saving the map files. . .\n", "Done!\n", "Reading global map. . . Global  map read.\n"}));
  EXPECT_EQ(s.read("status"), "0\n");
}

}  // namespace
