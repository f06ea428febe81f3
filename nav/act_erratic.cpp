#include "aria/ar_actions.h"
#include "aria/ar_robot.h"
#include "nav/behaviours.h"
#include "nav/robot_steps.h"
#include "state/shared_state.h"

namespace {

// Waits, checking every 100 ms, until the mode changes, the exit flag is set or the
// robot is lost. The caller holds the robot lock.
void wander(int startMode) {
  for (;;) {
    if (behaviourMustEnd(startMode)) return;
    sleepUnlocked(100);
    if (getExitFlag() != 0) return;
  }
}

}  // namespace

void actErratic() {
  const int startMode = getMode();
  // Declared in priority order, so they are destroyed in the reverse order.
  ArActionStallRecover stallRecover("stall recover", 225, 50, 150, 45);
  ArActionBumpers bumpers("bumpers", 100, 3000, 3000, false);
  ArActionAvoidFront avoidNear("Avoid Front Near", 225, 0, 15, true);
  ArActionAvoidFront avoidFar("avoid front obstacles", 450, 200, 15, true);
  ArActionConstantVelocity constantVelocity("Constant Velocity", 400);
  struct Installed {
    ArAction* action;
    int priority;
  };
  const Installed actions[] = {{&stallRecover, 100}, {&bumpers, 75}, {&avoidNear, 50}, {&avoidFar, 49},
                               {&constantVelocity, 25}};

  robot->lock();
  robot->clearDirectMotion();
  for (const Installed& a : actions) robot->addAction(a.action, a.priority);
  robot->unlock();

  robot->lock();
  if (getExitFlag() == 0) wander(startMode);
  robot->unlock();

  robot->lock();
  for (const Installed& a : actions) robot->remAction(a.action);
  robot->unlock();
}
