#include "tools/lib/load_model.h"

#include <cmath>
#include <cstdio>

#include "aria/ar_math.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double GRID_MM = 3000;
constexpr double SONAR_MAX_MM = 5000;  // no echo beyond
constexpr double DEGREES_PER_CYCLE = 3;

double radians(double degrees) { return degrees * PI / 180; }

}  // namespace

LoadModel::LoadModel(int agents) {
  const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(agents))));
  for (int i = 0; i < agents; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "load-%04d", i + 1);
    const double column = i % side - side / 2;
    const double row = i / side - side / 2;
    myAgents.push_back(Agent{name, column * GRID_MM, row * GRID_MM, 500.0 + (i * 137) % 1000,
                             2000.0 + (i * 331) % 3000, static_cast<double>((i * 47) % 360)});
  }
}

void LoadModel::playCycle(long cycle, const std::function<void(const Message&)>& send) const {
  for (const Agent& agent : myAgents) playAgent(agent, cycle, send);
}

void LoadModel::playAgent(const Agent& agent, long cycle, const std::function<void(const Message&)>& send) const {
  const double angle = agent.phase + DEGREES_PER_CYCLE * static_cast<double>(cycle);
  const double x = agent.centreX + agent.radius * std::cos(radians(angle));
  const double y = agent.centreY + agent.radius * std::sin(radians(angle));
  const double heading = ArMath::fixAngle(angle + 90);  // as the agents report headings
  for (int disc = 0; disc < LOAD_SONAR_DISCS; ++disc) {
    // The ray from the robot to the wall ring; discs whose wall lies beyond sonar
    // range see nothing, so some cycles carry fewer than 16 readings.
    const double bearing = radians(heading + disc * (360.0 / LOAD_SONAR_DISCS));
    const double dx = std::cos(bearing), dy = std::sin(bearing);
    const double offX = x - agent.centreX, offY = y - agent.centreY;
    const double along = offX * dx + offY * dy;
    const double range = -along + std::sqrt(along * along - (offX * offX + offY * offY) + agent.wallRange * agent.wallRange);
    if (range > SONAR_MAX_MM) continue;
    send(Message{'E', agent.name, {x + range * dx, y + range * dy, x, y, heading}});
  }
  send(Message{'P', agent.name, {x, y, heading}});
  if (cycle % 2 == 0) send(Message{'D', agent.name, {x, y, heading}});
}
