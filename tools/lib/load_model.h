#pragma once
// The scale model behind agentctl load: N simulated agents at the agents' real rates.
// Every 500 ms cycle each agent sends up to 16 E messages (one per sonar disc with an
// echo) and then its P; every second cycle also its D. Each robot drives a circle of its
// own, 1 to 3 m across, around a centre on a 3 m grid, and its sonar sees a wall ring
// of 2 to 5 m about that centre, so all coordinates stay realistic and in bounds.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/messages.h"

constexpr int LOAD_CYCLE_MS = 500;
constexpr int LOAD_SONAR_DISCS = 16;

class LoadModel {
 public:
  explicit LoadModel(int agents);

  // Hands every message of cycle number `cycle` (0, 1, ...) to send, in sending order.
  void playCycle(long cycle, const std::function<void(const Message&)>& send) const;
  // The same for one agent only; real agents are not synchronised, so a player spreads
  // the agents over the cycle instead of sending all of them in one burst.
  void playAgentCycle(int index, long cycle, const std::function<void(const Message&)>& send) const {
    playAgent(myAgents[static_cast<size_t>(index)], cycle, send);
  }
  int agentCount() const { return static_cast<int>(myAgents.size()); }

  const std::string& agentName(int index) const { return myAgents[static_cast<size_t>(index)].name; }

 private:
  struct Agent {
    std::string name;
    double centreX, centreY;  // mm
    double radius;            // of the driven circle, mm
    double wallRange;         // of the wall ring around the centre, mm
    double phase;             // degrees
  };
  void playAgent(const Agent& agent, long cycle, const std::function<void(const Message&)>& send) const;

  std::vector<Agent> myAgents;
};
