// The live map page in a real browser: headless Chromium, inside the scenario's private
// network, loads the page of agentctl view (on a port the kernel picks) while two agents
// explore in robosim.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/e2e_scenario.h"

namespace {

constexpr int CHROMIUM_CANNOT_START = 77;

TEST(ViewPage, ShowsTheRobotsMovingRefusesCommandsWithoutTheTokenAndSendsAClickedGoal) {
  if (!testsupport::privateNetworkAvailable()) GTEST_SKIP() << "no private network namespace available";
  e2e::Scenario s("ViewPage");
  const e2e::Result r = s.run(std::string(R"SH(
start_sim --world "$WORLDS/office.world" --ghosts
agentctl view --port 0 >view.out 2>view.err &
wait_for view.out "http://" 10
agentctl watch >watch.out 2>&1 &
start_exploring alpha
start_exploring bravo
url=$(grep -o 'http://[^ ]*' view.out)
node ")SH") + MCAGENT_SOURCE_DIR + R"SH(/tests/view/view_probe.js" check "$url" alpha bravo --screenshot page.png >probe.out 2>probe.err
echo "probe=$?" >status
sleep 1
)SH",
                              150);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log") << s.read("view.err");
  const std::string status = s.read("status");
  if (status == "probe=" + std::to_string(CHROMIUM_CANNOT_START) + "\n") {
    GTEST_SKIP() << "Chromium cannot start here, the page was not tested in a browser:\n" << s.read("probe.err");
  }
  EXPECT_EQ(status, "probe=0\n") << s.read("probe.out") << s.read("probe.err");
  EXPECT_TRUE(s.exists("page.png"));
  const std::string watched = s.read("watch.out");
  EXPECT_EQ(s.count("watch.out", "M to all"), 0) << "a refused command was sent\n" << watched;
  EXPECT_EQ(s.count("watch.out", "G to alpha goal"), 1) << watched;
  EXPECT_EQ(s.count("watch.out", "M to alpha mode 3"), 1) << watched;
}

}  // namespace
