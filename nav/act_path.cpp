#include <cmath>
#include <cstdio>

#include "aria/ar_robot.h"
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

enum class Follow { Field, Path };

// What one run of the behaviour owns.
struct PathRun {
  int startMode = getMode();
  PotField goalField = localPotField(ArPose(0, 0, 0), ROBOT_RADIUS_MM);
  PotField obstacleField = localPotField(ArPose(0, 0, 0), ROBOT_RADIUS_MM);
  FloodPath flood = localFloodPath(ArPose(0, 0, 0), FLOOD_RES_MM, ROBOT_RADIUS_MM);
  ArPose goalInUse;
  Follow follow = Follow::Field;
};

struct Command {
  bool send;
  int velocity;  // mm/s
  int heading;   // degrees
};

void adoptGoal(PathRun& run, const ArPose& goal) {
  run.goalInUse = goal;
  run.goalField.goal = goal;
  run.goalField.cacheValid = false;
  run.flood.goal = goal;
  run.flood.computeFlood();
}

// Along the flood path, unless obstacles are close: then the flood is recomputed from
// the newest map and no command is sent this cycle.
Command pathStep(PathRun& run, double x, double y) {
  run.obstacleField.computeField(x, y);
  if (run.obstacleField.potential > CLOSE_OBSTACLE_POTENTIAL) {
    run.flood.goal = run.goalInUse;
    run.flood.computeFlood();
    std::fputs("WARN: close obstacles, recomputing flood algorithm!\n", stderr);
    std::fflush(stderr);
    return {false, 0, 0};
  }
  return {true, static_cast<int>(run.flood.pathSpeed(x, y) * 100), static_cast<int>(run.flood.pathHeading(x, y))};
}

// Follows the field while it is strong; falls back to the flood path when it fades,
// and returns to the field when it is strong again and agrees with the path.
Command chooseCommand(PathRun& run, double x, double y) {
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
    if (getMode() != run.startMode) return;
    if (robotLostOrStalled()) {
      setExitFlag(1);
      return;
    }
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
}
