// Two sites, each a network namespace with its own simulator, agents and bridge, joined
// only by a veth pair: the group carried between them on DDS.
#include <string>

#include <gtest/gtest.h>

#include "tests/support/e2e_scenario.h"

namespace {

int numberAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? -1 : std::stoi(text.substr(at + label.size()));
}

}  // namespace

// Each site's team map holds every robot of both sites; a command sent on one site is
// heard once on each, never carried back (no loop, no duplicate, also with a second
// bridge on site A, which stands by); a flood on site A is cut to the bound by A's bridge,
// with one line, and site B's group still carries A's traffic after it.
TEST(Bridge, TwoSitesShareOneGroup) {
  e2e::Scenario s("BridgeTwoSites");
  const e2e::Result r = s.run(std::string(". ") + MCAGENT_SOURCE_DIR + "/scripts/sites-lib\n" + R"SH(
trap 'stop_sites; cleanup' EXIT
export -f start_sim start_agent wait_for
make_site A; make_site B; link_sites A B 0
for site in A B; do
  mkdir -p $site
  in_site $site bash -c "cd $site && start_sim $WORLDS/office.world"
done
# A's robots take the office's first two start poses, B's its first too, in their own simulators.
in_site A bash -c 'cd A && start_agent alpha && sleep 0.5 && start_agent bravo'
in_site B bash -c 'cd B && start_agent charlie'
in_site A agentctl bridge --site A --interface A-B --rate 500 --seconds 20 >A/bridge.out 2>A/bridge.err &
# A second bridge on site A: one of the two stands by.
in_site A agentctl bridge --site A --interface A-B --rate 500 --seconds 20 >A/bridge2.out 2>A/bridge2.err &
in_site B agentctl bridge --site B --interface B-A --rate 500 --seconds 20 >B/bridge.out 2>B/bridge.err &
for site in A B; do
  in_site $site agentctl watch --seconds 18 >$site/watch.out 2>&1 &
  in_site $site agentctl map --out $site/team.map --seconds 18 >$site/map.out 2>&1 &
done
wait_for A/bridge.err "hearing site B" 20
wait_for B/bridge.err "hearing site A" 20
sleep 2
in_site A agentctl mode zulu 7
in_site B agentctl mode yankee 7
sleep 1
in_site A agentctl load 100 3 >A/load.out 2>&1
sleep 1
in_site A agentctl mode xray 7
wait_for A/map.out "peers" 30
wait_for B/map.out "peers" 30
wait_for A/bridge.out "latency" 30
wait_for B/bridge.out "latency" 30
)SH",
                                 120);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log");
  for (const char* site : {"A", "B"}) {
    const std::string map = s.read(std::string(site) + "/map.out");
    const std::string watch = s.read(std::string(site) + "/watch.out");
    SCOPED_TRACE(site);
    EXPECT_NE(map.find("| alpha "), std::string::npos) << map;
    EXPECT_NE(map.find("| bravo "), std::string::npos) << map;
    EXPECT_NE(map.find("| charlie "), std::string::npos) << map;
    for (const char* name : {"zulu", "yankee", "xray"}) {
      EXPECT_EQ(s.count(std::string(site) + "/watch.out", std::string("M to ") + name + " "), 1) << name;
    }
  }
  // The flood: 3200 datagrams a second for 3 s from one sender on A, cut to 500 a second.
  const std::string a = s.read("A/bridge.out"), b = s.read("B/bridge.out");
  EXPECT_EQ(s.count("A/bridge.err", "dropping datagrams from "), 1) << s.read("A/bridge.err");
  EXPECT_GT(numberAfter(a, "dropped "), 6000) << a;
  EXPECT_LT(numberAfter(b, "from other sites: received "), 3000) << b;
  EXPECT_EQ(numberAfter(b, "duplicates "), 0) << b;
  EXPECT_EQ(numberAfter(a, "duplicates "), 0) << a;
  EXPECT_EQ(s.count("A/bridge.err", "standing by") + s.count("A/bridge2.err", "standing by"), 1);
}
