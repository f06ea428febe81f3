#include "nav/plan_worker.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <utility>

#include "map/map_cell.h"

namespace {

// Known cells this close to the observed region belong to it (1 m): more than the reach
// of the travel costs' inflation, so that the plans over the region are those over the
// whole map. Farther ones cannot be reached over known cells from it anyway.
constexpr int32_t OBSERVED_REACH = 10;
// Newly known cells are counted this many cells round the robot.
constexpr int32_t LEARNED_REACH = 30;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

PlanWorker::PlanWorker(OccupancyMap& map, const TargetWeights& weights, const std::optional<Blacklist>& setAside)
    : myMap(map), myPlanner(weights), myThread([this] { serve(); }) {
  if (setAside) myPlanner.keepSetAside(*setAside);
}

PlanWorker::~PlanWorker() {
  {
    std::lock_guard<std::mutex> hold(myMutex);
    myStop = true;
  }
  myWake.notify_one();
  myThread.join();
}

bool PlanWorker::busy() const {
  std::lock_guard<std::mutex> hold(myMutex);
  return myBusy || myAnswer.has_value();
}

void PlanWorker::ask(Request request) {
  {
    std::lock_guard<std::mutex> hold(myMutex);
    if (myBusy || myAnswer) return;
    myRequest = std::move(request);
    myBusy = true;
  }
  myWake.notify_one();
}

std::optional<PlanWorker::Answer> PlanWorker::take() {
  std::lock_guard<std::mutex> hold(myMutex);
  std::optional<Answer> answer = std::move(myAnswer);
  myAnswer.reset();
  return answer;
}

void PlanWorker::serve() {
  std::unique_lock<std::mutex> lock(myMutex);
  for (;;) {
    myWake.wait(lock, [this] { return myStop || myRequest.has_value(); });
    if (myStop) return;
    const Request request = std::move(*myRequest);
    myRequest.reset();
    lock.unlock();
    Answer answer = plan(request);
    lock.lock();
    myAnswer = std::move(answer);
    myBusy = false;
  }
}

// The global map's observed region is copied in one short locked step; the plan itself
// holds no mutex.
PlanWorker::Answer PlanWorker::plan(const Request& request) {
  const double start = steadySeconds(), cpuStart = threadCpuSeconds();
  std::swap(myWindow, myPrevious);
  {
    ArLockGuard hold(myMap.mutex);
    myObserved.include(myMap.toCell(request.pose.getX()), myMap.toCell(request.pose.getY()));
    growToObserved(myMap, myObserved, OBSERVED_REACH);
    myWindow.copyFrom(myMap, myObserved);
  }
  // The map may hold an echo that stopped the robot as a stray one (hit once or twice),
  // which paths pass closely; it counts as a confirmed obstacle in the plans for a while.
  for (const ArPose& b : request.blockers) {
    const int32_t x = myWindow.toCell(b.getX()), y = myWindow.toCell(b.getY());
    if (myWindow.inBounds(x, y)) myWindow.cellAt(x, y) = CELL_OCCUPANCY;
  }
  shun(request);
  Answer answer;
  if (request.forgive) myPlanner.forgetSetAside();
  if (request.giveUp) myPlanner.giveUpTarget(request.now);
  if (request.trap) myPlanner.setAside(*request.trap, request.now);
  answer.before = myPlanner.currentTarget();
  answer.choice = myPlanner.choose(myWindow, request.pose, request.peers, request.now);
  answer.learned = learnedNear(request.pose);
  answer.expiring = myPlanner.blacklist().expiring(request.now);
  answer.setAside = myPlanner.blacklist();
  answer.askedAt = request.now;
  answer.seconds = steadySeconds() - start;
  answer.cpuSeconds = threadCpuSeconds() - cpuStart;
  return answer;
}

// A place that held the robot is an obstacle in the plan, all round it: a path through
// it would lead the robot back in. Not while the robot stands there, so that it can plan
// its way out.
void PlanWorker::shun(const Request& request) {
  const auto reach = static_cast<int32_t>(SHUNNED_MM / myWindow.res);
  for (const ArPose& place : request.shunned) {
    if (place.findDistanceTo(request.pose) <= SHUNNED_MM + myWindow.res) continue;
    const int32_t cx = myWindow.toCell(place.getX()), cy = myWindow.toCell(place.getY());
    for (int32_t x = cx - reach; x <= cx + reach; ++x) {
      for (int32_t y = cy - reach; y <= cy + reach; ++y) {
        if (!myWindow.inBounds(x, y)) continue;
        if (std::hypot(cellCentre(x, myWindow.res) - place.getX(), cellCentre(y, myWindow.res) - place.getY()) > SHUNNED_MM) continue;
        myWindow.cellAt(x, y) = CELL_OCCUPANCY;
      }
    }
  }
}

// Cells near the robot that the map knows now but did not know at the plan before.
int PlanWorker::learnedNear(const ArPose& pose) const {
  const int32_t cx = myWindow.toCell(pose.getX()), cy = myWindow.toCell(pose.getY());
  int learned = 0;
  for (int32_t x = cx - LEARNED_REACH; x <= cx + LEARNED_REACH; ++x) {
    for (int32_t y = cy - LEARNED_REACH; y <= cy + LEARNED_REACH; ++y) {
      learned += (myPrevious.cellOrUnknown(x, y) & CELL_UNKNOWN) && !(myWindow.cellOrUnknown(x, y) & CELL_UNKNOWN);
    }
  }
  return learned;
}
