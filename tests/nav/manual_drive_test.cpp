#include <gtest/gtest.h>

#include <string>

#include "nav/manual_drive.h"
#include "platform/joystick.h"

namespace {

std::string status(const JoyPoll& poll, int numAxes, uint32_t pov) {
  char line[160];
  const size_t length = formatJoyStatus(line, sizeof line, poll, numAxes, pov);
  return std::string(line, length);
}

TEST(ManualDrive, DeadZonesAndFullDeflections) {
  for (int y : {0, 14, -14, 15, -15, 32, -32}) EXPECT_EQ(manualVelocity(y), 0) << y;
  EXPECT_EQ(manualVelocity(-33), 1);
  EXPECT_EQ(manualVelocity(33), -1);
  EXPECT_EQ(manualVelocity(0 - 32767), 999);     // stick fully forward (raw 0)
  EXPECT_EQ(manualVelocity(65535 - 32767), -1000);  // fully back (raw 65535)

  for (int x : {0, 239, -239, 364, -364}) EXPECT_EQ(manualHeadingChange(x), 0) << x;
  EXPECT_EQ(manualHeadingChange(365), -1);
  EXPECT_EQ(manualHeadingChange(65535 - 32767), -90);  // full right
  EXPECT_EQ(manualHeadingChange(0 - 32767), 89);       // full left

  JoyRecord rest;
  const JoyPoll centred = centredPoll(rest);
  EXPECT_EQ(centred, JoyPoll{});
  EXPECT_EQ(manualVelocity(centred.axes[1]), 0);
  EXPECT_EQ(manualHeadingChange(centred.axes[0]), 0);
}

TEST(ManualDrive, StatusLineShowsButtonsAxesAndHat) {
  JoyPoll poll;
  poll.buttons = (1u << 9) | (1u << 2) | 1u | (1u << 12);  // bits above button 10 are not shown
  poll.axes[0] = -32767;
  poll.axes[2] = 5;
  poll.axes[5] = 32768;
  EXPECT_EQ(status(poll, 3, JOY_POV_CENTERED), "B: 1000000101 X: -32767 Y:      0 Z:      5");
  EXPECT_EQ(status(poll, 0, JOY_POV_CENTERED), "B: 1000000101");
  EXPECT_EQ(status(poll, 8, 0),
            "B: 1000000101 X: -32767 Y:      0 Z:      5 R:      0 U:      0 V:  32768 more skipped POW:       0");
  EXPECT_EQ(status(JoyPoll{}, 2, 36000), "B: 0000000000 X:      0 Y:      0 POW:   36000");
  EXPECT_EQ(status(JoyPoll{}, 2, 36001), "B: 0000000000 X:      0 Y:      0");

  char small[8];
  EXPECT_EQ(formatJoyStatus(small, sizeof small, poll, 6, 0), 7u);  // truncated, terminated
  EXPECT_EQ(std::string(small), "B: 1000");
}

}  // namespace
