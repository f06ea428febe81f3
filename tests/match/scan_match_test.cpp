// The scan matcher and the correction policy on hand-made worlds: sonar echoes taken by
// the simulator along a short drive, placed as a drifted odometry would place them,
// matched against the world's ground-truth map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "map/map_updates.h"
#include "nav/match/pose_correction.h"
#include "nav/match/scan_match.h"
#include "sim/simulation.h"
#include "sim/truth.h"

namespace {

// A 6 m x 4 m room with a cabinet in one corner and a table off centre.
constexpr char ROOM[] =
    "box 0 0 6000 4000\nbox 0 3000 1200 4000\nbox 3500 1200 4300 1800\n";
// A corridor 3 m wide and 40 m long, nothing along it.
constexpr char CORRIDOR[] = "wall -20000 0 20000 0\nwall -20000 3000 20000 3000\n";

sim::World worldOf(const char* text) {
  sim::World world;
  std::string error;
  EXPECT_TRUE(sim::parseWorld(text, world, error)) << error;
  return world;
}

struct Drive {
  std::vector<ScanPoint> echoes;
  ArPose end;
};

// Sixteen sonar firings at pose, echoes up to 4000 mm, as the agent keeps them.
void listen(sim::Simulation& s, sim::Robot& r, const ArPose& pose, Drive& d) {
  s.placeRobot(r, pose.getX(), pose.getY(), pose.getTh());
  for (int disc = 0; disc < sim::kSonarCount; ++disc) {
    const double range = s.sonarRange(r, disc);
    if (range > 4000) continue;
    const sim::Transducer& t = sim::kTransducers[disc];
    const double lx = t.x + range * ArMath::cos(t.headingDeg), ly = t.y + range * ArMath::sin(t.headingDeg);
    const double c = ArMath::cos(pose.getTh()), sn = ArMath::sin(pose.getTh());
    d.echoes.push_back({pose.getX() + lx * c - ly * sn, pose.getY() + lx * sn + ly * c, pose.getX(), pose.getY()});
  }
  d.end = pose;
}

// What the sonar hears along 800 mm of a straight drive from start, at five poses.
Drive driveAndListen(const sim::World& world, const ArPose& start) {
  sim::Simulation s(world, {});
  sim::Robot& r = s.addRobot();
  Drive d;
  const double c = ArMath::cos(start.getTh()), sn = ArMath::sin(start.getTh());
  for (int i = 0; i < 5; ++i) listen(s, r, ArPose(start.getX() + i * 200 * c, start.getY() + i * 200 * sn, start.getTh()), d);
  return d;
}

// The map an agent builds over a survey of the world (every pose turned four ways), its
// echoes marked as its receiver marks its own.
MapWindow surveyedMap(const sim::World& world, const std::vector<ArPose>& survey, const ArPose& around) {
  sim::Simulation s(world, {});
  sim::Robot& r = s.addRobot();
  Drive d;
  for (const ArPose& p : survey) {
    for (int turn = 0; turn < 360; turn += 90) listen(s, r, ArPose(p.getX(), p.getY(), p.getTh() + turn), d);
  }
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  for (const ScanPoint& e : d.echoes) {
    const ArPose from(e.fromX, e.fromY);
    markPose(map, from);
    markReading(map, ArPose(e.x, e.y), from);
  }
  return copyMapWindow(map, around.getX(), around.getY(), 6000);
}

// The drive as odometry that has drifted by (dx, dy, dth) about its last pose reports it.
Drive drifted(Drive d, double dx, double dy, double dth) {
  for (ScanPoint& p : d.echoes) {
    const ArPose at = correctedPose(ArPose(p.x, p.y), d.end, dx, dy, dth);
    const ArPose from = correctedPose(ArPose(p.fromX, p.fromY), d.end, dx, dy, dth);
    p = {at.getX(), at.getY(), from.getX(), from.getY()};
  }
  d.end = correctedPose(d.end, d.end, dx, dy, dth);
  return d;
}

TEST(ScanMatch, RecoversAKnownOffsetAndLeavesAlongACorridorWhatItCannotTell) {
  const std::vector<ArPose> roomSurvey = {{1000, 1000, 0}, {2500, 1000, 45}, {4500, 800, 0}, {5200, 2500, 90},
                                          {3000, 2600, 0}, {1800, 2200, 30}};
  std::vector<ArPose> corridorSurvey;
  for (int x = -12000; x <= 12000; x += 1000) corridorSurvey.push_back(ArPose(x, 1500, 0));
  struct Case {
    const char* what;
    const char* world;
    const std::vector<ArPose>& survey;
    ArPose start;
    double dx, dy, dth;          // the odometry's drift
    bool alongAxisUndetermined;  // the shift along x cannot be told
  };
  const Case cases[] = {
      {"room, no drift", ROOM, roomSurvey, {1500, 1000, 30}, 0, 0, 0, false},
      {"room, shifted and turned", ROOM, roomSurvey, {1500, 1000, 30}, 150, -100, 3, false},
      {"room, turned the other way", ROOM, roomSurvey, {4800, 2600, -150}, -80, 120, -4, false},
      {"corridor, drifted along its axis", CORRIDOR, corridorSurvey, {0, 1500, 0}, 300, 0, 0, true},
      {"corridor, drifted across it and turned", CORRIDOR, corridorSurvey, {0, 1200, 0}, 0, 150, 2, true},
  };
  for (const Case& c : cases) {
    const sim::World world = worldOf(c.world);
    const Drive truth = driveAndListen(world, c.start);
    const Drive odometry = drifted(truth, c.dx, c.dy, c.dth);
    const MapWindow map = surveyedMap(world, c.survey, odometry.end);
    const MatchResult m = matchScan(odometry.echoes, odometry.end, map);
    const ArPose corrected = correctedPose(odometry.end, odometry.end, m.dx, m.dy, m.dth);
    PoseDoubt doubt{300, 5};
    const CorrectionStep step = decideCorrection(m, map, odometry.end, doubt);
    EXPECT_NEAR(corrected.getTh(), truth.end.getTh(), 1) << c.what;
    EXPECT_NEAR(corrected.getY(), truth.end.getY(), 60) << c.what;
    EXPECT_EQ(step.verdict, CorrectionVerdict::Applied) << c.what;
    EXPECT_EQ(step.partial, c.alongAxisUndetermined) << c.what;
    if (c.alongAxisUndetermined) {
      EXPECT_NEAR(step.dx, 0, 10) << c.what << ": the corridor cannot tell where along it the robot is";
    } else {
      EXPECT_NEAR(corrected.getX(), truth.end.getX(), 60) << c.what;
    }
  }
}

// The policy on its own: how much of a match it takes, what it refuses, how far one step
// may go.
TEST(PoseCorrection, TakesWhatTheDoubtsGiveRefusesWhatIsUndeterminedOrCrossesAWall) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  sim::drawTruthMap(worldOf("wall 1000 -2000 1000 2000\n"), {0, 0, 0}, map);
  const MapWindow window = copyMapWindow(map, 0, 0, 3000);
  auto match = [](double dx, double dth, double sigmaMm, double sigmaTh, int support) {
    MatchResult m;
    m.scored = true;
    m.dx = dx;
    m.dth = dth;
    m.covXX = m.covYY = sigmaMm * sigmaMm;
    m.sigmaTh = sigmaTh;
    m.points = 60;
    m.support = support;
    std::fill(std::begin(m.facing), std::end(m.facing), support / FACING_SECTORS);
    return m;
  };
  auto narrow = [](MatchResult m) {
    for (int i = 4; i < FACING_SECTORS; ++i) m.facing[i] = 0;
    return m;
  };
  auto share = [](double prior, double measured) { return prior * prior / (prior * prior + measured * measured); };
  struct Case {
    const char* what;
    MatchResult m;
    PoseDoubt doubt;
    ArPose robot;
    CorrectionVerdict verdict;
    double stepX, stepTh;
  };
  const Case cases[] = {
      {"a firm match on a doubtful pose: most of it", match(40, 1, 10, 0.3, 40), {100, 3}, {0, 0},
       CorrectionVerdict::Applied, 40 * share(100, 10), 1 * share(3, 0.3)},
      {"a weak match on a good pose: a little", match(15, 0.5, 40, 1.2, 40), {10, 0.3}, {0, 0},
       CorrectionVerdict::Applied, 15 * share(10, 40), 0.5 * share(0.3, 1.2)},
      {"a large one, bounded", match(400, 6, 10, 0.2, 40), {1000, 10}, {0, 0}, CorrectionVerdict::Applied, 150, 3},
      {"too few echoes near anything mapped", match(40, 0, 10, 0.2, 5), {100, 3}, {0, 0},
       CorrectionVerdict::TooFewEchoes, 0, 0},
      {"echoes from a few ways only", narrow(match(40, 1, 10, 0.2, 40)), {100, 3}, {0, 0},
       CorrectionVerdict::TooFewEchoes, 0, 0},
      {"the turn undetermined: the shift alone", match(40, 1, 10, 2, 40), {100, 3}, {0, 0},
       CorrectionVerdict::Applied, 40 * share(100, 10), 0},
      {"the shift undetermined everywhere: the turn alone", match(40, 1, 200, 0.2, 40), {100, 3}, {0, 0},
       CorrectionVerdict::Applied, 0, 1 * share(3, 0.2)},
      {"nothing determined", match(40, 1, 200, 2, 40), {100, 3}, {0, 0}, CorrectionVerdict::Ambiguous, 0, 0},
      {"a shift odometry cannot have drifted by: the turn alone", match(300, 1, 10, 0.2, 40), {100, 3}, {0, 0},
       CorrectionVerdict::Applied, 0, 1 * share(3, 0.2)},
      {"a turn odometry cannot have drifted by", match(40, 2, 10, 0.3, 40), {100, 0.5}, {0, 0},
       CorrectionVerdict::Contradicted, 0, 0},
      {"through the wall", match(200, 0, 10, 0.2, 40), {1000, 3}, {950, 0}, CorrectionVerdict::AcrossWall, 0, 0},
  };
  for (const Case& c : cases) {
    PoseDoubt doubt = c.doubt;
    const CorrectionStep step = decideCorrection(c.m, window, c.robot, doubt);
    EXPECT_EQ(step.verdict, c.verdict) << c.what;
    EXPECT_NEAR(step.dx, c.stepX, 1e-6) << c.what;
    EXPECT_NEAR(step.dth, c.stepTh, 1e-6) << c.what;
    if (c.verdict == CorrectionVerdict::Applied) {
      EXPECT_LT(doubt.deg + doubt.mm, c.doubt.deg + c.doubt.mm) << c.what << ": a correction lessens the doubt";
    }
  }
}

// Matches that scatter about no correction move nothing; ones that agree on one, over
// echo windows that share no echo, heard from different places and firmly, pass its mean
// on, and a step taken leaves only what is still owed.
TEST(PoseCorrection, TheSmootherPassesOnlyWhatTheMatchesAgreeOn) {
  struct Case {
    const char* what;
    double shift;                             // every match's shift along x
    double turns[MatchSmoother::BLOCKS];      // each block's matches' mean turn
    double gain, apartMm;                     // every match's gain, how far the blocks lie apart
    double dx, dth;                           // passed on after the last
    bool oneWay = false;                      // every echo from beams facing away from the shift
  };
  const Case cases[] = {
      {"scattered about none", 0, {1.2, -1.2, 1.2, -1.2}, 5, 500, 0, 0},
      {"a drift every window sees", 150, {2, 2, 2, 2}, 5, 500, 150, 2},
      {"one window's echoes agreeing among themselves", 0, {0.1, -0.2, 0.3, 2}, 5, 500, 0, 0},
      {"the windows agreeing on a shift only", 150, {1.2, -1.2, 1.2, -1.2}, 5, 500, 150, 0},
      {"a small turn and shift every window agrees on, as an older map's crudeness gives", 120, {1.2, 1.2, 1.2, 1.2},
       5, 500, 0, 0},
      {"the robot standing still", 150, {2, 2, 2, 2}, 5, 0, 0, 0},
      {"barely likelier than where odometry put the echoes", 150, {2, 2, 2, 2}, 1, 500, 0, 0},
      {"the shift heard from one way only, as a bias of the ranges is", 150, {2, 2, 2, 2}, 5, 500, 0, 2, true},
  };
  auto feed = [](MatchSmoother& smoother, const Case& c) {
    MatchResult m;
    for (int i = 0; i < MatchSmoother::KEPT; ++i) {
      MatchResult match;
      match.scored = true;
      match.dx = c.shift;
      match.dth = c.turns[i / MatchSmoother::BLOCK] + (i % 2 ? 0.2 : -0.2);
      match.gain = c.gain;
      match.facing[FACING_SECTORS / 2] = 5;  // beams facing -x
      if (!c.oneWay) match.facing[0] = 5;     // and +x
      m = smoother.smoothed(match, ArPose(c.apartMm * i / MatchSmoother::BLOCK, 0));
    }
    return m;
  };
  for (const Case& c : cases) {
    MatchSmoother smoother;
    const MatchResult m = feed(smoother, c);
    EXPECT_NEAR(m.dx, c.dx, 1e-9) << c.what;
    EXPECT_NEAR(m.dth, c.dth, 1e-9) << c.what;
    // Kept as it is, the doubt leaves room for the correction a drifted pose will need:
    // matches that disagree say nothing of the pose.
    MatchSmoother keeping(true);
    PoseDoubt doubt{300, 5};
    decideCorrection(feed(keeping, c), MapWindow{}, ArPose(), doubt);
    if (c.dth == 0 && c.turns[0] != c.turns[1]) {
      EXPECT_EQ(doubt.deg, 5) << c.what;
    }
  }
  MatchSmoother smoother;
  feed(smoother, cases[1]);
  CorrectionStep step;
  step.dx = 60;
  step.dth = 1.5;
  smoother.stepped(step);
  MatchResult match;
  match.scored = true;
  match.dx = 90;
  match.dth = 0.5;
  match.gain = 5;
  match.facing[0] = match.facing[FACING_SECTORS / 2] = 5;
  const MatchResult m = smoother.smoothed(match, ArPose(2000, 0));
  EXPECT_EQ(m.dx, 0) << "90 mm still owed: within the dead band";
  EXPECT_EQ(m.dth, 0);
}

// The calibration learns a drive's systematic heading error from the turns its
// corrections take, the share of every turn apart from the angle per metre, and a drive
// without one keeps its odometry.
TEST(PoseCorrection, TheCalibrationLearnsTheHeadingErrorOfTurningAndOfDriving) {
  struct Case {
    const char* what;
    double share, perMetre;  // the drive's error
  };
  const Case cases[] = {{"a wheelbase 0.8 % wide", -0.008, 0}, {"wheels that curve", 0, 0.25}, {"no error", 0, 0}};
  struct Motion {
    double turnDeg, mm;
  };
  const std::vector<Motion> stretches[] = {{{90, 0}, {90, 0}, {-90, 500}, {0, 3000}}, {{-90, 0}, {0, 1000}}};
  for (const Case& c : cases) {
    HeadingCalibration calibration;
    for (int i = 0; i < 40; ++i) {
      double error = 0;  // what odometry made, less what the calibration took off
      for (const Motion& m : stretches[i % 2]) {
        error += c.share * m.turnDeg + c.perMetre * m.mm / 1000 - calibration.expected(m.turnDeg, m.mm);
      }
      calibration.corrected(error);
    }
    EXPECT_NEAR(calibration.share(), c.share, 0.0005) << c.what;
    EXPECT_NEAR(calibration.degPerMetre(), c.perMetre, 0.02) << c.what;
  }
  HeadingCalibration once;
  once.expected(200, 0);
  once.corrected(2);
  EXPECT_EQ(once.expected(90, 0), 0) << "one correction, as likely a matching error, sets no error";
}

}  // namespace
