#pragma once
// The way statuses this agent's behaviours report, waiting for the sender that puts them
// on the group as T messages: every report is sent once, and the current one (an
// exploring robot's target) again every second while it holds, so that teammates and
// pages that start late or lost a datagram learn it too.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"

struct WayReport {
  uint16_t status = 0;  // base/way_status.h
  double x = 0, y = 0;  // mm
};

class WayReports {
 public:
  // A new report, which also becomes the current one.
  void post(uint16_t status, const ArPose& at);
  // The behaviour ends: no report is current any more.
  void endCurrent();
  // The reports posted since the last call; with none, the current one again when the
  // last reports were taken a second or more before nowMs (any steady milliseconds).
  std::vector<WayReport> take(int64_t nowMs);

 private:
  // Reports not yet taken, at most this many (the oldest are dropped): a sender that
  // stalled must not make the list grow without end.
  static constexpr size_t MOST_WAITING = 16;
  ArMutex myMutex{true};
  std::vector<WayReport> myWaiting;
  std::optional<WayReport> myCurrent;
  int64_t myTakenMs = 0;
  bool myTaken = false;
};
