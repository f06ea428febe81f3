// Frontier search and the choice of where to explore, on small drawn maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "map/map_cell.h"
#include "map/map_updates.h"
#include "map/occupancy_map.h"
#include "nav/plan/frontier_target.h"
#include "nav/plan/frontiers.h"
#include "nav/plan/map_window.h"

namespace {

// A map drawn in rows of characters, the first row at the top (highest y), x from 0 at
// the left: '#' obstacle, '.' free, ' ' unknown (as is all the map beyond the drawing);
// 'R' the robot, 'p' a teammate, 'x' free cells where the chosen target must lie.
struct Drawing {
  OccupancyMap map{MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM};
  ArPose robot;
  std::vector<ArPose> peers;
  std::vector<std::string> rows;

  explicit Drawing(std::vector<std::string> drawn) : rows(std::move(drawn)) {
    for (size_t r = 0; r < rows.size(); ++r) {
      const auto y = static_cast<int32_t>(rows.size() - 1 - r);
      for (size_t c = 0; c < rows[r].size(); ++c) {
        const auto x = static_cast<int32_t>(c);
        const char ch = rows[r][c];
        if (ch == ' ') continue;
        map.cellAt(x, y) = ch == '#' ? MapCell{0x00FF} : MapCell{0};
        const ArPose centre(cellCentre(x, map.res), cellCentre(y, map.res));
        if (ch == 'R') robot = centre;
        if (ch == 'p') peers.push_back(centre);
      }
    }
  }

  // The whole map, as the planners read it.
  MapWindow window() const {
    MapWindow w;
    w.copyFrom(map);
    return w;
  }

  char at(const ArPose& p) const {
    const int32_t x = map.toCell(p.getX()), y = map.toCell(p.getY());
    const auto r = static_cast<int32_t>(rows.size()) - 1 - y;
    if (x < 0 || r < 0 || r >= static_cast<int32_t>(rows.size()) || x >= static_cast<int32_t>(rows[r].size())) return '?';
    return rows[r][x];
  }
};

// A robot one cell wide: the cells next to an obstacle are barred, so that three free
// cells make a passage. Gaps too narrow for it count only in the rows that say so.
TargetWeights smallWorld() {
  TargetWeights w;
  w.travel.solidRadius = 0;
  w.travel.bodyRadius = 150;
  w.travel.weakRadius = 150;
  w.travel.inflation = 300;
  return w;
}

size_t cellCount(const std::vector<FrontierRegion>& regions) {
  size_t n = 0;
  for (const FrontierRegion& r : regions) n += r.cells.size();
  return n;
}

TEST(FrontierSearch, FreeCellsNextToUnknownSpaceAreFrontiersButHolesAndSliversAreNot) {
  struct Case {
    const char* what;
    std::vector<std::string> rows;
    size_t regions, cells;
  };
  const Case cases[] = {
      {"an opening in the wall",
       {"##########",
        ".........#",
        ".........#",
        ".........#",
        ".........#",
        ".........#",
        "##########"},
       1, 5},
      {"unknown cells enclosed by what was seen: gaps between readings",
       {"##########",
        "#........#",
        "#..  ....#",
        "#..  ... #",
        "#........#",
        "##########"},
       0, 0},
      {"an unseen area large enough to explore inside a known room",
       {"###########",
        "#.........#",
        "#..     ..#",
        "#..     ..#",
        "#..     ..#",
        "#..     ..#",
        "#..     ..#",
        "#.........#",
        "###########"},
       1, 20},
      {"a single free cell poking through a wall",
       {"######",
        "#.....",
        "#....#",
        "######"},
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Drawing d(c.rows);
    const std::vector<FrontierRegion> regions = findFrontiers(d.window());
    EXPECT_EQ(regions.size(), c.regions);
    EXPECT_EQ(cellCount(regions), c.cells);
  }
}

TEST(FrontierChoice, PathCostAndTeammatesDecideWhereToGo) {
  struct Case {
    const char* what;
    std::vector<std::string> rows;
    double solidRadius = 0;  // 150: the one-cell robot never enters a cell beside a confirmed obstacle
  };
  const Case cases[] = {
      {"a frontier behind a wall is farther by path than the one farther by line",
       {"#########################",
        "#.......................x",
        "#.......................x",
        "#...........R...........x",
        "#.......................x",
        "#.......................x",
        "#...#####################",
        "#.......................#",
        "#.......................#",
        "#.......................#",
        "############     ########"}},
      {"alone, the nearer end of the corridor",
       {"###################",
        "x.................." ,
        "x..................",
        "x.......R..........",
        "x..................",
        "x..................",
        "###################"}},
      {"the end a teammate is closer to is left to it",
       {"###################",
        "..................x",
        "..................x",
        "...p....R.........x",
        "..................x",
        "..................x",
        "###################"}},
      {"a teammate close by line but walled off does not claim the nearer end",
       {"########           ",
        "#.....#            ",
        "#.....#            ",
        "#..p..#            ",
        "#.....#            ",
        "#.....#            ",
        "###################",
        "x..................",
        "x..................",
        "x.......R..........",
        "x..................",
        "x..................",
        "###################"}},
      {"a doorway seen in patches: the unknown cell in it does not close it",
       {"###########",
        "#.........#",
        "#...R.....#",
        "#.........#",
        "#### ######",
        "   ...     ",
        "   .x.     "}},
      {"the frontier lies behind the gap between two obstacle corners that touch",
       {"##########",
        "#........#",
        "#...R....#",
        "#........#",
        "#####.####",
        "######.###",
        "   .....  "}},
      {"the only frontier lies past a gap in the wall narrower than the robot",
       {"##########",
        "#........#",
        "#...R....#",
        "#........#",
        "#####.####",
        "  .......  ",
        "  .......  "},
       150},
      {"nothing left to explore",
       {"##########",
        "#........#",
        "#...R....#",
        "#........#",
        "##########"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Drawing d(c.rows);
    TargetWeights weights = smallWorld();
    weights.travel.solidRadius = c.solidRadius;
    FrontierPlanner planner(weights);
    const TargetChoice choice = planner.choose(d.window(), d.robot, d.peers, 0);
    const bool expectTarget = std::any_of(c.rows.begin(), c.rows.end(), [](const std::string& r) {
      return r.find('x') != std::string::npos;
    });
    ASSERT_EQ(choice.found, expectTarget);
    if (!expectTarget) continue;
    EXPECT_EQ(d.at(choice.target), 'x') << choice.target.getX() << ", " << choice.target.getY();
    // The path runs from the robot's cell to the target over cells the robot may use.
    ASSERT_FALSE(choice.path.empty());
    EXPECT_LT(choice.path.front().findDistanceTo(d.robot), 1);
    EXPECT_LT(choice.path.back().findDistanceTo(choice.target), 1);
    for (const ArPose& p : choice.path) EXPECT_NE(d.at(p), '#');

    // Poses from far off grow the map to its bound: the plan over the region observed
    // round the robot is the same, and reads only the drawing and the cells round it.
    for (double x : {-MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM}) {
      for (double y : {-MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM}) markPeerPose(d.map, ArPose(x, y));
    }
    const int32_t rx = d.map.toCell(d.robot.getX()), ry = d.map.toCell(d.robot.getY());
    CellBox observed{rx, ry, rx, ry};
    growToObserved(d.map, observed, 10);
    EXPECT_LE(observed.cells(), (c.rows.front().size() + 20) * (c.rows.size() + 20));
    MapWindow window;
    window.copyFrom(d.map, observed);
    FrontierPlanner again(weights);
    const TargetChoice far = again.choose(window, d.robot, d.peers, 0);
    ASSERT_TRUE(far.found);
    EXPECT_EQ(far.target.findDistanceTo(choice.target), 0);
    EXPECT_EQ(far.path.size(), choice.path.size());
  }
}

// A doorway so narrowed by stray echoes that the robot could stand nowhere in it is
// still a target: driving there, the robot sees through it or stops for what is there.
TEST(FrontierChoice, ADoorwayNarrowedByEchoesIsStillATarget) {
  Drawing d({"#########",
             "#...R...#",
             "#.......#",
             "#.......#",
             "#.......#",
             "##.....##",
             "         "});
  TargetWeights weights = smallWorld();
  weights.travel.bodyRadius = weights.travel.weakRadius = 350;  // every doorway cell is barred
  FrontierPlanner planner(weights);
  const TargetChoice choice = planner.choose(d.window(), d.robot, {}, 0);
  ASSERT_TRUE(choice.found);
  EXPECT_EQ(d.map.toCell(choice.target.getY()), 1);
  EXPECT_EQ(d.at(choice.target), '.');
}

// The target is walled off after it was chosen: it is blacklisted, and stays so for a
// while even when the wall turns out to be a phantom and is gone again.
TEST(FrontierChoice, AnEnclosedTargetIsBlacklistedForAWhile) {
  Drawing d({"###################",
             "...................",
             "...................",
             "......R............",
             "...................",
             "...................",
             "###################"});
  TargetWeights weights = smallWorld();
  weights.blacklistSeconds = 60;
  FrontierPlanner planner(weights);
  const TargetChoice first = planner.choose(d.window(), d.robot, {}, 0);
  ASSERT_TRUE(first.found);
  EXPECT_EQ(d.map.toCell(first.target.getX()), 0) << "the nearer, left end";

  for (int32_t y = 1; y <= 5; ++y) d.map.cellAt(3, y) = 0x00FF;
  const TargetChoice walled = planner.choose(d.window(), d.robot, {}, 10);
  EXPECT_TRUE(walled.setAside);
  EXPECT_EQ(planner.blacklist().size(10), 1u);
  ASSERT_TRUE(walled.found);
  EXPECT_EQ(d.map.toCell(walled.target.getX()), 18) << "the right end";

  for (int32_t y = 1; y <= 5; ++y) d.map.cellAt(3, y) = 0;
  EXPECT_EQ(d.map.toCell(planner.choose(d.window(), d.robot, {}, 20).target.getX()), 18);
  EXPECT_EQ(d.map.toCell(planner.choose(d.window(), d.robot, {}, 70).target.getX()), 18) << "kept while it is current";
  planner.giveUpTarget(71);
  const TargetChoice later = planner.choose(d.window(), d.robot, {}, 72);
  ASSERT_TRUE(later.found);
  EXPECT_EQ(d.map.toCell(later.target.getX()), 0) << "the left end is free again after 60 s";

  planner.giveUpTarget(73);  // the left end fails again: set aside for good
  const TargetChoice none = planner.choose(d.window(), d.robot, {}, 74);
  EXPECT_FALSE(none.found);
  EXPECT_EQ(none.setAsideOnly, 2u) << "both ends are still there to explore, only set aside";
  FrontierPlanner next(weights);  // the next run of the behaviour, after a stall
  next.keepSetAside(planner.blacklist());
  EXPECT_FALSE(next.choose(d.window(), d.robot, {}, 74).found) << "what was set aside is kept";
  next.forgetSetAside();
  EXPECT_TRUE(next.choose(d.window(), d.robot, {}, 75).found) << "forgiven, the ends may be targets again";
  EXPECT_TRUE(planner.blacklist().expiring(74)) << "the right end will come back";
  EXPECT_EQ(d.map.toCell(planner.choose(d.window(), d.robot, {}, 200).target.getX()), 18);
  EXPECT_FALSE(planner.blacklist().expiring(200)) << "nothing more will come back";
}

// Two doorways too narrow to stand in, one after the other: the longest run of barred
// cells on the way is one doorway's, so the far room is not taken for a gap behind
// furniture (a long run, which the choice of target puts last).
TEST(FrontierChoice, BarredRunsCountOnlyCellsInARow) {
  Drawing d({"#########",
             "#.......#",
             "#...R...#",
             "#.......#",
             "####.####",
             "#.......#",
             "#.......#",
             "#.......#",
             "####.####",
             "#.......#",
             "#.......#",
             "#.......#",
             "#########"});
  TravelGrid grid(smallWorld().travel);
  grid.read(d.window());
  TravelCosts costs;
  ASSERT_TRUE(costs.compute(grid, d.robot));
  EXPECT_EQ(costs.barredRun(4, 10), 0);
  EXPECT_EQ(costs.barredRun(4, 6), 3) << "the cells before, in and after the first doorway";
  EXPECT_EQ(costs.barredRun(4, 2), 3);
}

}  // namespace
