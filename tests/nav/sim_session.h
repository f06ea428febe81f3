#pragma once
// The simulated robot of the tests (tests/support/sim_robot.h) installed as the agent's
// robot, with fresh maps and a feeder thread that enters the robot's own sonar readings
// and poses into localMap and globalMap, standing in for the multicast loopback that
// carries them in the agent.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "map/map_updates.h"
#include "state/shared_state.h"
#include "tests/support/sim_robot.h"

namespace navtest {

class SimSession {
 public:
  explicit SimSession(const char* worldText) : mySim(worldText) {}
  ~SimSession() { stop(); }

  // Connects the robot and starts feeding the map; false (with a test failure) if not up.
  bool start() {
    if (!mySim.connectAndRun()) {
      ADD_FAILURE() << mySim.error;
      return false;
    }
    robot = &mySim.robot;
    createMaps();
    setExitFlag(0);
    goalPose.store(ArPose(0, 0, 0));
    myFeeder = std::thread([this] { feed(); });
    return true;
  }

  void stop() {
    if (myFeeder.joinable()) {
      {
        std::lock_guard<std::mutex> hold(myFeederMutex);
        myStopFeeding = true;
      }
      myFeederWake.notify_all();
      myFeeder.join();
    }
    if (robot == &mySim.robot) {
      mySim.robot.stopRunning(true);
      robot = nullptr;
      destroyMaps();
    }
    mySim.stopServer();
  }

  // The robot server goes away: the robot loses its connection.
  void stopServer() { mySim.stopServer(); }

  ArPose pose() { return mySim.pose(); }

  // Runs the behaviour on this thread with mode set to behaviourMode. If it has not
  // returned after timeoutMs, the mode is changed so that it does; returns false then.
  bool runWithin(void (*behaviour)(), int behaviourMode, int timeoutMs) {
    setMode(behaviourMode);
    std::mutex m;
    std::condition_variable done;
    bool finished = false, timedOut = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(m);
      if (done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finished; })) return;
      timedOut = true;
      setMode(MODE_STOP_AND_MANUAL == behaviourMode ? MODE_ERRATIC : MODE_STOP_AND_MANUAL);
    });
    behaviour();
    {
      std::lock_guard<std::mutex> lock(m);
      finished = true;
    }
    done.notify_all();
    watchdog.join();
    return !timedOut;
  }

 private:
  void feed() {
    std::unique_lock<std::mutex> lock(myFeederMutex);
    while (!myFeederWake.wait_for(lock, std::chrono::milliseconds(250), [this] { return myStopFeeding; })) {
      lock.unlock();
      feedOnce();
      lock.lock();
    }
  }

  void feedOnce() {
    mySim.sonar.lockDevice();
    const std::vector<ArPoseWithTime> readings = mySim.sonar.getCurrentBufferAsVector();
    mySim.sonar.unlockDevice();
    for (const ArPoseWithTime& reading : readings) {
      ArPose at;
      mySim.robot.lock();
      const int found = mySim.robot.getPoseInterpPosition(reading.getTime(), &at);
      mySim.robot.unlock();
      if (found < 0) continue;
      for (OccupancyMap* map : {&*localMap, &*globalMap}) {
        ArLockGuard hold(map->mutex);
        markReading(*map, reading, at);
      }
    }
    const ArPose now = mySim.pose();
    for (OccupancyMap* map : {&*localMap, &*globalMap}) {
      ArLockGuard hold(map->mutex);
      markPose(*map, now);
    }
  }

  testsupport::SimRobot mySim;
  std::thread myFeeder;
  std::mutex myFeederMutex;
  std::condition_variable myFeederWake;
  bool myStopFeeding = false;
};

}  // namespace navtest
