#pragma once
// A real ArRobot connected to an in-process simulator on an ephemeral loopback port,
// installed as the agent's robot, with fresh maps and a feeder thread that enters the
// robot's own sonar readings and poses into localMap, standing in for the multicast
// loopback that carries them in the agent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "aria/aria.h"
#include "map/map_updates.h"
#include "runtime/shared_state.h"
#include "sim/server.h"

namespace navtest {

inline sim::World worldOf(const char* text) {
  sim::World world;
  std::string error;
  EXPECT_TRUE(sim::parseWorld(text, world, error)) << error;
  return world;
}

inline sim::ServerOptions loopbackOptions() {
  sim::ServerOptions options;
  options.port = 0;
  options.quiet = true;
  return options;
}

class SimSession {
 public:
  explicit SimSession(const char* worldText) : myServer(worldOf(worldText), loopbackOptions()) {}
  ~SimSession() { stop(); }

  // Connects the robot and starts feeding the map; false (with a test failure) if not up.
  bool start() {
    std::string error;
    if (!myServer.start(error)) {
      ADD_FAILURE() << error;
      return false;
    }
    myLink.setPort("127.0.0.1", myServer.port());
    myRobot.setDeviceConnection(&myLink);
    myRobot.addRangeDevice(&mySonar);
    if (!myRobot.blockingConnect()) {
      ADD_FAILURE() << "robot did not connect";
      return false;
    }
    myRobot.runAsync(true);
    myRobot.enableMotors();
    myRobot.enableSonar();
    robot = &myRobot;
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
    if (robot == &myRobot) {
      myRobot.stopRunning(true);
      robot = nullptr;
      destroyMaps();
    }
    myServer.stop();
  }

  // The robot server goes away: the robot loses its connection.
  void stopServer() { myServer.stop(); }

  ArPose pose() {
    myRobot.lock();
    const ArPose now = myRobot.getPose();
    myRobot.unlock();
    return now;
  }

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
    mySonar.lockDevice();
    const std::vector<ArPoseWithTime> readings = mySonar.getCurrentBufferAsVector();
    mySonar.unlockDevice();
    for (const ArPoseWithTime& reading : readings) {
      ArPose at;
      myRobot.lock();
      const int found = myRobot.getPoseInterpPosition(reading.getTime(), &at);
      myRobot.unlock();
      if (found < 0) continue;
      ArLockGuard hold(localMap->mutex);
      markReading(*localMap, reading, at);
    }
    myRobot.lock();
    const ArPose now = myRobot.getPose();
    myRobot.unlock();
    ArLockGuard hold(localMap->mutex);
    markPose(*localMap, now);
  }

  sim::Server myServer;
  ArTcpConnection myLink;
  ArSonarDevice mySonar{64, 1024, "sonar"};
  ArRobot myRobot;
  std::thread myFeeder;
  std::mutex myFeederMutex;
  std::condition_variable myFeederWake;
  bool myStopFeeding = false;
};

}  // namespace navtest
