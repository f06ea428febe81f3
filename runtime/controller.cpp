#include "runtime/controller.h"

#include <string>

#include "aria/ar_robot.h"
#include "base/console.h"
#include "nav/behaviours.h"
#include "runtime/map_files.h"
#include "state/shared_state.h"

namespace {

void log(const std::string& text) { writeLine(stderr, "CONTROLER: " + text); }

void stopRobot() {
  RobotLockGuard hold;
  robot->stop();
}

void saveMapsForOperator() {
  setMode(MODE_STOP_AND_MANUAL);
  stopRobot();
  writeText(stdout, "Paused for saving map files. . .");
  saveMaps();
  writeLine(stdout, " Done!");
}

}  // namespace

void finishBehaviourMode(int from) {
  ArLockGuard hold(modeMutex);
  if (mode == from) mode = MODE_STOP_AND_MANUAL;
}

void dispatchMode(int value) {
  switch (value) {
    case MODE_ERRATIC:
      log("Run: actErratic");
      actErratic();
      break;
    case MODE_STOP_AND_MANUAL:
      log("Run: actStopAndManual");
      actStopAndManual();
      break;
    case MODE_POT_FIELD:
      log("Run: actPotField");
      actPotField();
      finishBehaviourMode(MODE_POT_FIELD);
      break;
    case MODE_PATH:
      log("Run: actPath");
      actPath();
      finishBehaviourMode(MODE_PATH);
      break;
    case MODE_EXPLORE:
      log("Run: actExplore");
      actExplore();
      // A pass that ends (robot lost or stalled) leaves the mode, so the next pass explores on.
      if (getExitFlag() == 0) finishBehaviourMode(MODE_EXPLORE);
      break;
    case MODE_SAVE_MAPS:
      log("Run: save maps");
      saveMapsForOperator();
      break;
    case MODE_STOP:
      log("Run: actStop");
      stopRobot();
      setExitFlag(1);
      break;
    default:
      log("Invalid mode received, switching to random exploration");
      setMode(MODE_ERRATIC);
      break;
  }
}

void controllerThread() {
  while (getExitFlag() == 0) {
    if (!robotUp() || robotStalled()) {
      setExitFlag(1);
      break;
    }
    log("Mode: " + std::to_string(getMode()));
    dispatchMode(getMode());
  }
  stopRobot();
  log("Exiting thread");
}
