// Library start-up and shut-down: the registry of live robots, the signal thread that
// stops them on SIGINT/SIGTERM and runs the exit callbacks, and shutdown(), which stops
// every cycle thread.
#include "aria/aria.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "aria/ar_robot_impl.h"

namespace {

// Robots are removed only while no shutdown walks the list, so a walker may use its
// snapshot without holding the lock (it joins threads, which may take a while). Exit
// callbacks are removed only while they are not being run, for the same reason.
struct Registry {
  std::mutex mutex;
  std::condition_variable idle;
  std::vector<ArRobot::Impl*> robots;
  int walkers = 0;
  std::vector<ArFunctor*> exitCallbacks;
  bool runningExitCallbacks = false;
  std::atomic<bool> ending{false};
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

// Waits up to ms for one of the signals of set: its number, or 0 when none came.
int awaitSignal(const sigset_t& set, int ms) {
  using namespace std::chrono;
  const steady_clock::time_point deadline = steady_clock::now() + milliseconds(ms);
  for (;;) {
    const long long left = duration_cast<nanoseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) return 0;
    const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    const int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig > 0) return sig;
    if (errno != EINTR) return 0;
  }
}

// The exit callbacks, then the end of the process. Not a detached thread's usual end:
// whoever finishes first (this, the grace period or a second signal) ends the process.
[[noreturn]] void runExitCallbacks(int status) {
  Registry& r = registry();
  std::vector<ArFunctor*> callbacks;
  {
    std::lock_guard<std::mutex> hold(r.mutex);
    r.runningExitCallbacks = true;
    callbacks = r.exitCallbacks;
  }
  for (ArFunctor* f : callbacks) f->invoke();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

[[noreturn]] void signalThread(sigset_t set) {
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  registry().ending = true;
  std::vector<ArRobot::Impl*> robots = beginWalk();
  for (ArRobot::Impl* robot : robots) robot->emergencyStop();
  // The cycles never wait indefinitely, so this is brief; nothing is left half-done.
  for (ArRobot::Impl* robot : robots) robot->stopCycle(true);
  std::thread(runExitCallbacks, 128 + sig).detach();
  // A second signal, or the end of the grace period, ends the process without waiting
  // for the callbacks (or for a stream another thread may hold).
  const int second = awaitSignal(set, Aria::EXIT_GRACE_MS);
  _exit(128 + (second > 0 ? second : sig));
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

bool processEnding() { return registry().ending.load(); }

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

void Aria::addExitCallback(ArFunctor* functor) {
  if (!functor) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mutex);
  r.exitCallbacks.push_back(functor);
}

void Aria::remExitCallback(ArFunctor* functor) {
  Registry& r = registry();
  std::unique_lock<std::mutex> hold(r.mutex);
  r.idle.wait(hold, [&] { return !r.runningExitCallbacks; });
  std::erase(r.exitCallbacks, functor);
}

void Aria::shutdown() {
  for (ArRobot::Impl* robot : beginWalk()) robot->stopCycle(true);
  endWalk();
}
