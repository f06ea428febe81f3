#pragma once
// What agentctl watch prints: each datagram decoded on one line, and a summary per
// agent over the time since the previous summary.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "net/messages.h"

// One line for a message, e.g. "E alpha point 1000.000 -500.000 robot 0.000 0.000 45.000".
std::string describeMessage(const Message& message);
// One line for a datagram that is not a readable message, its text escaped.
std::string describeUnreadable(const char* bytes, size_t length);

class TrafficSummary {
 public:
  explicit TrafficSummary(int64_t startMs) : myWindowStartMs(startMs), myStartMs(startMs) {}

  void record(const Message& message);
  void recordUnreadable() {
    ++myUnreadable;
    ++myUnreadableTotal;
  }

  // Rates of each agent's D, P, E and O messages since the previous report and their
  // last pose (from P or D), then the commands seen; starts a new window.
  std::string report(int64_t nowMs);
  // The same over the whole run.
  std::string finalReport(int64_t nowMs) const;

 private:
  struct Counts {
    long d = 0, p = 0, e = 0, o = 0;
  };
  struct Agent {
    Counts window, total;
    bool posed = false;
    double x = 0, y = 0, th = 0;
  };
  std::string describe(int64_t fromMs, int64_t toMs, bool whole) const;

  std::map<std::string, Agent, std::less<>> myAgents;
  long myCommands = 0, myCommandsTotal = 0;
  long myUnreadable = 0, myUnreadableTotal = 0;
  int64_t myWindowStartMs;
  int64_t myStartMs;
};
