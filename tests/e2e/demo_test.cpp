// The demo as a new user runs it: a team in the world frame watched through the live
// team map, and what it leaves behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

#include "tests/support/e2e_scenario.h"

namespace {

using e2e::Scenario;

// The first progress line: "demo: T s: team map coverage C (F of R reachable free cells),
// K known cells of 0.01 m², alpha (X, Y, TH°), ...", or "" when there is none.
std::string firstProgressLine(const std::string& out) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" s: team map coverage ") != std::string::npos) return line;
  }
  return "";
}

// The position the line gives for a robot, "NAME (X, Y, TH°)"; false when it has none.
bool positionIn(const std::string& line, const std::string& name, double& x, double& y) {
  const size_t at = line.find(", " + name + " (");
  return at != std::string::npos && std::sscanf(line.c_str() + at + name.size() + 4, "%lf, %lf,", &x, &y) == 2;
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
  const std::string progress = firstProgressLine(out);
  double coverage = -1;
  int seconds, free, reachable, known;
  ASSERT_EQ(std::sscanf(progress.c_str(),
                        "demo: %d s: team map coverage %lf (%d of %d reachable free cells), %d known cells of 0.01 m²",
                        &seconds, &coverage, &free, &reachable, &known),
            5)
      << out;
  EXPECT_GT(coverage, 0);
  EXPECT_GT(known, free);
  std::istringstream starts(s.read("run/starts.txt"));
  int robots = 0;
  for (std::string name; starts >> name;) {
    double startX, startY, th, x, y;
    starts >> startX >> startY >> th;
    ++robots;
    ASSERT_TRUE(positionIn(progress, name, x, y)) << name << " missing in\n" << progress;
    EXPECT_LT(std::hypot(x - startX, y - startY), 3000)
        << name << " reported far from its start pose (" << startX << ", " << startY << ")\n" << progress;
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
