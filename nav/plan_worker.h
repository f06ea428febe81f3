#pragma once
// The frontier planner on a thread of its own. The exploring behaviour asks for a plan
// and keeps checking its way and commanding the robot every cycle until the answer is
// there, so that no command outlives the check before it while a plan is computed.
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "aria/ar_pose.h"
#include "map/occupancy_map.h"
#include "nav/plan/frontier_target.h"
#include "nav/plan/map_window.h"

class PlanWorker {
 public:
  struct Request {
    ArPose pose;
    std::vector<ArPose> peers;     // the teammates heard from lately
    std::vector<ArPose> blockers;  // echoes that stopped the robot: obstacles in the plan
    double now = 0;                // seconds on the behaviour's steady clock
    bool giveUp = false;           // the current target is given up first
    std::optional<ArPose> trap;    // and the frontier round this place too
    bool forgive = false;          // every place set aside may be a target again
    std::vector<ArPose> shunned;   // places that held the robot: no path passes within
                                   // SHUNNED_MM of one (unless the robot stands there)
  };
  static constexpr double SHUNNED_MM = 350;
  struct Answer {
    TargetChoice choice;
    std::optional<ArPose> before;  // the target before this plan
    int learned = 0;               // cells near the robot known now that the plan before did not know
    bool expiring = false;         // some place is set aside only for a while
    std::optional<Blacklist> setAside;  // the places set aside, as this plan left them
    double askedAt = 0;            // the request's now
    double seconds = 0;            // how long the plan took
    double cpuSeconds = 0;         // of which the planning thread ran
  };

  // Plans over map (the team's global map, read under its mutex), which must outlive
  // the worker, with the places an earlier worker set aside.
  explicit PlanWorker(OccupancyMap& map, const TargetWeights& weights = {},
                      const std::optional<Blacklist>& setAside = std::nullopt);
  // Waits for a plan under way, then ends the thread.
  ~PlanWorker();
  PlanWorker(const PlanWorker&) = delete;
  PlanWorker& operator=(const PlanWorker&) = delete;

  // A request is waiting or being planned; its answer has not been taken.
  bool busy() const;
  // Asks for a plan; ignored while busy.
  void ask(Request request);
  // The answer to the last request, once, when it is ready.
  std::optional<Answer> take();

 private:
  void serve();
  Answer plan(const Request& request);
  void shun(const Request& request);
  int learnedNear(const ArPose& pose) const;

  OccupancyMap& myMap;
  FrontierPlanner myPlanner;
  CellBox myObserved;  // the team's observed region, grown plan by plan
  MapWindow myWindow, myPrevious;

  mutable std::mutex myMutex;
  std::condition_variable myWake;
  std::optional<Request> myRequest;
  std::optional<Answer> myAnswer;
  bool myBusy = false, myStop = false;
  std::thread myThread;  // last: starts once everything it uses is built
};
