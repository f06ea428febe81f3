// agentctl as a program, inside a private network namespace: watch decodes what the
// other commands put on the group; bad arguments end with status 2 and send nothing; a
// recording of the group replays and maps to the live team map.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/e2e_scenario.h"

namespace {

TEST(AgentctlProgram, WatchDecodesCommandsAndLoadAndBadArgumentsSendNothing) {
  if (!testsupport::privateNetworkAvailable()) GTEST_SKIP() << "no private network namespace available";
  e2e::Scenario s("AgentctlProgram");
  const e2e::Result r = s.run(R"SH(
agentctl watch --seconds 3 >watch.out 2>watch.err &
watcher=$!
sleep 0.5
agentctl mode all 99 >sent.out
agentctl goal alpha 1500 -200 >>sent.out
agentctl load 2 1 >load.out
agentctl mode all -1 2>bad.err; echo "bad=$?" >status.out
agentctl j all 1 2 3 4 5 6 2>>bad.err; echo "j=$?" >>status.out
agentctl --help >help.out; echo "help=$?" >>status.out
printf 'junk\001' >/dev/udp/239.0.0.77/60001
wait $watcher
)SH",
                              60);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("watch.err");
  const std::string watched = s.read("watch.out");
  EXPECT_NE(watched.find("M to all mode 99"), std::string::npos) << watched;
  EXPECT_NE(watched.find("\nG to alpha goal 1500.000 -200.000 0.000\n"), std::string::npos)
      << "a line per message, starting with its type letter\n" << watched;
  EXPECT_NE(watched.find("P load-0001 pose"), std::string::npos) << watched;
  EXPECT_NE(watched.find("E load-0002 point"), std::string::npos) << watched;
  EXPECT_NE(watched.find("unreadable datagram of 5 bytes: \"junk\\x01\""), std::string::npos) << watched;
  EXPECT_NE(watched.find("total over"), std::string::npos) << watched;
  EXPECT_NE(watched.find("2 commands"), std::string::npos) << "the refused commands sent nothing\n" << watched;
  EXPECT_EQ(s.read("sent.out"), "sent: M all 99\nsent: G alpha 1500.000 -200.000 0.000\n");
  EXPECT_EQ(s.read("status.out"), "bad=2\nj=2\nhelp=0\n");
  const std::string help = s.read("help.out");
  EXPECT_NE(help.find("namespace"), std::string::npos) << help;
  EXPECT_NE(help.find("group 239.0.0.77:60001 (time-to-live 16)"), std::string::npos) << help;
  // Two agents, two cycles of 16 readings and a P, a D in the first.
  const std::string load = s.read("load.out");
  EXPECT_NE(load.find("sent 70 messages"), std::string::npos) << load;
  EXPECT_NE(load.find("64 E, 4 P, 2 D; 0 sends failed"), std::string::npos) << load;
}

TEST(AgentctlProgram, ARecordingReplayedOrMappedGivesTheLiveTeamMap) {
  if (!testsupport::privateNetworkAvailable()) GTEST_SKIP() << "no private network namespace available";
  e2e::Scenario s("AgentctlRecordReplay");
  const e2e::Result r = s.run(R"SH(
agentctl map --out live.ppm --every 1 >live.out 2>live.err &
observer=$!
agentctl record run.pcap >record.out 2>record.err &
recorder=$!
sleep 0.5
agentctl load 3 3 >load.out
send_msg "junk"
sleep 0.5
kill -INT $observer $recorder
wait $observer; echo "live=$?" >status
wait $recorder; echo "record=$?" >>status
agentctl map --from run.pcap --out from.ppm >from.out; echo "from=$?" >>status
agentctl map --out replayed.ppm --every 60 >replayed.out 2>&1 &
observer=$!
sleep 0.5
agentctl replay run.pcap --speed 4 >replay.out; echo "replay=$?" >>status
sleep 0.5
kill -TERM $observer; wait $observer; echo "replayed=$?" >>status
cmp live.ppm from.ppm && echo same >>status
cmp live.ppm replayed.ppm && echo same >>status
mapscore --known live.ppm >known
head -c -3 run.pcap >cut.pcap
agentctl map --from cut.pcap --out cut.ppm >cut.out 2>cut.err; echo "cut=$?" >>status
agentctl record gap.pcap >gap.out &
recorder=$!
sleep 0.3
send_msg "P gap 1 2 3"
sleep 1
send_msg "P gap 4 5 6"
sleep 0.2
kill -INT $recorder; wait $recorder
agentctl replay gap.pcap --speed 0.01 >gapped.out &
replayer=$!
sleep 0.5
started=$(date +%s%N)
kill -INT $replayer; wait $replayer; echo "interrupted=$?" >>status
echo $(( ($(date +%s%N) - started) / 1000000 )) >interrupt.ms
)SH",
                              60);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("live.err") << s.read("record.err");
  EXPECT_EQ(s.read("status"), "live=0\nrecord=0\nfrom=0\nreplay=0\nreplayed=0\nsame\nsame\ncut=0\ninterrupted=0\n");
  EXPECT_GT(std::stol(s.read("known")), 1000);
  const std::string live = s.read("live.out");
  EXPECT_NE(live.find("s: saved live.ppm, "), std::string::npos) << live;
  EXPECT_NE(live.find(" known cells, 3 peers | load-0001 "), std::string::npos) << live;

  // Every datagram heard, the junk included, as IPv4/UDP packets that tcpdump reads (run
  // here, outside the namespace, where it may change its user).
  const std::string recorded = s.read("record.out");
  const long datagrams = std::stol(recorded.substr(recorded.find("recorded ") + 9));
  EXPECT_EQ(s.read("replay.out").find("replayed " + std::to_string(datagrams) + " datagrams"), 0u)
      << s.read("replay.out");
  const std::string pcap = (s.dir() / "run.pcap").string(), dump = (s.dir() / "tcpdump.out").string();
  ASSERT_EQ(std::system(("tcpdump -n -r - <" + pcap + " >" + dump + " 2>&1").c_str()), 0) << s.read("tcpdump.out");
  EXPECT_EQ(s.count("tcpdump.out", "> 239.0.0.77.60001: UDP, length "), datagrams) << s.read("tcpdump.out");
  EXPECT_EQ(s.count("tcpdump.out", "UDP, length 5\n"), 1) << "the junk datagram";

  // A recording whose last record was cut gives every whole one and says where it ends;
  // a replay waiting through a long gap ends at once on SIGINT.
  EXPECT_EQ(s.read("cut.out").find("read " + std::to_string(datagrams - 1) + " datagrams"), 0u) << s.read("cut.out");
  EXPECT_NE(s.read("cut.err").find("cut.pcap: the file ends inside record " + std::to_string(datagrams)),
            std::string::npos) << s.read("cut.err");
  EXPECT_LT(std::stol(s.read("interrupt.ms")), 500) << s.read("gapped.out");
  EXPECT_EQ(s.read("gapped.out").find("replayed 1 datagram from gap.pcap"), 0u) << s.read("gapped.out");
}

}  // namespace
