// Library start-up and shut-down: the registry of live robots, the signal thread that
// stops them on SIGINT/SIGTERM, and shutdown(), which stops every cycle thread.
#include "aria/aria.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "aria/ar_robot_impl.h"

namespace {

// Robots are removed only while no shutdown walks the list, so a walker may use its
// snapshot without holding the lock (it joins threads, which may take a while).
struct Registry {
  std::mutex mutex;
  std::condition_variable idle;
  std::vector<ArRobot::Impl*> robots;
  int walkers = 0;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: the signal thread may outlive main
  return *r;
}

std::vector<ArRobot::Impl*> beginWalk() {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mutex);
  ++r.walkers;
  return r.robots;
}

void endWalk() {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mutex);
  if (--r.walkers == 0) r.idle.notify_all();
}

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

[[noreturn]] void signalThread(sigset_t set) {
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  std::vector<ArRobot::Impl*> robots = beginWalk();
  for (ArRobot::Impl* robot : robots) robot->emergencyStop();
  // The cycles never wait indefinitely, so this is brief; nothing is left half-done.
  for (ArRobot::Impl* robot : robots) robot->stopCycle(true);
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(128 + sig);
}

}  // namespace

namespace arrobot {

void registerRobot(ArRobot::Impl* robot) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mutex);
  r.robots.push_back(robot);
}

void unregisterRobot(ArRobot::Impl* robot) {
  Registry& r = registry();
  std::unique_lock<std::mutex> hold(r.mutex);
  r.idle.wait(hold, [&] { return r.walkers == 0; });
  std::erase(r.robots, robot);
}

}  // namespace arrobot

// SIGHANDLE_SINGLE is served by the same signal thread; SIGHANDLE_NONE leaves signals alone.
void Aria::init(SigHandleMethod method, bool, bool) {
  static std::once_flag started;
  if (method == SIGHANDLE_NONE) return;
  std::call_once(started, [] {
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(signalThread, set).detach();
  });
}

void Aria::shutdown() {
  for (ArRobot::Impl* robot : beginWalk()) robot->stopCycle(true);
  endWalk();
}
