// Mission scenarios: agents exploring, sharing maps, driven to goals by agentctl, and
// surviving a hostile group. Each runs for tens of seconds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "map/map_file.h"
#include "tests/support/e2e_scenario.h"

namespace {

using e2e::Scenario;

// Reads "coverage X", "accuracy X", "false free X" lines printed by mapscore.
double figure(const std::string& report, const std::string& name) {
  size_t at = report.find(name + " ");
  return at == std::string::npos ? -1.0 : std::stod(report.substr(at + name.size() + 1));
}

bool loadMap(const Scenario& s, const std::string& file, OccupancyMap& map) {
  return readMapFile(map, (s.dir() / file).c_str());
}

// Pixels of a map file whose blue sample says another robot stood there and this one
// did not (reading a file into a map drops the own-footprint bit, so count in the file).
long peerOnlyFootprints(const Scenario& s, const std::string& file) {
  std::istringstream in(s.read(file));
  std::string line;
  for (int header = 0; header < 7 && std::getline(in, line);) ++header;
  long n = 0;
  int r, g, b;
  while (in >> r >> g >> b)
    if ((b & (CELL_FOOTPRINT >> 8)) && !(b & (CELL_OWN_FOOTPRINT >> 8))) ++n;
  return n;
}

TEST(Missions, TwoAgentsWanderTheOfficeAndTheirMapsMatchTheWorldUnderEitherMappingModel) {
  // Two robots from one start pose (ghosts: they drive through each other), alpha
  // mapping by the ray rule, bravo by the sonar model; each global map also holds the
  // other's readings, mapped by its own model.
  Scenario s("ExploreOffice");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world" --ghosts --truth truth.ppm
start_exploring alpha .
mkdir -p bravo
(cd bravo && exec agent --name bravo --mapping sonar </dev/null >../bravo.out 2>../bravo.err) &
bravo=$!
wait_for bravo.err "CONTROLER: Run: actErratic" 30
sleep 60
agentctl save all
wait_for alpha.out "Paused for saving map files. . . Done!" 10
wait_for bravo.out "Paused for saving map files. . . Done!" 10
stop_agent alpha
agentctl stop bravo
set +e; wait_exit $bravo 20; echo $? >>status; set -e
mapscore map_local.ppm truth.ppm >score_local
mapscore map_global.ppm truth.ppm >score_global
mapscore bravo/map_local.ppm truth.ppm >score_sonar_local
mapscore bravo/map_global.ppm truth.ppm >score_sonar_global
)SH",
                 150);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err") << s.read("bravo.err");
  EXPECT_EQ(s.read("status"), "0\n0\n");
  OccupancyMap local(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  OccupancyMap global(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  ASSERT_TRUE(loadMap(s, "map_local.ppm", local));
  ASSERT_TRUE(loadMap(s, "map_global.ppm", global));
  // Thresholds a margin below what the system reliably reaches (docs/mission-scores.md).
  for (const char* file : {"score_local", "score_global"}) {
    std::string report = s.read(file);
    SCOPED_TRACE(report);
    EXPECT_GE(figure(report, "coverage"), 0.15);
    EXPECT_GE(figure(report, "accuracy"), 0.35);
    EXPECT_LE(figure(report, "false free"), 0.03);
  }
  // The sonar model keeps its walls where they are: 0.96 to 0.97 of its obstacle cells
  // within two cells of a wall and no false free in 120 s runs, where the ray rule
  // reaches 0.79 and 0.02.
  for (const char* file : {"score_sonar_local", "score_sonar_global"}) {
    std::string report = s.read(file);
    SCOPED_TRACE(report);
    EXPECT_GE(figure(report, "coverage"), 0.15);
    EXPECT_GE(figure(report, "within 2 cells"), 0.90);
    EXPECT_LE(figure(report, "phantoms"), 0.03);
    EXPECT_LE(figure(report, "false free"), 0.01);
  }
}

TEST(Missions, ThreeAgentsShareReadingsThroughTheGroupAndStopTogether) {
  Scenario s("ThreeAgents");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
pids=""
for name in alpha bravo charlie; do
  start_agent $name
  pids="$pids $AGENT_PID"
done
for name in alpha bravo charlie; do wait_for $name.err "CONTROLER: Run: actErratic" 30; done
sleep 20
agentctl stop all
for pid in $pids; do set +e; wait_exit $pid 20; echo $? >>status; set -e; done
)SH",
                 120);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log");
  EXPECT_EQ(s.read("status"), "0\n0\n0\n");
  for (const char* name : {"alpha", "bravo", "charlie"}) {
    SCOPED_TRACE(name);
    OccupancyMap local(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
    OccupancyMap global(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
    ASSERT_TRUE(loadMap(s, std::string(name) + "/map_local.ppm", local));
    ASSERT_TRUE(loadMap(s, std::string(name) + "/map_global.ppm", global));
    EXPECT_EQ(peerOnlyFootprints(s, std::string(name) + "/map_local.ppm"), 0)
        << "a local map holds only the agent's own track";
    EXPECT_GT(peerOnlyFootprints(s, std::string(name) + "/map_global.ppm"), 20)
        << "the global map holds the other robots' tracks";
    EXPECT_GT(global.knownCells(), local.knownCells()) << "and their readings";
  }
}

// Three agents in the world frame explore the office by frontiers for two minutes. The
// team's map, in any agent's global map, covers far more than random wander reaches in
// that time, stays true to the walls, and no robot stays wedged against a wall.
TEST(Missions, ATeamExploringByFrontiersMapsMostOfTheOfficeInTwoMinutes) {
  Scenario s("ExploreTeam");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world" --truth truth.ppm --truth-frame world --contacts
robosim --list-starts "$WORLDS/office.world" >starts
pids=""
i=0
for name in alpha bravo charlie; do
  i=$((i + 1))
  mkdir -p $name
  (cd $name && exec agent --name $name --start $(sed -n "${i}p" ../starts) </dev/null >../$name.out 2>../$name.err) &
  pids="$pids $!"
  wait_for sim.err "robot $i at start pose $((i - 1))" 10
done
for name in alpha bravo charlie; do wait_for $name.err "CONTROLER: Run: actErratic" 30; done
agentctl mode all 4
sleep 120
agentctl save alpha
wait_for alpha.out "Paused for saving map files. . . Done!" 10
mapscore alpha/map_global.ppm truth.ppm >score
agentctl stop all
for pid in $pids; do set +e; wait_exit $pid 20; echo $? >>status; set -e; done
)SH",
                 240);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("sim.err");
  EXPECT_EQ(s.read("status"), "0\n0\n0\n");
  for (const char* name : {"alpha", "bravo", "charlie"}) {
    // A touch that stalls a wheel for a moment ends the agent's pass; the next pass
    // explores on, so the behaviour may run more than once.
    EXPECT_GE(s.count(std::string(name) + ".err", "CONTROLER: Run: actExplore"), 1) << name;
    EXPECT_GE(s.count(std::string(name) + ".err", "EXPLORE: heading for the frontier at"), 3) << name;
  }
  const std::string report = s.read("score");
  SCOPED_TRACE(report);
  // A margin below the measured runs (docs/mission-scores.md): mode 4 reached 0.49 to
  // 0.59 in two minutes, mode 0 0.40.
  EXPECT_GE(figure(report, "coverage"), 0.45);
  EXPECT_LE(figure(report, "false free"), 0.10);
  // robosim --contacts: one line per contact; none with the wheels stalled over 2 s.
  std::istringstream contacts(s.read("sim.err"));
  std::string line;
  while (std::getline(contacts, line)) {
    const size_t at = line.find("wheels stalled ");
    if (at != std::string::npos) {
      EXPECT_LE(std::stod(line.substr(at + 15)), 2.0) << line;
    }
  }
}

// Three agents whose robots' odometry drifts as an uncalibrated drive's does explore the
// office for 45 s, correcting their poses by sonar. The poses they send are no further
// from the truth than raw odometry's (robosim's pose log beside the group's recording,
// scripts/pose-error).
TEST(Missions, DriftingRobotsCorrectedBySonarDriftNoFurtherThanTheirOdometry) {
  Scenario s("Drift");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world" --odometry-error realistic --pose-log poses.log --seed 3
robosim --list-starts "$WORLDS/office.world" >starts
agentctl record group.pcap >record.out 2>&1 &
recorder=$!
pids=""
i=0
for name in alpha bravo charlie; do
  i=$((i + 1))
  mkdir -p $name
  (cd $name && exec agent --name $name --start $(sed -n "${i}p" ../starts) --localize </dev/null >../$name.out 2>../$name.err) &
  pids="$pids $!"
  wait_for sim.err "robot $i at start pose $((i - 1))" 10
done
for name in alpha bravo charlie; do wait_for $name.err "CONTROLER: Run: actErratic" 30; done
agentctl mode all 4
sleep 45
agentctl stop all
for pid in $pids; do set +e; wait_exit $pid 20; echo $? >>status; set -e; done
kill -TERM $recorder $SIM_PID
wait $recorder $SIM_PID || true
)SH",
                 180);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("sim.err");
  EXPECT_EQ(s.read("status"), "0\n0\n0\n");
  for (const char* name : {"alpha", "bravo", "charlie"}) {
    EXPECT_GE(s.count(std::string(name) + ".err", "LOCALIZE: "), 1) << name << ": the totals at the end";
  }
  // Outside the scenario's namespace: tcpdump, which reads the recording, cannot drop its
  // privileges inside one.
  const std::string command = std::string(MCAGENT_SOURCE_DIR) + "/scripts/pose-error " + (s.dir() / "poses.log").string() +
                              " " + (s.dir() / "group.pcap").string() + " alpha=1 bravo=2 charlie=3 >" +
                              (s.dir() / "pose-error.txt").string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << s.read("pose-error.txt");
  const std::string report = s.read("pose-error.txt");
  SCOPED_TRACE(report);
  std::istringstream lines(report);
  std::string who, pose, line;
  double count = 0, p50 = 0, p95Mm = 0, worst = 0, p50Deg = 0, p95Deg = 0;
  double agentMm = -1, agentDeg = -1, agentCount = 0, odometryMm = -1, odometryDeg = -1;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    if (!(fields >> who >> pose >> count >> p50 >> p95Mm >> worst >> p50Deg >> p95Deg) || who != "team") continue;
    if (pose == "agent") agentMm = p95Mm, agentDeg = p95Deg, agentCount = count;
    if (pose == "odometry") odometryMm = p95Mm, odometryDeg = p95Deg;
  }
  ASSERT_GT(agentCount, 250) << "P messages of the three agents";
  ASSERT_GE(odometryMm, 0);
  // A correction may leave the drift as it is (it refuses what it cannot tell from its
  // own noise) but never add to it: one that pulls the wrong way puts the poses metres
  // and tens of degrees off within the run. The margins are a correction step's size.
  EXPECT_LE(agentMm, odometryMm + 150);
  EXPECT_LE(agentDeg, odometryDeg + 3);
}

TEST(Missions, AgentctlDrivesAnAgentToGoalsByPotentialFieldAndByFloodPath) {
  Scenario s("Goals");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world" --ghosts
start_exploring alpha .
agentctl mode alpha 1
wait_for alpha.err "CONTROLER: Run: actStopAndManual" 10
agentctl goal alpha 1500 0
agentctl mode alpha 2
wait_after alpha.err "CONTROLER: Run: actPotField" "CONTROLER: Mode: 1" 60
agentctl watch --seconds 2 >pose_after_field
agentctl goal all 0 0
agentctl mode alpha 3
wait_after alpha.err "CONTROLER: Run: actPath" "CONTROLER: Mode: 1" 90
agentctl watch --seconds 2 >pose_after_path
stop_agent alpha
)SH",
                 150);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  const std::string err = s.read("alpha.err");
  size_t field = err.find("CONTROLER: Run: actPotField");
  size_t path = err.find("CONTROLER: Run: actPath");
  ASSERT_NE(field, std::string::npos);
  ASSERT_NE(path, std::string::npos);
  EXPECT_NE(err.find("CONTROLER: Mode: 1\n", field), std::string::npos) << "back to mode 1 after the field";
  EXPECT_NE(err.find("CONTROLER: Mode: 1\n", path), std::string::npos) << "back to mode 1 after the path";
  EXPECT_EQ(s.read("status"), "0\n");
}

// The trap world: a U open toward the robot with the goal 2 m behind its back wall.
// Potential-field navigation runs into the U and stops in its local minimum; flood
// planning leads round an arm to the goal.
TEST(Missions, FloodPlanningEscapesTheTrapThatStopsThePotentialField) {
  Scenario s("Trap");
  auto r = s.run(R"SH(
# distance NAME GX GY: the agent's distance to a point, from its last P message
distance() {
  agentctl watch --seconds 2 --quiet | awk -v n="$1" -v gx="$2" -v gy="$3" \
    '$1 == n && /last pose/ { x = $(NF-2); y = $(NF-1) } END { print sqrt((x-gx)^2 + (y-gy)^2) }'
}
start_sim --world "$WORLDS/trap.world"
start_exploring alpha .
agentctl mode alpha 1
wait_for alpha.err "CONTROLER: Run: actStopAndManual" 10
agentctl goal alpha 4000 0
agentctl mode alpha 2
wait_after alpha.err "CONTROLER: Run: actPotField" "CONTROLER: Mode: 1" 60
distance alpha 4000 0 >after_field
agentctl mode alpha 3
wait_for alpha.err "CONTROLER: Run: actPath" 10
end=$(( $(date +%s) + 120 ))
passes=$(count_in alpha.err "CONTROLER: Exiting thread")
while [ "$(date +%s)" -lt "$end" ]; do
  # A wheel stalled against the U (a late cycle on a loaded machine) ends the pass and the
  # errand with it; the operator sends the robot on again.
  if [ "$(count_in alpha.err "CONTROLER: Exiting thread")" -gt "$passes" ]; then
    passes=$(count_in alpha.err "CONTROLER: Exiting thread")
    echo "pass ended at $(date +%s)" >>pass_ends
    agentctl mode alpha 3
  fi
  d=$(distance alpha 4000 0)
  echo "$d" >after_path
  awk -v d="$d" 'BEGIN { exit !(d < 400) }' && break
done
stop_agent alpha
)SH",
                 240);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_GT(std::stod(s.read("after_field")), 2000) << "the field stops inside the U";
  EXPECT_LT(std::stod(s.read("after_path")), 400) << "the flood path reaches the goal";
  EXPECT_EQ(s.read("status"), "0\n");
}

TEST(Missions, AHostileGroupNeitherCrashesTheAgentNorBlocksValidMessages) {
  Scenario s("HostileFlood");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
start_exploring alpha .
e2e_flood 15 alpha >flood_warmup
grep VmRSS /proc/$AGENT_PID/status | awk '{print $2}' >rss_start
e2e_flood 45 alpha >flood
grep VmRSS /proc/$AGENT_PID/status | awk '{print $2}' >rss_end
agentctl save alpha
wait_for alpha.out "Paused for saving map files. . . Done!" 10
stop_agent alpha
)SH",
                 150);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_EQ(s.read("status"), "0\n");
  long start = std::stol(s.read("rss_start")), end = std::stol(s.read("rss_end"));
  EXPECT_LT(end, start + 64 * 1024) << "memory stays bounded: " << start << " kB -> " << end << " kB";
  OccupancyMap global(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  ASSERT_TRUE(loadMap(s, "map_global.ppm", global));
  ASSERT_TRUE(global.inBounds(500, 0));
  EXPECT_TRUE(global.cellValue(500, 0) & CELL_FOOTPRINT) << "the valid peer's pose took effect";
  EXPECT_GE(global.cellValue(510, 0) & CELL_OCCUPANCY, 64) << "and so did its reading";
}

}  // namespace
