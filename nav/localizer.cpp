#include "nav/localizer.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <vector>

#include "aria/ar_robot.h"
#include "aria/ar_range_device.h"
#include "aria/ar_transform.h"
#include "aria/ar_util.h"
#include "base/console.h"
#include "map/map_updates.h"
#include "nav/match/pose_correction.h"
#include "nav/match/scan_match.h"
#include "state/shared_state.h"

namespace {

constexpr unsigned CYCLE_MS = 500;
// The echoes of this long are matched at once. Older echoes, once matched, go into the
// localizer's own map of them, against which the newer ones are matched.
constexpr int64_t WINDOW_MS = 2000;
// The global map is copied this long before the echoes matched against it: by then it
// holds none of them (each reading reaches it through the group within a second).
constexpr int64_t GLOBAL_LAG_MS = WINDOW_MS + 1000;
// The maps are matched this far around the robot: the longest echo mapped, the way
// driven in a window and the search, with room to spare.
constexpr double REACH_MM = 7000;
// The SIP cycle: an echo was heard at most this long before the SIP that brought it.
// Echoes heard while the robot turned more than FASTEST_TURN_DEG in a cycle are not used.
constexpr int64_t SIP_CYCLE_MS = 100;
constexpr double FASTEST_TURN_DEG = 8;
// With a lag, the robot's own map is matched as it stood that long ago where it knew the
// cells then: the pose drifts slowly, and against echoes of the last seconds, placed with
// much the same drift, a match finds only the drift of those seconds, and the smoother
// keeps the pose's doubt where its blocks disagree, so that the larger drift found is not
// refused as beyond odometry's. The older map is cruder (later readings refine it), and
// matches against it err a little more where nothing drifted. Set once before the
// thread starts.
int64_t ownLagMs = 0;

// A step this large gets a line on standard error.
constexpr double LARGE_STEP_MM = 50;
constexpr double LARGE_STEP_DEG = 1;

struct Snapshot {
  int64_t takenMs;
  MapWindow map;
};

struct Echo {
  ScanPoint point;
  int64_t atMs;
};

// What the corrections did since the process started.
struct Totals {
  long applied = 0, large = 0, partial = 0, fewEchoes = 0, ambiguous = 0, contradicted = 0, acrossWall = 0;
  double shiftedMm = 0, turnedDeg = 0;
  double calibratedDeg = 0;  // turned by the heading calibration
  ArTransform total;  // every correction, composed
};

// The localizer's state, kept from pass to pass (the robot's frame is): only the localizer
// thread touches it, one pass's thread at a time.
struct Localizer {
  // The echoes already matched, placed as corrected: scan-to-map matching against the
  // robot's own recent past, without the lag of the group.
  OccupancyMap ownEchoes{MAP_RES_MM, MAP_ROBOT_RADIUS_MM, 0};
  int64_t mappedUpTo = 0;
  std::deque<Snapshot> snapshots;
  // With a lag, the own map around the robot as it stood each cycle, oldest first.
  std::deque<Snapshot> ownSnapshots;
  PoseDoubt doubt;       // the pose against the map; the start pose is taken as known
  MatchSmoother smoother;
  HeadingCalibration calibration;
  double owedTurn = 0;   // the calibration's turn not yet taken off
  ArPose lastPose;       // where the robot was at the last cycle, to grow the doubt by its motion
  bool havePose = false;
  Totals totals;
};

Localizer& localizer() {
  static Localizer state;
  return state;
}

ArPose robotPose() {
  RobotLockGuard hold;
  return robot->getPose();
}

MapWindow globalMapAround(const ArPose& pose) {
  ArLockGuard hold(globalMap->mutex);
  return copyMapWindow(*globalMap, pose.getX(), pose.getY(), REACH_MM);
}

// The sonar's echoes heard after sinceMs, in the robot's current frame, each with where
// the robot stood. An echo comes with the pose of the SIP that brought it, but it was
// heard up to a SIP cycle earlier: it is placed from the pose halfway through that cycle,
// its direction uncertain by half the turn in it.
std::vector<Echo> echoesSince(int64_t sinceMs) {
  sonar->lockDevice();
  const std::vector<ArPoseWithTime> buffered = sonar->getCumulativeBufferAsVector();
  sonar->unlockDevice();
  std::vector<Echo> echoes;
  RobotLockGuard hold;
  for (const ArPoseWithTime& p : buffered) {
    const int64_t at = p.getTime().getMSec();
    ArPose brought, before;
    if (at <= sinceMs || robot->getPoseInterpPosition(p.getTime(), &brought) < 0 ||
        robot->getPoseInterpPosition(ArTime::fromMSec(at - SIP_CYCLE_MS), &before) < 0) {
      continue;
    }
    const double turn = ArMath::subAngle(brought.getTh(), before.getTh());
    if (std::fabs(turn) > FASTEST_TURN_DEG) continue;
    const ArPose heard((brought.getX() + before.getX()) / 2, (brought.getY() + before.getY()) / 2,
                       before.getTh() + turn / 2);
    // The echo in the robot's frame, then placed from where it was heard.
    const ArPose local = ArTransform::between(brought, ArPose()).apply(ArPose(p.getX(), p.getY()));
    const ArPose placed = ArTransform::between(ArPose(), heard).apply(local);
    echoes.push_back({{placed.getX(), placed.getY(), heard.getX(), heard.getY(), std::fabs(turn) / 2}, at});
  }
  return echoes;
}

// Echoes that left the window go into the own map; the rest are returned for matching.
std::vector<ScanPoint> mapOldEchoes(Localizer& l, const std::vector<Echo>& echoes, int64_t windowStartMs) {
  std::vector<ScanPoint> recent;
  for (const Echo& e : echoes) {
    if (e.atMs > windowStartMs) {
      recent.push_back(e.point);
    } else if (e.atMs > l.mappedUpTo) {
      markReading(l.ownEchoes, ArPose(e.point.x, e.point.y), ArPose(e.point.fromX, e.point.fromY));
    }
  }
  l.mappedUpTo = std::max(l.mappedUpTo, windowStartMs);
  return recent;
}

// The latest of the snapshots taken at least lag ago, the older ones dropped; none when
// every snapshot is younger.
const MapWindow* lagged(std::deque<Snapshot>& snapshots, int64_t nowMs, int64_t lagMs) {
  while (snapshots.size() > 1 && snapshots[1].takenMs <= nowMs - lagMs) snapshots.pop_front();
  if (snapshots.empty() || snapshots.front().takenMs > nowMs - lagMs) return nullptr;
  return &snapshots.front().map;
}

// The own map around the robot (with a lag, as it stood then, and as it is where it knew
// nothing then); where that knows nothing, what the global map knew a while ago: the
// teammates' readings, a loaded map.
MapWindow referenceMap(Localizer& l, const ArPose& pivot, int64_t nowMs) {
  MapWindow reference = copyMapWindow(l.ownEchoes, pivot.getX(), pivot.getY(), REACH_MM);
  if (ownLagMs > 0) {
    l.ownSnapshots.push_back({nowMs, reference});
    if (const MapWindow* old = lagged(l.ownSnapshots, nowMs, ownLagMs)) {
      const MapWindow recent = reference;
      std::fill(reference.cells.begin(), reference.cells.end(), CELL_UNKNOWN);
      fillUnknownCells(reference, *old);
      fillUnknownCells(reference, recent);
    }
  }
  if (const MapWindow* global = lagged(l.snapshots, nowMs, GLOBAL_LAG_MS)) fillUnknownCells(reference, *global);
  return reference;
}

// How far the corrections have moved the robot's current pose from where its odometry
// alone would put it.
ArPose correctionAt(const Totals& totals, const ArPose& pose) {
  const ArPose raw = totals.total.inverse().apply(pose);
  return ArPose(pose.getX() - raw.getX(), pose.getY() - raw.getY(), ArMath::subAngle(pose.getTh(), raw.getTh()));
}

void count(Totals& totals, CorrectionVerdict verdict) {
  switch (verdict) {
    case CorrectionVerdict::TooFewEchoes: ++totals.fewEchoes; break;
    case CorrectionVerdict::Ambiguous: ++totals.ambiguous; break;
    case CorrectionVerdict::Contradicted: ++totals.contradicted; break;
    case CorrectionVerdict::AcrossWall: ++totals.acrossWall; break;
    case CorrectionVerdict::Applied: break;
  }
}

void reportLargeStep(double shift, double turn, const ArPose& to) {
  char line[160];
  std::snprintf(line, sizeof line, "LOCALIZE: corrected the pose by %.0f mm and %.1f degrees to (%.0f, %.0f, %.1f)",
                shift, turn, to.getX(), to.getY(), to.getTh());
  writeLine(stderr, line);
}

// Moves the robot's frame by the step (a turn about pivot, then a shift): the robot's
// pose now, which may have moved on since pivot, moves with it. Returns where it went.
ArPose moveFrame(Totals& totals, const CorrectionStep& step, const ArPose& pivot) {
  ArPose to;
  {
    RobotLockGuard hold;
    to = correctedPose(robot->getPose(), pivot, step.dx, step.dy, step.dth);
    robot->moveTo(to);
  }
  totals.total = totals.total.then(ArTransform::between(pivot, correctedPose(pivot, pivot, step.dx, step.dy, step.dth)));
  return to;
}

void applyStep(Totals& totals, const CorrectionStep& step, const ArPose& pivot) {
  const ArPose to = moveFrame(totals, step, pivot);
  const double shift = std::hypot(step.dx, step.dy);
  ++totals.applied;
  if (step.partial) ++totals.partial;
  totals.shiftedMm += shift;
  totals.turnedDeg += std::fabs(step.dth);
  if (shift < LARGE_STEP_MM && std::fabs(step.dth) < LARGE_STEP_DEG) return;
  ++totals.large;
  reportLargeStep(shift, step.dth, to);
}

// The doubt grows with the motion since the last cycle, and the heading error the
// calibration expects of that motion is taken off, a turn about the robot, once it comes
// to a tenth of a degree.
void growDoubt(Localizer& l, const ArPose& pose) {
  constexpr double LEAST_TURN_DEG = 0.1;
  if (l.havePose) {
    const double distance = pose.findDistanceTo(l.lastPose), turn = ArMath::subAngle(pose.getTh(), l.lastPose.getTh());
    l.doubt = grownDoubt(l.doubt, distance, std::fabs(turn));
    l.owedTurn += l.calibration.expected(turn, distance);
  }
  if (std::fabs(l.owedTurn) >= LEAST_TURN_DEG) {
    CorrectionStep step;
    step.dth = l.owedTurn;
    moveFrame(l.totals, step, pose);
    l.totals.calibratedDeg += std::fabs(step.dth);
    l.smoother.stepped(step);
    l.owedTurn = 0;
  }
  l.lastPose = robotPose();
  l.havePose = true;
}

void runCycle(Localizer& l) {
  const int64_t now = ArTime::nowMSec();
  growDoubt(l, robotPose());
  const ArPose pivot = robotPose();
  l.snapshots.push_back({now, globalMapAround(pivot)});
  const int64_t windowStart = now - WINDOW_MS;
  const std::vector<ScanPoint> recent = mapOldEchoes(l, echoesSince(std::min(l.mappedUpTo, windowStart)), windowStart);
  const MapWindow reference = referenceMap(l, pivot, now);
  const MatchResult m = matchScan(recent, pivot, reference);
  const CorrectionStep step = decideCorrection(l.smoother.smoothed(m, pivot), reference, pivot, l.doubt);
  count(l.totals, step.verdict);
  if (step.verdict == CorrectionVerdict::Applied && (step.dx != 0 || step.dy != 0 || step.dth != 0)) {
    applyStep(l.totals, step, pivot);
    l.smoother.stepped(step);
    if (step.dth != 0) l.calibration.corrected(step.dth);
  }
  const ArPose after = robotPose();
  l.lastPose = after;
  poseCorrection.store(correctionAt(l.totals, after));
}

}  // namespace

void localizerThread() {
  pthread_setname_np(pthread_self(), "localizer");
  Localizer& l = localizer();
  l.snapshots.clear();
  l.ownSnapshots.clear();
  while (getExitFlag() == 0) {
    ArUtil::sleep(CYCLE_MS);
    runCycle(l);
  }
}

void setLocalizerLag(int64_t ms) {
  ownLagMs = ms;
  localizer().smoother = MatchSmoother(ms > 0);
}

void reportLocalizerTotals() {
  const Totals& totals = localizer().totals;
  const ArPose now = poseCorrection.read();
  char line[512];
  std::snprintf(line, sizeof line,
                "LOCALIZE: %ld corrections (%ld large, %ld along one direction only) shifted the pose %.0f mm and "
                "turned it %.1f degrees in all; matches refused: %ld too few echoes, %ld ambiguous, %ld beyond "
                "odometry's drift, %ld across a wall; odometry's heading calibrated by %.2f %% of every turn and %.2f "
                "degrees per metre, %.1f degrees in all; the pose is (%.0f, %.0f, %.1f) from odometry's",
                totals.applied, totals.large, totals.partial, totals.shiftedMm, totals.turnedDeg, totals.fewEchoes,
                totals.ambiguous, totals.contradicted, totals.acrossWall, 100 * localizer().calibration.share(),
                localizer().calibration.degPerMetre(), totals.calibratedDeg, now.getX(), now.getY(), now.getTh());
  writeLine(stderr, line);
}
