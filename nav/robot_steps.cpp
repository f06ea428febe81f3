#include "nav/robot_steps.h"

#include "aria/ar_robot.h"
#include "aria/ar_util.h"
#include "state/shared_state.h"

bool robotLostOrStalled() { return !robot->isConnected() || !robot->isRunning() || robotStalled(); }

bool behaviourMustEnd(int startMode) {
  if (getMode() != startMode) return true;
  if (robotLostOrStalled()) {
    setExitFlag(1);
    return true;
  }
  return false;
}

void sleepUnlocked(unsigned ms) {
  robot->unlock();
  ArUtil::sleep(ms);
  robot->lock();
}
