#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/joystick.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

TEST(Joystick, AxisAndHatConversions) {
  EXPECT_EQ(axisPosition(-32767), 0u);
  EXPECT_EQ(axisPosition(-32768), 0u);
  EXPECT_EQ(axisPosition(0), 32767u);
  EXPECT_EQ(axisPosition(1), 32768u);
  EXPECT_EQ(axisPosition(32767), 65535u);
  EXPECT_EQ(hatToPov(0, 0), JOY_POV_CENTERED);
  EXPECT_EQ(hatToPov(0, -32767), 0u);
  EXPECT_EQ(hatToPov(32767, -32767), 4500u);
  EXPECT_EQ(hatToPov(32767, 0), 9000u);
  EXPECT_EQ(hatToPov(0, 32767), 18000u);
  EXPECT_EQ(hatToPov(-32767, 32767), 22500u);
  EXPECT_EQ(hatToPov(-32767, 0), 27000u);
}

class FifoJoystick : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nav-joystick-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/js0";
  }
  void TearDown() override {
    if (writer >= 0) close(writer);
    unlink(path.c_str());
    rmdir(path.c_str());
    rmdir(dir.c_str());
  }
  void openWriter() {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    writer = open(path.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
  }
  void send(uint8_t type, uint8_t number, int16_t value, size_t bytes = sizeof(js_event)) {
    const js_event event{0, value, type, number};
    ASSERT_EQ(write(writer, &event, bytes), static_cast<ssize_t>(bytes));
  }

  std::string dir, path;
  int writer = -1;
};

TEST_F(FifoJoystick, StateAccumulatesAcrossPollsFromChangeEvents) {
  LinuxJoystick joystick(path);
  JoyRecord record;
  EXPECT_NE(joystick.poll(record), 0);  // no device yet

  openWriter();
  for (uint8_t axis = 0; axis < 8; ++axis) send(JS_EVENT_AXIS | JS_EVENT_INIT, axis, 0);
  send(JS_EVENT_AXIS, 1, -32767);
  send(JS_EVENT_BUTTON, 3, 1);
  send(JS_EVENT_AXIS, 6, 32767);  // hat right
  ASSERT_EQ(joystick.poll(record), 0);
  EXPECT_EQ(record.numAxes, 8);
  EXPECT_EQ(record.yPos, 0u);
  EXPECT_EQ(record.xPos, 32767u);
  EXPECT_EQ(record.buttons, 1u << 3);
  EXPECT_EQ(record.pov, 9000u);

  // Nothing new: the same state. Then an event split across two writes.
  ASSERT_EQ(joystick.poll(record), 0);
  EXPECT_EQ(record.yPos, 0u);
  send(JS_EVENT_AXIS, 0, 32767, 3);
  ASSERT_EQ(joystick.poll(record), 0);
  EXPECT_EQ(record.xPos, 32767u);
  const js_event rest{0, 32767, JS_EVENT_AXIS, 0};
  ASSERT_EQ(write(writer, reinterpret_cast<const char*>(&rest) + 3, sizeof rest - 3), 5);
  send(JS_EVENT_BUTTON, 3, 0);
  ASSERT_EQ(joystick.poll(record), 0);
  EXPECT_EQ(record.xPos, 65535u);
  EXPECT_EQ(record.yPos, 0u);
  EXPECT_EQ(record.buttons, 0u);
}

TEST_F(FifoJoystick, ReadErrorFailsThePollAndTheDeviceIsReopenedLater) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);  // opens, but every read fails
  LinuxJoystick joystick(path);
  JoyRecord record;
  EXPECT_NE(joystick.poll(record), 0);
  ASSERT_EQ(rmdir(path.c_str()), 0);
  openWriter();
  send(JS_EVENT_AXIS | JS_EVENT_INIT, 0, -32767);
  send(JS_EVENT_AXIS | JS_EVENT_INIT, 1, 0);
  ASSERT_EQ(joystick.poll(record), 0);
  EXPECT_EQ(record.xPos, 0u);
  EXPECT_EQ(record.numAxes, 2);
  EXPECT_EQ(record.pov, JOY_POV_CENTERED);  // no hat axes seen
}

}  // namespace
