#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aria/ar_robot.h"
#include "base/clock.h"
#include "base/console.h"
#include "base/way_status.h"
#include "nav/behaviours.h"
#include "nav/plan/frontier_target.h"
#include "nav/plan_worker.h"
#include "nav/robot_steps.h"
#include "state/shared_state.h"

namespace {

constexpr double CRUISE_MM_S = 400;        // as fast as the wander behaviour drives
constexpr double BODY_RADIUS_MM = 250;     // the robot's body
constexpr double SWEPT_MARGIN_MM = 40;     // echoes this far beside the body's sweep still count
constexpr double STOP_GAP_MM = 150;        // closer than this ahead: stop
constexpr double BRAKING_MM_S2 = 250;      // below the robot's deceleration, for the speed limit
constexpr double LOOKAHEAD_MM = 700;       // the robot steers toward the path point this far on
constexpr double OFF_PATH_MM = 800;        // farther from the path than this: plan again
constexpr double REPLAN_S = 2.0;           // plan again this often as the map grows
constexpr double MIN_REPLAN_S = 0.5;       // and never more often than this
constexpr double NO_PROGRESS_S = 5.0;      // the way left to the target has not shortened by
constexpr double PROGRESS_MM = 300;        // this much in this long: give up the target
constexpr int LEARNED_CELLS = 30;          // cells first seen near the robot between two plans that
                                           // count as progress (a frontier that recedes as it is neared)
constexpr int32_t SURROUNDINGS = 10;       // cells of the map round the robot checked every cycle
constexpr double WEDGED_S = 8.0;           // moved less than WEDGED_MM in this long with a target:
constexpr double WEDGED_MM = 300;          // the map's clearance holds the robot, so it creeps
constexpr double CREEP_S = 4.0;            // for this long by sonar alone
constexpr double CREEP_MM_S = 150;         // at this speed
constexpr double COMPLETE_AFTER_S = 8.0;   // no target for this long, turning on the spot, and none
                                           // set aside only for a while: done
constexpr uint32_t PEER_FRESH_S = 5;       // teammates heard from within this take part
constexpr uint32_t PEER_NEAR_S = 2;        // a teammate's pose this recent is a body to keep clear of
constexpr double PEER_MOVED_MM = 200;      // how far a teammate may have driven since its last P
constexpr double FULL_TURN_ERROR_DEG = 60; // heading errors beyond this: turn on the spot
constexpr double BLOCKING_ECHO_S = 60;     // an echo that stopped the robot stays in its plans this long
constexpr double BACK_OFF_AFTER_S = 1.5;   // stopped by an obstacle this long: back off
constexpr double BACK_OFF_S = 1.5;         // for this long
constexpr double BACK_OFF_MM_S = 150;      // at this speed
constexpr double TRACK_STEP_MM = 100;      // the robot's own track, a point each this far,
constexpr size_t TRACK_POINTS = 40;        // as far back as this many points
constexpr double HELD_AGAIN_MM = 500;      // held again this close to where it was last held: the
constexpr double RETREAT_MM = 1200;        // robot backs out along its track this far (known free:
constexpr double RETREAT_S = 12.0;         // its body was there), for at most this long,
constexpr double RETREAT_MM_S = 150;       // at this speed,
constexpr double RETREAT_AIM_MM = 300;     // steering its rear toward the track point this far off
constexpr double RETREAT_TURN_DEG = 40;    // and turning on the spot while it points farther off
constexpr double REAR_GAP_MM = 80;         // an echo this close behind the body ends the retreat

double seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// One line on standard error about a place: "EXPLORE: <before>(X, Y)<after>".
void say(const char* before, const ArPose& at, const char* after) {
  writeLine(stderr, std::string("EXPLORE: ") + before + "(" + std::to_string(std::lround(at.getX())) + ", " +
                        std::to_string(std::lround(at.getY())) + ")" + after);
}

// An echo or a bump that stopped the robot: a confirmed obstacle in its plans for a while.
struct Blocker {
  ArPose at;
  double until;
};

// What a run that ends with the robot stalled or lost leaves to the next run, which
// starts as soon as the agent has the robot again: the places set aside, the obstacles
// met, the robot's track and where it was last held. Without them every pass heads back
// for the place the robot got stuck, and a robot stalled where it is held has no way
// back out.
struct Lasting {
  std::optional<Blacklist> setAside;
  std::vector<Blocker> blockers;
  std::vector<Blocker> shunned;
  std::deque<ArPose> track;
  std::optional<ArPose> heldAt;
};
Lasting lasting;

// What one run of the behaviour keeps.
struct ExploreRun {
  int startMode = getMode();
  std::optional<Blacklist> setAside = std::exchange(lasting.setAside, std::nullopt);  // as the last plan left them
  PlanWorker planner{*globalMap, TargetWeights{}, setAside};
  MapWindow near;                    // the global map round the robot, read every cycle
  TargetChoice plan;
  size_t passed = 0;                 // path points up to this one are behind the robot
  double plannedAt = -1e9;           // when the last plan was asked for
  bool blocked = false;              // an echo ahead stopped the robot since the last plan was asked for
  bool givingUp = false;             // the current target is to be given up at the next plan
  bool forgiving = false;            // every place set aside may be a target again at the next plan
  std::optional<ArPose> trap;        // and the frontier round this place that held the robot
  bool expiring = false;             // the last plan set some place aside only for a while
  std::optional<double> noTargetSince;
  double bestLeft = std::numeric_limits<double>::infinity();  // the shortest way left to the target so far
  double progressAt = 0;             // and when it last shortened by PROGRESS_MM
  ArPose movedFrom;                  // where the robot was when it last moved WEDGED_MM, and when
  double movedAt = 0;
  double creepUntil = 0;             // the robot minds no stray echo of the map until then
  std::vector<Blocker> blockingEchoes = std::exchange(lasting.blockers, {});  // what stopped the robot
  std::vector<Blocker> shunned = std::exchange(lasting.shunned, {});  // places that held it twice
  std::optional<double> blockedSince;  // the way ahead has been barred since
  double backingUntil = 0;           // the robot backs off until then
  std::deque<ArPose> track = std::exchange(lasting.track, {});  // where the robot has been lately, newest last
  std::optional<ArPose> heldAt = std::exchange(lasting.heldAt, std::nullopt);  // where the robot was last held
  std::vector<ArPose> retreat;       // the way back out along the track, farthest first, while backing out
  double retreatUntil = 0;
};

// An echo ahead: how far the robot can drive on before meeting it, and where it is.
struct Clearance {
  double mm = std::numeric_limits<double>::infinity();
  ArPose echo;
};

// The last poses of the teammates heard from within maxAge seconds (this agent's own
// entry left out).
std::vector<ArPose> freshPeers(uint32_t maxAge) {
  const uint32_t now = calendarSeconds();
  std::vector<ArPose> poses;
  ArLockGuard hold(peerTableMutex);
  for (const auto& [name, entry] : peerTable) {
    if (name == agentId || !entry.active || static_cast<uint32_t>(now - entry.lastSeen) > maxAge) continue;
    poses.push_back(entry.pose);
  }
  return poses;
}

// The target cell of the live global map no longer borders unknown space.
bool targetSeen(const ArPose& target) {
  ArLockGuard hold(globalMap->mutex);
  const int32_t x = globalMap->toCell(target.getX()), y = globalMap->toCell(target.getY());
  for (auto [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
    if (globalMap->cellOrUnknown(x + dx, y + dy) & CELL_UNKNOWN) return false;
  }
  return true;
}

// How far the robot has yet to drive along its path: to the nearest point not passed,
// then along the path to its end.
double wayLeft(const ExploreRun& run, const ArPose& pose) {
  const std::vector<ArPose>& path = run.plan.path;
  if (run.passed >= path.size()) return pose.findDistanceTo(run.plan.target);
  double left = pose.findDistanceTo(path[run.passed]);
  for (size_t i = run.passed + 1; i < path.size(); ++i) left += path[i - 1].findDistanceTo(path[i]);
  return left;
}

std::vector<ArPose> places(const std::vector<Blocker>& blockers) {
  std::vector<ArPose> at;
  for (const Blocker& e : blockers) at.push_back(e.at);
  return at;
}

void dropExpired(std::vector<Blocker>& blockers, double now) {
  std::erase_if(blockers, [now](const Blocker& e) { return e.until <= now; });
}

// Some place that held the robot is still kept out of the plans: the frontiers past it
// may be unreachable only for that, so the building is not done yet.
bool shunning(ExploreRun& run, double now) {
  dropExpired(run.shunned, now);
  return !run.shunned.empty();
}

void askForPlan(ExploreRun& run, const ArPose& pose, double now) {
  dropExpired(run.blockingEchoes, now);
  dropExpired(run.shunned, now);
  run.planner.ask({pose, freshPeers(PEER_FRESH_S), places(run.blockingEchoes), now, run.givingUp, run.trap,
                   run.forgiving, places(run.shunned)});
  run.givingUp = false;
  run.forgiving = false;
  run.trap.reset();
  run.plannedAt = now;
  run.blocked = false;
}

void adoptPlan(ExploreRun& run, PlanWorker::Answer answer, const ArPose& pose, double now) {
  const std::optional<ArPose>& before = answer.before;
  run.plan = std::move(answer.choice);
  run.setAside = std::move(answer.setAside);
  run.passed = 0;
  run.expiring = answer.expiring;
  if (run.plan.setAside && before) {
    say("", *before, " is walled off, set aside for a while");
    wayReports.post(WAY_GAVE_UP, *before);
  }
  if (!run.plan.found) {
    if (!run.noTargetSince) run.noTargetSince = now;
    return;
  }
  run.noTargetSince.reset();
  const bool newTarget = !before || before->findDistanceTo(run.plan.target) > 1000;
  if (newTarget) {
    say("heading for the frontier at ", run.plan.target, "");
    wayReports.post(WAY_HEADING, run.plan.target);
  }
  // A new target, a new way to it much longer than the old (a wall seen across the old
  // one) or a good deal of the map seen since the last plan (the frontier recedes as the
  // robot nears it) starts the count of progress afresh.
  const double left = wayLeft(run, pose);
  if (newTarget || left > run.bestLeft + 1000 || answer.learned >= LEARNED_CELLS) {
    run.bestLeft = left;
    run.progressAt = now;
  }
}

double distanceToPath(const ExploreRun& run, const ArPose& pose) {
  double best = std::numeric_limits<double>::infinity();
  for (size_t i = run.passed; i < run.plan.path.size(); ++i) best = std::min(best, pose.findDistanceTo(run.plan.path[i]));
  return best;
}

bool needsPlan(ExploreRun& run, const ArPose& pose, double now) {
  const double age = now - run.plannedAt;
  if (age < MIN_REPLAN_S) return false;
  if (!run.plan.found || run.blocked || age >= REPLAN_S) return true;
  if (pose.findDistanceTo(run.plan.target) < TargetWeights{}.minMm) return true;
  return distanceToPath(run, pose) > OFF_PATH_MM || targetSeen(run.plan.target);
}

// How far the robot can drive straight on before its body, widened by width - its
// radius, meets a point ahead (relative to the robot: mm along its heading and beside
// it); infinite when the point lies outside the sweep.
double sweptClearance(double ahead, double beside, double width) {
  if (ahead <= 0 || std::fabs(beside) >= width) return std::numeric_limits<double>::infinity();
  return ahead - std::sqrt(width * width - beside * beside);
}

// The nearest fresh sonar echo in the robot's sweep, widened by margin on either side.
Clearance sonarClearance(const ArPose& pose, double margin) {
  static constexpr double ARCS[][2] = {{-100, -70}, {-70, -40}, {-40, -20}, {-20, 0},
                                       {0, 20},     {20, 40},   {40, 70},   {70, 100}};
  Clearance clear;
  for (const auto& arc : ARCS) {
    double bearing = 0;
    const double range = robot->checkRangeDevicesCurrentPolar(arc[0], arc[1], &bearing);
    if (!std::isfinite(range)) continue;
    const double mm = sweptClearance(range * ArMath::cos(bearing), range * ArMath::sin(bearing),
                                     BODY_RADIUS_MM + margin);
    if (mm >= clear.mm) continue;
    const double th = pose.getTh() + bearing;
    clear = {mm, ArPose(pose.getX() + range * ArMath::cos(th), pose.getY() + range * ArMath::sin(th))};
  }
  return clear;
}

// The nearest obstacle cell of the map in the robot's sweep, within a metre. Sonar
// misses what lies between its beams, such as the end of a wall met head on; the map
// often holds it from other angles. Confirmed cells count with their whole width, stray
// ones (which the paths pass at a smaller distance) only when squarely in the way, and
// not at all for a robot creeping out of a place they hold it in.
Clearance mapClearance(const MapWindow& map, const ArPose& pose, bool strayToo) {
  constexpr int32_t REACH = 10;
  const int confirmedOccupancy = TravelWeights{}.confirmedOccupancy;
  const double half = map.res / 2, c = ArMath::cos(pose.getTh()), s = ArMath::sin(pose.getTh());
  const int32_t cx = map.toCell(pose.getX()), cy = map.toCell(pose.getY());
  Clearance clear;
  for (int32_t x = cx - REACH; x <= cx + REACH; ++x) {
    for (int32_t y = cy - REACH; y <= cy + REACH; ++y) {
      const MapCell cell = map.cellOrUnknown(x, y);
      if (!isObstacleCell(cell) || (cell & CELL_FOOTPRINT)) continue;
      const double dx = cellCentre(x, map.res) - pose.getX(), dy = cellCentre(y, map.res) - pose.getY();
      const bool confirmed = (cell & CELL_OCCUPANCY) >= confirmedOccupancy;
      if (!confirmed && !strayToo) continue;
      const double mm = sweptClearance(dx * c + dy * s, dy * c - dx * s, BODY_RADIUS_MM + (confirmed ? half : -half)) -
                        (confirmed ? half : 0);
      if (mm < clear.mm) clear = {mm, ArPose(pose.getX() + dx, pose.getY() + dy)};
    }
  }
  return clear;
}

// The nearest teammate in the robot's sweep. The sonar hears a teammate only where a
// beam meets its body squarely, so its last P counts as well: a body as wide as this
// robot's, widened by how far it may have driven since.
Clearance teammateClearance(const ArPose& pose, const std::vector<ArPose>& teammates) {
  const double c = ArMath::cos(pose.getTh()), s = ArMath::sin(pose.getTh());
  Clearance clear;
  for (const ArPose& t : teammates) {
    const double dx = t.getX() - pose.getX(), dy = t.getY() - pose.getY();
    const double mm = sweptClearance(dx * c + dy * s, dy * c - dx * s, 2 * BODY_RADIUS_MM + PEER_MOVED_MM);
    if (mm < clear.mm) clear = {mm, t};
  }
  return clear;
}

// How near the nearest obstacle and the nearest unseen cell of the map lie, within
// 800 mm: unseen cells may hide an obstacle the sonar has not met yet.
struct Caution {
  double obstacle = std::numeric_limits<double>::infinity();
  double unseen = std::numeric_limits<double>::infinity();
};

Caution nearestCaution(const MapWindow& map, const ArPose& pose) {
  const int32_t cx = map.toCell(pose.getX()), cy = map.toCell(pose.getY());
  constexpr int32_t REACH = 8;
  Caution near;
  for (int32_t dx = -REACH; dx <= REACH; ++dx) {
    for (int32_t dy = -REACH; dy <= REACH; ++dy) {
      const MapCell c = map.cellOrUnknown(cx + dx, cy + dy);
      const double mm = std::hypot(dx, dy) * map.res;
      if (isObstacleCell(c)) near.obstacle = std::min(near.obstacle, mm);
      if (c & CELL_UNKNOWN) near.unseen = std::min(near.unseen, mm);
    }
  }
  return near;
}

// Advances along the path and returns the point to steer for, lookahead on.
ArPose carrot(ExploreRun& run, const ArPose& pose, double lookahead) {
  const std::vector<ArPose>& path = run.plan.path;
  size_t nearest = run.passed;
  const size_t window = std::min(path.size(), run.passed + 15);
  for (size_t i = run.passed; i < window; ++i) {
    if (pose.findDistanceTo(path[i]) < pose.findDistanceTo(path[nearest])) nearest = i;
  }
  run.passed = nearest;
  for (size_t i = nearest; i < path.size(); ++i) {
    if (pose.findDistanceTo(path[i]) >= lookahead) return path[i];
  }
  return path.back();
}

// The robot touches something in front: a front bumper segment is pressed.
bool frontBumped() { return (robot->getStallValue() & 0xFE00) != 0; }
// Nothing touches the rear and no echo lies within 300 mm behind the robot's body.
bool rearClear() {
  return (robot->getStallValue() & 0x00FE) == 0 && robot->checkRangeDevicesCurrentPolar(120, -120) - BODY_RADIUS_MM > 300;
}

// Where the front bumper touches.
ArPose bumpedAt(const ArPose& pose) {
  const double reach = BODY_RADIUS_MM + 50;
  return {pose.getX() + reach * ArMath::cos(pose.getTh()), pose.getY() + reach * ArMath::sin(pose.getTh())};
}

// What stopped the robot is an obstacle in its plans for a while, and it plans again.
void rememberBlocker(ExploreRun& run, const ArPose& at, double now) {
  run.blocked = true;
  std::erase_if(run.blockingEchoes, [&](const Blocker& e) { return e.at.findDistanceTo(at) < 100; });
  run.blockingEchoes.push_back({at, now + BLOCKING_ECHO_S});
}

// One cycle along the path: steer for the carrot; cruise where the way ahead is clear,
// slower near obstacles, unseen cells and the target, never on toward an obstacle in the
// way (stopped, the robot turns toward its path and plans again).
void drive(ExploreRun& run, const ArPose& pose, double now) {
  const Caution near = nearestCaution(run.near, pose);
  const double caution = std::min(near.obstacle, near.unseen);
  const bool creeping = now < run.creepUntil;
  Clearance ahead = sonarClearance(pose, creeping ? 0 : SWEPT_MARGIN_MM);
  const Clearance mapped = mapClearance(run.near, pose, !creeping);
  if (mapped.mm < ahead.mm) ahead = mapped;
  // In tight places the robot keeps close to its path instead of cutting toward a point
  // round a corner.
  const ArPose aim = carrot(run, pose, caution < 800 ? LOOKAHEAD_MM / 2 : LOOKAHEAD_MM);
  const double heading = pose.findAngleTo(aim);
  const double error = std::fabs(ArMath::subAngle(heading, pose.getTh()));
  // Unseen cells slow the robot less than obstacles: in a corridor the sonar clears
  // little straight ahead, and the braking distance below holds for what it meets.
  double speed = near.obstacle < 500 ? 250 : (near.obstacle < 800 || near.unseen < 300 ? 300 : CRUISE_MM_S);
  speed = std::min(speed, 250 + 0.5 * std::max(0.0, pose.findDistanceTo(run.plan.target) - 400));
  speed = std::min(speed, std::sqrt(2 * BRAKING_MM_S2 * std::max(0.0, ahead.mm - STOP_GAP_MM)));
  // A teammate in the way stops the robot but is no obstacle for its plans: it moves on.
  const Clearance teammate = teammateClearance(pose, freshPeers(PEER_NEAR_S));
  speed = std::min(speed, std::sqrt(2 * BRAKING_MM_S2 * std::max(0.0, teammate.mm - STOP_GAP_MM)));
  if (creeping) speed = std::min(speed, CREEP_MM_S);
  speed *= std::max(0.0, 1 - (error / FULL_TURN_ERROR_DEG) * (error / FULL_TURN_ERROR_DEG));
  if (ahead.mm < STOP_GAP_MM && error < FULL_TURN_ERROR_DEG) rememberBlocker(run, ahead.echo, now);
  if (frontBumped()) {
    // The bumper met what neither the sonar nor the map showed (a wall a specular sonar
    // meets at a flat angle): an obstacle in the plans from now on, and the robot backs
    // off at once rather than pressing on.
    rememberBlocker(run, bumpedAt(pose), now);
    if (now >= run.backingUntil && rearClear()) run.backingUntil = now + BACK_OFF_S;
  }
  const bool barred = (ahead.mm < STOP_GAP_MM && error < FULL_TURN_ERROR_DEG) || frontBumped();
  if (!barred) {
    run.blockedSince.reset();
  } else if (!run.blockedSince) {
    run.blockedSince = now;
  } else if (now - *run.blockedSince >= BACK_OFF_AFTER_S && rearClear()) {
    // Wedged: a turn on the spot does not free the way, so back off a little and plan
    // again with what stopped the robot among the obstacles.
    run.backingUntil = now + BACK_OFF_S;
    run.blockedSince.reset();
  }
  if (now < run.backingUntil) {
    speed = rearClear() ? -BACK_OFF_MM_S : 0;
    robot->setVel(speed);
    robot->setHeading(pose.getTh());
    return;
  }
  if (frontBumped()) speed = 0;
  robot->setVel(std::floor(speed));
  robot->setHeading(heading);
}

// No target: stand and turn, so the sonar sees all round while the map settles.
void lookAround(const ArPose& pose) {
  robot->setVel(0);
  robot->setHeading(pose.getTh() + 60);
}

// The current target is set aside at the next plan, which is asked for at once.
void giveUp(ExploreRun& run) {
  if (!run.plan.found) return;
  wayReports.post(WAY_GAVE_UP, run.plan.target);
  run.givingUp = true;
  run.plan.found = false;
  run.plannedAt = -1e9;
}

// The robot's track: a point each TRACK_STEP_MM it moves, the last TRACK_POINTS of them.
void recordTrack(ExploreRun& run, const ArPose& pose) {
  if (!run.track.empty() && run.track.back().findDistanceTo(pose) < TRACK_STEP_MM) return;
  run.track.push_back(pose);
  if (run.track.size() > TRACK_POINTS) run.track.pop_front();
}

// The way back along the track, RETREAT_MM of it, farthest point first.
void startRetreat(ExploreRun& run, const ArPose& pose, double now) {
  std::vector<ArPose> way{pose};
  double along = 0;
  for (auto p = run.track.rbegin(); p != run.track.rend() && along < RETREAT_MM; ++p) {
    along += way.back().findDistanceTo(*p);
    way.push_back(*p);
  }
  if (along < RETREAT_AIM_MM) {
    // No track to speak of (the robot came here before the agent had it): straight back.
    const double back = RETREAT_MM / 2;
    way = {pose, ArPose(pose.getX() - back * ArMath::cos(pose.getTh()), pose.getY() - back * ArMath::sin(pose.getTh()))};
  }
  run.retreat.assign(way.rbegin(), way.rend());
  run.retreatUntil = now + RETREAT_S;
}

// Something touches the rear or an echo lies right behind the body.
bool rearBlocked() {
  return (robot->getStallValue() & 0x00FE) != 0 ||
         robot->checkRangeDevicesCurrentPolar(150, -150) - BODY_RADIUS_MM < REAR_GAP_MM;
}

// One cycle of backing out along the track, rear first, turning on the spot where the
// way back bends. Ends at the track point farthest back, after RETREAT_S, or against
// something behind; the robot then creeps on along a fresh plan.
void backOut(ExploreRun& run, const ArPose& pose, double now) {
  while (run.retreat.size() > 1 && pose.findDistanceTo(run.retreat.back()) < RETREAT_AIM_MM) run.retreat.pop_back();
  const ArPose& aim = run.retreat.back();
  if (now >= run.retreatUntil || rearBlocked() || pose.findDistanceTo(aim) < TRACK_STEP_MM) {
    run.retreat.clear();
    run.creepUntil = now + CREEP_S;
    run.plannedAt = -1e9;
    run.movedFrom = pose;
    run.movedAt = now;
    run.blockedSince.reset();
    robot->setVel(0);
    return;
  }
  const double heading = pose.findAngleTo(aim) + 180;
  const double error = std::fabs(ArMath::subAngle(heading, pose.getTh()));
  const ArPose behind(pose.getX(), pose.getY(), pose.getTh() + 180);
  const bool teammateBehind = teammateClearance(behind, freshPeers(PEER_NEAR_S)).mm < STOP_GAP_MM;
  robot->setVel(error > RETREAT_TURN_DEG || teammateBehind ? 0 : -RETREAT_MM_S);
  robot->setHeading(heading);
}

// Gives up a target the robot gets no nearer to, and lets a robot that has not moved for
// a while with a target in view creep on, minding the sonar and the map's confirmed
// obstacles only: stray echoes in the map can hold it in a narrow place that its body
// fits through.
void checkHeadway(ExploreRun& run, const ArPose& pose, double now) {
  if (!run.plan.found || pose.findDistanceTo(run.movedFrom) >= WEDGED_MM) {
    run.movedFrom = pose;
    run.movedAt = now;
  } else if (now - run.movedAt >= WEDGED_S) {
    // A place that holds the robot is a trap (a gap behind furniture its sonar barely
    // sees into): the frontier there and the target are set aside, and the robot
    // creeps out along the next plan's path. Held there again, creeping did not free
    // it: it backs out the way it came first.
    const bool again = run.heldAt && run.heldAt->findDistanceTo(pose) < HELD_AGAIN_MM;
    run.heldAt = pose;
    if (again) {
      say("held again at ", pose, ", backing out the way it came");
      startRetreat(run, pose, now);
      run.shunned.push_back({pose, now + BLOCKING_ECHO_S});
    } else {
      say("held at ", pose, ", creeping on by sonar");
    }
    run.creepUntil = now + CREEP_S;
    run.blockingEchoes.clear();
    run.movedAt = now;
    run.trap = pose;
    giveUp(run);
    return;
  }
  if (!run.plan.found) return;
  const double left = wayLeft(run, pose);
  if (left <= run.bestLeft - PROGRESS_MM) {
    run.bestLeft = left;
    run.progressAt = now;
  } else if (now - run.progressAt >= NO_PROGRESS_S) {
    say("no headway toward ", run.plan.target, ", set aside for a while");
    giveUp(run);
  }
}

// The global map round the robot, with the echoes that stopped it, for this cycle's
// checks: fresh every cycle, whatever a plan under way is working on.
void readSurroundings(ExploreRun& run, const ArPose& pose) {
  const int32_t cx = globalMap->toCell(pose.getX()), cy = globalMap->toCell(pose.getY());
  {
    ArLockGuard hold(globalMap->mutex);
    run.near.copyFrom(*globalMap, CellBox{cx - SURROUNDINGS, cy - SURROUNDINGS, cx + SURROUNDINGS, cy + SURROUNDINGS});
  }
  for (const Blocker& e : run.blockingEchoes) {
    const int32_t x = run.near.toCell(e.at.getX()), y = run.near.toCell(e.at.getY());
    if (run.near.inBounds(x, y)) run.near.cellAt(x, y) = CELL_OCCUPANCY;
  }
}

// Plans are made by the worker while the loop goes on: every cycle checks the way ahead
// and sends a command of its own. The robot lock is held except during each cycle's pause.
// The run ends with the robot stalled or lost: what it ran into, the target it was
// heading for and, when it crept out of a place that held it, that place are left to
// the next run, set aside with what this run set aside.
void leaveToNextRun(ExploreRun& run) {
  const ArPose pose = robot->getPose();
  const double now = seconds();
  if (frontBumped()) rememberBlocker(run, bumpedAt(pose), now);
  if (run.setAside && robotStalled()) {
    if (run.plan.found) run.setAside->add(run.plan.target, now);
    if (now < run.creepUntil) run.setAside->add(pose, now);
  }
  lasting = {run.setAside, run.blockingEchoes, run.shunned, run.track, run.heldAt};
}

void explore(ExploreRun& run) {
  for (;;) {
    if (behaviourMustEnd(run.startMode)) {
      if (getExitFlag() != 0) leaveToNextRun(run);
      return;
    }
    const ArPose pose = robot->getPose();
    const double now = seconds();
    // A target given up while a plan was under way: that plan may lead back to it.
    if (std::optional<PlanWorker::Answer> answer = run.planner.take(); answer && !run.givingUp)
      adoptPlan(run, std::move(*answer), pose, now);
    recordTrack(run, pose);
    if (!run.retreat.empty()) {
      backOut(run, pose, now);
      sleepUnlocked(100);
      if (getExitFlag() != 0) return;
      continue;
    }
    checkHeadway(run, pose, now);
    if (!run.planner.busy() && needsPlan(run, pose, now)) askForPlan(run, pose, now);
    readSurroundings(run, pose);
    if (run.plan.found) {
      drive(run, pose, now);
    } else if (run.noTargetSince && now - *run.noTargetSince >= COMPLETE_AFTER_S && !run.expiring &&
               !shunning(run, now) && !run.planner.busy()) {
      if (run.plan.setAsideOnly > 0) {
        // Frontiers the robot can reach are left, each given up in turn (as a robot held in
        // a corner gives up every target): the building is not done, so they are tried again.
        writeLine(stderr, "EXPLORE: every frontier left was given up; trying them again");
        run.forgiving = true;
        run.noTargetSince = now;
        askForPlan(run, pose, now);
      } else {
        robot->stop();
        writeLine(stdout, "Exploration complete: no reachable frontier left.");
        wayReports.post(WAY_COMPLETE, pose);
        return;
      }
    } else {
      lookAround(pose);
    }
    sleepUnlocked(100);
    if (getExitFlag() != 0) return;
  }
}

}  // namespace

void actExplore() {
  ExploreRun run;
  robot->lock();
  if (getExitFlag() == 0) explore(run);
  robot->unlock();
  wayReports.endCurrent();
}
