#include "runtime/startup.h"

#include <cstdlib>
#include <iostream>

#include "aria/ar_robot.h"
#include "base/clock.h"
#include "state/shared_state.h"

bool readAgentName(std::istream& in, std::ostream& out, std::string& name) {
  do {
    out << NAME_PROMPT << std::flush;
    if (!std::getline(in, name)) return false;
  } while (name.size() < MIN_NAME_LENGTH);
  return true;
}

bool startUp() {
  uint32_t startTime = calendarSeconds();
  std::srand(startTime);
  if (!readAgentName(std::cin, std::cout, agentId)) {
    std::cout << std::endl;
    std::cerr << "Standard input ended before an agent name of at least " << MIN_NAME_LENGTH
              << " characters was given." << std::endl;
    return false;
  }
  robot->moveTo(ArPose(0, 0, 0), true);
  ArLockGuard hold(peerTableMutex);
  PeerEntry& own = peerTable[agentId];
  own.active = true;
  own.pose = ArPose(0, 0, 0);
  own.lastSeen = startTime;
  return true;
}
