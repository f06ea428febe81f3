#include "runtime/startup.h"

#include <cstdlib>
#include <iostream>

#include "aria/ar_robot.h"
#include "base/clock.h"
#include "base/console.h"
#include "base/text.h"
#include "state/shared_state.h"

const char* nameProblem(std::string_view name) {
  static const std::string tooLong =
      "a name is too long for the messages (at most " + std::to_string(MAX_NAME_LENGTH) + " characters)";
  if (name.size() < MIN_NAME_LENGTH) return "a name needs at least 3 characters";
  if (name.size() > MAX_NAME_LENGTH) return tooLong.c_str();
  for (char c : name) {
    if (isBlank(c)) return "a name cannot contain blanks";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a name cannot contain control characters";
  }
  return nullptr;
}

bool readAgentName(std::istream& in, std::ostream& out, std::ostream& err, std::string& name) {
  for (;;) {
    out << NAME_PROMPT << std::flush;
    if (!std::getline(in, name)) return false;
    if (name.size() < MIN_NAME_LENGTH) continue;
    const char* problem = nameProblem(name);
    if (problem == nullptr) return true;
    err << std::string("Name refused: ") + problem + ".\n" << std::flush;
  }
}

bool startUp(const std::string& givenName, const ArPose& start) {
  uint32_t startTime = calendarSeconds();
  std::srand(startTime);
  if (!givenName.empty()) {
    agentId = givenName;
  } else if (!readAgentName(std::cin, std::cout, std::cerr, agentId)) {
    writeLine(stdout, "");
    writeLine(stderr, "Standard input ended before a usable agent name was given.");
    return false;
  }
  robot->moveTo(start, true);
  ArLockGuard hold(peerTableMutex);
  PeerEntry& own = peerTable[agentId];
  own.active = true;
  own.pose = start;
  own.lastSeen = startTime;
  return true;
}
