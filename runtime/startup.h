#pragma once
#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "aria/ar_pose.h"
#include "map/map_cell.h"
#include "net/messages.h"

// The prompt before the agent's name.
constexpr const char* NAME_PROMPT = "Please enter the agent ID name (no space please) ";
constexpr size_t MIN_NAME_LENGTH = 3;

// Characters of a real as senders write it ("%.3lf") for a coordinate at the bound that
// receivers apply: sign, integer digits, point, three decimals ("-200000.000").
constexpr size_t widestCoordinateText() {
  size_t digits = 1;
  for (long v = static_cast<long>(MAP_COORD_BOUND_MM); v >= 10; v /= 10) ++digits;
  return 1 + digits + 1 + 3;
}
// The longest name with which every message the agent sends still fits in a datagram
// with its NUL: E, the longest, carries five reals after the name.
constexpr size_t MAX_NAME_LENGTH = MSG_BUFFER_SIZE - 1 - 2 - 5 * (1 + widestCoordinateText());

// Why a name cannot serve as an agent's name, or nullptr when it can. Receivers read the
// name as one word, so it holds no blanks (nor control characters), and it has at least
// MIN_NAME_LENGTH and at most MAX_NAME_LENGTH characters.
const char* nameProblem(std::string_view name);

// Prompts on out and reads whole lines from in until one is a usable name. A line
// shorter than 3 characters only repeats the prompt; any other refused line gets a
// one-line reason on err first. False when in ends first.
bool readAgentName(std::istream& in, std::ostream& out, std::ostream& err, std::string& name);

// Seeds the random generator, takes the agent's name (givenName, or read at the prompt
// when it is empty), sets the robot's pose to start and enters this agent with that
// pose into peerTable. False when standard input ended before a usable name: a message
// is on standard error and nothing else was changed.
bool startUp(const std::string& givenName, const ArPose& start);
