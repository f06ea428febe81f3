#pragma once
// What a robot's behaviour says about its way, as T messages carry it (an extension:
// agents that do not know T drop it): a status and the place it is about.
#include <cstdint>

enum WayStatus : uint16_t {
  WAY_HEADING = 0,    // exploring: heading for the frontier at the place
  WAY_GAVE_UP = 1,    // exploring: gave up the frontier at the place, set aside for a while
  WAY_COMPLETE = 2,   // exploring: no reachable frontier left; the place is where the robot stopped
  WAY_NONE = 3,       // flood path: no way to the goal at the place, robot stopped
  WAY_FOUND = 4,      // flood path: a way to the goal at the place again, driving on
};
constexpr uint16_t WAY_STATUS_COUNT = 5;

// The status in words ("heading for the frontier at"), for lines and pages; "unknown
// status" for a value this program does not know.
inline const char* wayStatusText(uint16_t status) {
  switch (status) {
    case WAY_HEADING: return "heading for the frontier at";
    case WAY_GAVE_UP: return "gave up the frontier at";
    case WAY_COMPLETE: return "exploration complete, stopped at";
    case WAY_NONE: return "no way to the goal at";
    case WAY_FOUND: return "a way to the goal at";
    default: return "unknown status at";
  }
}
