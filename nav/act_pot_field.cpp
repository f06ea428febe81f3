#include "aria/ar_robot.h"
#include "aria/ar_time.h"
#include "base/console.h"
#include "nav/behaviours.h"
#include "nav/local_planners.h"
#include "nav/robot_steps.h"
#include "state/shared_state.h"

namespace {

constexpr double WEAKEST_FORCE = 0.05;  // below this strength the field has nothing more to say

// Follows the field until the goal is reached, the force fades, the robot stops gaining
// on the goal, the mode changes, the exit flag is set or the robot is lost. The caller
// holds the robot lock.
void followField(int startMode, ArPose goalInUse, PotField& field) {
  HeadwayWatch headway;
  for (;;) {
    if (behaviourMustEnd(startMode)) return;
    const ArPose pose = robot->getPose();
    if (field.goal.findDistanceTo(pose) <= field.maps.front()->res) return;
    const ArPose goal = goalPose.read();
    if (goal != goalInUse) {
      goalInUse = goal;
      field.goal = goal;
      field.cacheValid = false;
      headway.reset();
    }
    if (!headway.gaining(field.goal.findDistanceTo(pose), static_cast<double>(ArTime::nowMSec()))) {
      writeLine(stderr, "POTFIELD: no headway toward the goal for 10 s; stopping at a local minimum");
      return;
    }
    field.computeField(pose.getX(), pose.getY());
    const double strength = fieldStrength(field);
    if (strength < WEAKEST_FORCE) return;
    robot->setVel(static_cast<int>(strength * 200));
    robot->setHeading(static_cast<int>(fieldHeading(field)));
    sleepUnlocked(100);
    if (getExitFlag() != 0) return;
  }
}

}  // namespace

void actPotField() {
  const int startMode = getMode();
  const ArPose goalInUse = goalPose.read();
  PotField field = localPotField(goalInUse, 200);
  robot->lock();
  if (getExitFlag() == 0) followField(startMode, goalInUse, field);
  robot->unlock();
}
