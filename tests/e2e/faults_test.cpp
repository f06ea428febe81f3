// Faults an agent meets in the field: a damaged map file, a full disk, signals, and a
// robot server that dies in the middle of a pass.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/e2e_scenario.h"

namespace {

using e2e::Scenario;

TEST(AgentFaults, ADamagedGlobalMapIsKeptAsideAndTheAgentRunsOnANewMap) {
  Scenario s("DamagedGlobalMap");
  auto r = s.run(R"SH(
printf 'P3\n# Sizes: minx=125 maxx=125 miny=125 maxy=125\n249 249 255\n0 63 0\n0 6' >map_global.ppm
cp map_global.ppm damaged
touch map_local.ppm.tmp.2147483646      # left by a process that no longer exists
sleep 1000 & LIVE=$!
touch map_global.ppm.tmp.$LIVE          # being written by a live process
start_sim --world "$WORLDS/office.world"
start_exploring alpha .
sleep 2
stop_agent alpha
mapscore --known map_global.ppm >known
cmp map_global.ppm.damaged-* damaged && echo kept >aside
ls map_local.ppm.tmp.* map_global.ppm.tmp.* 2>/dev/null | sed "s/$LIVE/LIVE/" >temporary
)SH",
                 60);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_NE(s.read("alpha.out").find(
                "Reading global map. . . Reading of the global map failed, continuing with a new map.\n"),
            std::string::npos);
  EXPECT_EQ(s.read("status"), "0\n");
  EXPECT_GT(std::stol(s.read("known")), 0) << "a new, valid global map was written";
  EXPECT_EQ(s.read("aside"), "kept\n") << "what the damaged file held is kept, byte for byte";
  EXPECT_EQ(s.count("alpha.err", "The global map file map_global.ppm could not be read ("), 1);
  EXPECT_EQ(s.count("alpha.err", "); it is kept as map_global.ppm.damaged-"), 1) << s.read("alpha.err");
  EXPECT_EQ(s.read("temporary"), "map_global.ppm.tmp.LIVE\n") << "only the dead process's file is removed";
}

TEST(AgentFaults, AFullDiskKeepsThePreviousGlobalMapAndTheAgentRuns) {
  Scenario s("FullDisk");
  auto r = s.run(R"SH(
mkdir disk
mount -t tmpfs -o size=1m tmpfs disk
start_sim --world "$WORLDS/office.world"
start_exploring alpha disk
sleep 2
send_msg "M alpha 98"
wait_for alpha.out "Paused for saving map files. . . Done!" 10
cp disk/map_global.ppm first_global.ppm
dd if=/dev/zero of=disk/filler bs=4k 2>/dev/null || true
send_msg "M alpha 0"
sleep 2
send_msg "M alpha 98"
while [ "$(count_in alpha.out 'Paused for saving map files. . . Done!')" -lt 2 ]; do sleep 0.1; done
wait_for alpha.err "CONTROLER: Run: actStopAndManual" 10
cmp disk/map_global.ppm first_global.ppm && echo same >after_save
stop_agent alpha
cmp disk/map_global.ppm first_global.ppm && echo same >after_exit
ls disk >files
)SH",
                 90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_EQ(s.read("after_save"), "same\n") << "a failed save must not touch the previous file";
  EXPECT_EQ(s.read("after_exit"), "same\n");
  EXPECT_EQ(s.read("status"), "0\n");
  EXPECT_EQ(s.read("files"), "filler\nmap_global.ppm\nmap_local.ppm\nstdin\n")
      << "no temporary files are left behind";
  // Each failed save is named with the system's reason: the save by mode 98 and the one
  // at the end of the pass.
  EXPECT_EQ(s.count("alpha.err", "Saving map_local.ppm failed: No space left on device\n"), 2) << s.read("alpha.err");
  EXPECT_EQ(s.count("alpha.err", "Saving map_global.ppm failed: No space left on device\n"), 2);
}

TEST(AgentFaults, SignalsStopTheRobotSaveBothMapsAndEndTheAgent) {
  Scenario s("Signals");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
for sig in TERM INT; do
  start_exploring alpha $sig
  sleep 1
  kill -$sig $AGENT_PID
  set +e; wait_exit $AGENT_PID 10; echo $? >status.$sig; set -e
  mapscore --known $sig/map_local.ppm >known_local.$sig
  mapscore --known $sig/map_global.ppm >known_global.$sig
done
sleep 0.5
)SH",
                 90);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_EQ(s.read("status.TERM"), "143\n");
  EXPECT_EQ(s.read("status.INT"), "130\n");
  EXPECT_EQ(s.count("sim.err", "disconnected"), 2) << s.read("sim.err");
  for (const char* sig : {"TERM", "INT"}) {
    SCOPED_TRACE(sig);
    EXPECT_GT(std::stol(s.read(std::string("known_local.") + sig)), 0) << "the pass's maps are saved";
    EXPECT_GT(std::stol(s.read(std::string("known_global.") + sig)), 0);
  }
}

TEST(AgentFaults, ASimulatorKilledMidPassAndBackTenSecondsLaterLosesNothing) {
  Scenario s("SimulatorRestart");
  auto r = s.run(R"SH(
start_sim --world "$WORLDS/office.world"
start_exploring alpha .
sleep 4
kill -KILL $SIM_PID; wait $SIM_PID 2>/dev/null || true
wait_for alpha.out "Done!" 15
mapscore --known map_global.ppm >known_first
sleep 10
start_sim --world "$WORLDS/office.world"
wait_for alpha.out "Global  map read." 30
wait_for alpha.err "CONTROLER: Run: actErratic" 10
sleep 2
stop_agent alpha
mapscore --known map_global.ppm >known_last
)SH",
                 120);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("alpha.err");
  EXPECT_NE(s.read("alpha.err").find("Lost connection to the physical robot!"), std::string::npos);
  EXPECT_GE(s.count("alpha.err", "Lost connection, will try again in a few seconds. . ."), 2);
  EXPECT_GT(std::stol(s.read("known_first")), 0);
  EXPECT_GE(std::stol(s.read("known_last")), std::stol(s.read("known_first")))
      << "the global map carries what the first pass saw";
  EXPECT_EQ(s.read("status"), "0\n");
}

}  // namespace
