#pragma once
#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

// The prompt before the agent's name.
constexpr const char* NAME_PROMPT = "Please enter the agent ID name (no space please) ";
constexpr size_t MIN_NAME_LENGTH = 3;

// Prompts on out and reads whole lines from in until one holds at least 3 characters
// (kept as typed, blanks included). False when in ends first.
bool readAgentName(std::istream& in, std::ostream& out, std::string& name);

// Seeds the random generator, reads agentId from standard input, sets the robot's pose
// to the origin and enters this agent into peerTable. False when standard input ended
// before a usable name: a message is on standard error and nothing else was changed.
bool startUp();
