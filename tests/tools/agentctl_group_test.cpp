// agentctl as a program, inside a private network namespace: watch decodes what the
// other commands put on the group; bad arguments end with status 2 and send nothing.
#include <gtest/gtest.h>

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

}  // namespace
