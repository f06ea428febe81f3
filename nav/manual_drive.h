#pragma once
// The arithmetic of driving by joystick: centred axes to motion commands, and the
// one-line joystick status.
#include <cstddef>
#include <cstdint>

#include "platform/joystick.h"

constexpr int JOY_AXES = 6;  // X, Y, Z, R, U, V

// One poll's centred axes (raw position minus 32767) and button bits.
struct JoyPoll {
  int axes[JOY_AXES] = {};
  uint32_t buttons = 0;
  bool operator==(const JoyPoll&) const = default;
};

JoyPoll centredPoll(const JoyRecord& record);

// mm/s from the forward/back axis: 0 in the dead zone, full forward +999, full back -1000.
int manualVelocity(int centredY);
// Degrees from the left/right axis: 0 in the dead zone, full right -90, full left +89.
int manualHeadingChange(int centredX);

// The status line without its line end: "B: " and ten button digits (button 10
// first), the first numAxes axes as " X:%7d" ..., " more skipped" beyond six, and
// " POW: %7d" when the hat is off centre. Returns the length written (at most size - 1).
size_t formatJoyStatus(char* out, size_t size, const JoyPoll& poll, int numAxes, uint32_t pov);
