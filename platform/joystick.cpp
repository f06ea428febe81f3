#include "platform/joystick.h"

#include <fcntl.h>
#include <linux/joystick.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

static_assert(sizeof(js_event) == 8, "the kernel's joystick event record is 8 bytes");

namespace {

// Common pads report their hat as axes 6 and 7; used when the driver cannot tell.
constexpr int DEFAULT_HAT_X = 6;
constexpr int DEFAULT_HAT_Y = 7;
constexpr int HAT_THRESHOLD = 16384;

int hatDirection(int16_t value) {
  if (value > HAT_THRESHOLD) return 1;
  if (value < -HAT_THRESHOLD) return -1;
  return 0;
}

}  // namespace

uint32_t axisPosition(int16_t value) {
  const int64_t v = std::clamp<int64_t>(value, -32767, 32767);
  if (v <= 0) return static_cast<uint32_t>(32767 + v);
  return static_cast<uint32_t>(32767 + v * 32768 / 32767);
}

uint32_t hatToPov(int16_t x, int16_t y) {
  // Indexed by (y + 1) * 3 + (x + 1); y = -1 is forward.
  static constexpr uint32_t POV[9] = {31500, 0, 4500, 27000, JOY_POV_CENTERED, 9000, 22500, 18000, 13500};
  return POV[(hatDirection(y) + 1) * 3 + hatDirection(x) + 1];
}

LinuxJoystick::LinuxJoystick(std::string path) : myPath(std::move(path)) {}

LinuxJoystick::~LinuxJoystick() { close(); }

int LinuxJoystick::poll(JoyRecord& record) {
  if (myFd < 0 && !open()) return 1;
  if (!drainEvents()) {
    close();
    return 1;
  }
  fill(record);
  return 0;
}

bool LinuxJoystick::open() {
  myFd = ::open(myPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (myFd < 0) return false;
  std::fill(std::begin(myAxes), std::end(myAxes), int16_t{0});
  myButtons = 0;
  myHighestAxisSeen = -1;
  myPartialLength = 0;

  unsigned char count = 0;
  myReportedAxes = ioctl(myFd, JSIOCGAXES, &count) == 0 ? count : 0;
  uint8_t axisMap[ABS_CNT] = {};
  myHatX = DEFAULT_HAT_X;
  myHatY = DEFAULT_HAT_Y;
  if (ioctl(myFd, JSIOCGAXMAP, axisMap) >= 0) {
    // The driver names each axis: find the first hat, or know there is none.
    myHatX = myHatY = NO_AXIS;
    for (int i = 0; i < std::min(myReportedAxes, MAX_AXES); ++i) {
      if (axisMap[i] == ABS_HAT0X) myHatX = i;
      if (axisMap[i] == ABS_HAT0Y) myHatY = i;
    }
  }
  return true;
}

void LinuxJoystick::close() {
  if (myFd >= 0) ::close(myFd);
  myFd = -1;
}

// Reads every complete event waiting on the device. False on a read error (the
// device went away); an empty device, or a pipe without writer, is no error.
bool LinuxJoystick::drainEvents() {
  unsigned char buffer[sizeof(js_event) * 32];
  for (;;) {
    std::memcpy(buffer, myPartial, myPartialLength);
    const ssize_t got = ::read(myFd, buffer + myPartialLength, sizeof buffer - myPartialLength);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (got == 0) return false;  // end of file: the device went away (a joystick never ends)
    const size_t total = myPartialLength + static_cast<size_t>(got);
    const size_t whole = total - total % sizeof(js_event);
    for (size_t at = 0; at < whole; at += sizeof(js_event)) {
      js_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      applyEvent(event.type, event.number, event.value);
    }
    myPartialLength = total - whole;
    std::memcpy(myPartial, buffer + whole, myPartialLength);
  }
}

void LinuxJoystick::applyEvent(uint8_t type, uint8_t number, int16_t value) {
  const auto kind = static_cast<uint8_t>(type & ~JS_EVENT_INIT);
  if (kind == JS_EVENT_AXIS && number < MAX_AXES) {
    myAxes[number] = value;
    myHighestAxisSeen = std::max(myHighestAxisSeen, static_cast<int>(number));
  } else if (kind == JS_EVENT_BUTTON && number < 32) {
    const uint32_t bit = uint32_t{1} << number;
    myButtons = value != 0 ? (myButtons | bit) : (myButtons & ~bit);
  }
}

void LinuxJoystick::fill(JoyRecord& record) const {
  record.xPos = axisPosition(myAxes[0]);
  record.yPos = axisPosition(myAxes[1]);
  record.zPos = axisPosition(myAxes[2]);
  record.rPos = axisPosition(myAxes[3]);
  record.uPos = axisPosition(myAxes[4]);
  record.vPos = axisPosition(myAxes[5]);
  record.buttons = myButtons;
  record.pov = hatPov();
  // A device without the count query (a pipe standing in for one) reports its axes by
  // its events: the kernel sends one for every axis when the device is opened.
  record.numAxes = myReportedAxes > 0 ? myReportedAxes : myHighestAxisSeen + 1;
}

uint32_t LinuxJoystick::hatPov() const {
  const bool hatSeen = myHatX != NO_AXIS && myHatY != NO_AXIS && std::max(myHatX, myHatY) <= myHighestAxisSeen;
  if (!hatSeen) return JOY_POV_CENTERED;
  return hatToPov(myAxes[myHatX], myAxes[myHatY]);
}

int joyGetPosEx(unsigned joystickId, JoyRecord* record) {
  if (joystickId != 0 || record == nullptr) return 1;
  static std::mutex guard;
  static LinuxJoystick joystick("/dev/input/js0");
  std::lock_guard<std::mutex> hold(guard);
  return joystick.poll(*record);
}
