#include <cmath>

#include "aria/ar_robot.h"
#include "aria/ar_time.h"
#include "base/console.h"
#include "base/way_status.h"
#include "nav/behaviours.h"
#include "nav/local_planners.h"
#include "nav/robot_steps.h"
#include "state/shared_state.h"

namespace {

constexpr double ROBOT_RADIUS_MM = 200;
constexpr double FLOOD_RES_MM = 100;
constexpr double WEAKEST_FORCE = 0.05;             // weaker: the field is in a local minimum
constexpr double AGREEING_HEADINGS_DEG = 50;       // the field may take over again within this
constexpr double CLOSE_OBSTACLE_POTENTIAL = 2.0;   // obstacle field above this: too close
constexpr int64_t NO_WAY_REPLAN_MS = 500;           // re-planning while the flood shows no way
constexpr double NO_HEADWAY_MS = 5000;              // the flood reaches nowhere near the robot and
constexpr double HEADWAY_MM = 100;                  // it got no nearer the goal than this in this long:
                                                    // no way to the goal
constexpr int32_t NEAR_CELLS = 3;                   // the flood reaching this near the robot's cell

enum class Follow { Field, Path };

// What one run of the behaviour owns.
struct PathRun {
  int startMode = getMode();
  PotField goalField = localPotField(ArPose(0, 0, 0), ROBOT_RADIUS_MM);
  PotField obstacleField = localPotField(ArPose(0, 0, 0), ROBOT_RADIUS_MM);
  FloodPath flood = localFloodPath(ArPose(0, 0, 0), FLOOD_RES_MM, ROBOT_RADIUS_MM);
  ArPose goalInUse;
  Follow follow = Follow::Field;
  bool replannedForObstacles = false;  // the last cycle stopped and re-planned close to obstacles
  bool noWay = false;                  // stopped: the flood shows no way from the robot to the goal
  int64_t noWayPlannedMs = 0;
  HeadwayWatch headway{NO_HEADWAY_MS, HEADWAY_MM};  // the robot's least distance to the goal so far
};

struct Command {
  bool send;
  int velocity;  // mm/s
  int heading;   // degrees
};

void adoptGoal(PathRun& run, const ArPose& goal) {
  run.goalInUse = goal;
  run.noWay = false;
  run.headway.reset();
  run.goalField.goal = goal;
  run.goalField.cacheValid = false;
  run.flood.goal = goal;
  run.flood.computeFlood();
}

void replan(PathRun& run) {
  run.flood.goal = run.goalInUse;
  run.flood.computeFlood();
}

// No neighbour lies lower, or the field holds the robot where the flood does not reach:
// the goal is enclosed or unreachable. The robot stays stopped, with one warning, and the
// flood is recomputed at a calm rate until the map shows a way.
Command waitForAWay(PathRun& run) {
  const int64_t now = ArTime::nowMSec();
  if (!run.noWay) {
    robot->stop();
    writeLine(stderr, "WARN: no way down the flood path, robot stopped until the map shows one");
    wayReports.post(WAY_NONE, run.goalInUse);
    run.noWay = true;
    run.noWayPlannedMs = now;
  } else if (now - run.noWayPlannedMs >= NO_WAY_REPLAN_MS) {
    replan(run);
    run.noWayPlannedMs = now;
  }
  return {false, 0, 0};
}

// Along the flood path. Close to obstacles the robot stops and the flood is recomputed
// from the newest map; the next cycle follows the new flood.
Command pathStep(PathRun& run, double x, double y) {
  run.obstacleField.computeField(x, y);
  const bool close = run.obstacleField.potential > CLOSE_OBSTACLE_POTENTIAL;
  if (close && !run.replannedForObstacles) {
    robot->stop();
    replan(run);
    writeLine(stderr, "WARN: close obstacles, recomputing flood algorithm!");
    run.replannedForObstacles = true;
    return {false, 0, 0};
  }
  run.replannedForObstacles = false;
  const double heading = run.flood.pathHeading(x, y);
  if (heading == FLOOD_NO_DESCENT) return waitForAWay(run);
  return {true, static_cast<int>(run.flood.pathSpeed(x, y) * 100), static_cast<int>(heading)};
}

// The field can drive the robot about for ever near a goal the map encloses, the flood
// reaching nowhere near it: after a while without headway that is no way either.
bool heldFromTheGoal(PathRun& run, double x, double y) {
  const auto now = static_cast<double>(ArTime::nowMSec());
  const double left = run.goalInUse.findDistanceTo(ArPose(x, y));
  if (run.flood.reachesNear(x, y, NEAR_CELLS)) {
    run.headway.progress(left, now);
    return false;
  }
  return !run.headway.gaining(left, now);
}

// Follows the field while it is strong; falls back to the flood path when it fades,
// and returns to the field when it is strong again and agrees with the path. Without a
// way to the goal the robot waits, stopped, until a new flood shows one.
Command chooseCommand(PathRun& run, double x, double y) {
  if (run.noWay) {
    if (!run.flood.reachesNear(x, y, NEAR_CELLS) || run.flood.pathHeading(x, y) == FLOOD_NO_DESCENT)
      return waitForAWay(run);
    run.noWay = false;
    run.headway.reset();
    wayReports.post(WAY_FOUND, run.goalInUse);
  }
  if (heldFromTheGoal(run, x, y)) return waitForAWay(run);
  run.goalField.computeField(x, y);
  const double strength = fieldStrength(run.goalField);
  const double fieldDirection = fieldHeading(run.goalField);
  const Command alongField{true, static_cast<int>(strength * 200), static_cast<int>(fieldDirection)};
  if (run.follow == Follow::Field) {
    if (strength >= WEAKEST_FORCE) return alongField;
    run.follow = Follow::Path;
    return pathStep(run, x, y);
  }
  const double disagreement = std::fabs(normalizeAngle(run.flood.pathHeading(x, y) - fieldDirection));
  if (disagreement < AGREEING_HEADINGS_DEG && strength > WEAKEST_FORCE) {
    run.follow = Follow::Field;
    return alongField;
  }
  return pathStep(run, x, y);
}

// The robot lock is held except during each cycle's pause and while a changed goal is
// planned (with the robot stopped).
void followPath(PathRun& run) {
  for (;;) {
    if (behaviourMustEnd(run.startMode)) return;
    const ArPose pose = robot->getPose();
    const double x = pose.getX(), y = pose.getY();
    if (run.goalField.goal.findDistanceTo(pose) <= run.goalField.maps.front()->res) return;
    if (run.flood.onGoalCell(x, y)) return;
    if (goalPose.read() != run.goalInUse) {
      robot->stop();
      robot->unlock();
      adoptGoal(run, goalPose.read());
      robot->lock();
    }
    const Command command = chooseCommand(run, x, y);
    if (command.send) {
      robot->setVel(command.velocity);
      robot->setHeading(command.heading);
    }
    // Also after a skipped command: a loop without pause would keep the robot lock
    // from the robot's own cycle while recomputing the flood over and over.
    sleepUnlocked(100);
    if (getExitFlag() != 0) return;
  }
}

}  // namespace

void actPath() {
  PathRun run;
  run.obstacleField.useGoal = false;
  adoptGoal(run, goalPose.read());
  robot->lock();
  if (getExitFlag() == 0) followPath(run);
  robot->unlock();
  wayReports.endCurrent();
}
