// The demo as a new user runs it: a team in the world frame watched through the live
// team map, and what it leaves behind.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/e2e_scenario.h"

namespace {

using e2e::Scenario;

struct Position {
  double x, y;
};

// Each robot's position in the first progress line: "..., alpha (3495, 7500, 0°), ...".
std::map<std::string, Position> firstProgressPositions(const std::string& out) {
  std::map<std::string, Position> positions;
  std::smatch line;
  if (!std::regex_search(out, line, std::regex("demo: [0-9]+ s: team map coverage .*"))) return positions;
  static const std::regex robot("([a-z]+) \\((-?[0-9]+), (-?[0-9]+), -?[0-9]+°\\)");
  const std::string text = line.str();
  for (std::sregex_iterator it(text.begin(), text.end(), robot), end; it != end; ++it) {
    positions[(*it)[1]] = {std::stod((*it)[2]), std::stod((*it)[3])};
  }
  return positions;
}

TEST(Demo, ATeamInTheWorldFrameIsWatchedLiveAndLeavesMapsScoresPlotAndRecording) {
  Scenario s("Demo");
  auto r = s.run(std::string("MCAGENT_BUILD_DIR=") + MCAGENT_BIN_DIR + " " + MCAGENT_SOURCE_DIR +
                     "/scripts/demo --seconds 12 --seed 3 --out run >demo.out 2>demo.err; echo $? >status",
                 150);
  ASSERT_EQ(r.status, 0) << s.read("scenario.log");
  const std::string out = s.read("demo.out");
  ASSERT_EQ(s.read("status"), "0\n") << out << s.read("demo.err");

  // From the first progress line on, live numbers: coverage with its cells, known cells
  // with their size, and every robot near its own start pose in the one world frame.
  EXPECT_TRUE(std::regex_search(
      out, std::regex("\ndemo: [0-9]+ s: team map coverage 0\\.[0-9]{3} \\([0-9]+ of [0-9]+ reachable free "
                      "cells\\), [0-9]+ known cells of 0\\.01 m²")))
      << out;
  const auto positions = firstProgressPositions(out);
  std::istringstream starts(s.read("run/starts.txt"));
  int robots = 0;
  for (std::string name; starts >> name;) {
    double x, y, th;
    starts >> x >> y >> th;
    ++robots;
    ASSERT_TRUE(positions.count(name)) << name << " missing in\n" << out;
    EXPECT_LT(std::hypot(positions.at(name).x - x, positions.at(name).y - y), 3000)
        << name << " reported far from its start pose (" << x << ", " << y << ")\n" << out;
  }
  EXPECT_EQ(robots, 3);

  EXPECT_NE(out.find("  team map           coverage 0."), std::string::npos) << out;
  EXPECT_NE(out.find("demo: distance driven (from the recorded poses): alpha "), std::string::npos) << out;
  for (const char* file : {"run/team.png", "run/truth.png", "run/coverage.png", "run/alpha/map_global.png",
                           "run/charlie/map_local.png"}) {
    EXPECT_TRUE(s.exists(file)) << file;
  }
  EXPECT_GE(s.count("run/coverage.tsv", "\n"), 3) << "a header and a sample per progress line";
  EXPECT_GT(s.read("run/group.pcap").size(), 10000u) << "the recording of the group";
}

}  // namespace
