#include "runtime/controller.h"

#include <iostream>

#include "aria/ar_robot.h"
#include "map/map_file.h"
#include "nav/behaviours.h"
#include "state/shared_state.h"

namespace {

void log(const char* text) { std::cerr << "CONTROLER: " << text << std::endl; }

void stopRobot() {
  RobotLockGuard hold;
  robot->stop();
}

void saveMapsForOperator() {
  setMode(MODE_STOP_AND_MANUAL);
  stopRobot();
  std::cout << "Paused for saving map files. . ." << std::flush;
  saveMaps();
  std::cout << " Done!" << std::endl;
}

}  // namespace

void saveMaps() {
  {
    ArLockGuard hold(localMap->mutex);
    writeMapFile(*localMap, "map_local.ppm");
  }
  ArLockGuard hold(globalMap->mutex);
  writeMapFile(*globalMap, "map_global.ppm");
}

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
    std::cerr << "CONTROLER: Mode: " << getMode() << std::endl;
    dispatchMode(getMode());
  }
  stopRobot();
  log("Exiting thread");
}
