// The joystick reader against a FIFO standing in for the kernel's joystick device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/joystick.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/joystick.h"

namespace {

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
    char pattern[] = "/tmp/platform-joystick-XXXXXX";
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

TEST_F(FifoJoystick, ReadErrorOrEndFailsThePollAndTheDeviceIsReopenedLater) {
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
  close(writer);  // the device goes away: the stream ends
  writer = -1;
  EXPECT_NE(joystick.poll(record), 0);
}

}  // namespace
