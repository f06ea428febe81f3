// The frontier planner's thread, on a drawn map.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "map/occupancy_map.h"
#include "nav/plan_worker.h"

namespace {

// A corridor 0.5 m wide, closed at x = 0 and open to the unknown at its east end, 3 m
// on. A place that held the robot, on the corridor's axis 1.2 m ahead of it, shuts the
// corridor for the plans: the frontier beyond is out of reach. A robot standing in such
// a place plans its way out of it.
TEST(PlanWorker, APlaceThatHeldTheRobotShutsThePathsThroughIt) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  for (int32_t x = 0; x <= 30; ++x) {
    for (int32_t y = 0; y <= 6; ++y) {
      map.growToCover(x, y);
      map.cellAt(x, y) = x == 0 || y == 0 || y == 6 ? MapCell{0x00FF} : MapCell{0};
    }
  }
  TargetWeights weights;
  weights.travel.bodyRadius = weights.travel.weakRadius = 150;
  weights.travel.inflation = 300;
  const ArPose held(1650, 350);
  auto targetFrom = [&](const ArPose& robot) {
    PlanWorker worker(map, weights);
    PlanWorker::Request request;
    request.pose = robot;
    request.shunned = {held};
    worker.ask(request);
    for (int i = 0; i < 500; ++i) {
      if (std::optional<PlanWorker::Answer> answer = worker.take()) return answer->choice.found;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "no plan";
    return false;
  };
  EXPECT_FALSE(targetFrom(ArPose(450, 350)));
  EXPECT_TRUE(targetFrom(held)) << "standing in the place, the robot plans its way out";
}

}  // namespace
