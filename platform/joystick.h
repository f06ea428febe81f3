#pragma once
// Joystick 0 read the way the manual-drive behaviour expects it: six axes from 0 to
// 65535 centred at 32767, a button bit set, and a point-of-view hat in hundredths of a
// degree (65535 when centred). On Linux the source is the kernel joystick device.
#include <cstdint>
#include <string>

constexpr uint32_t JOY_POV_CENTERED = 65535;
constexpr uint32_t JOY_AXIS_CENTRE = 32767;

struct JoyRecord {
  uint32_t xPos = JOY_AXIS_CENTRE, yPos = JOY_AXIS_CENTRE, zPos = JOY_AXIS_CENTRE;
  uint32_t rPos = JOY_AXIS_CENTRE, uPos = JOY_AXIS_CENTRE, vPos = JOY_AXIS_CENTRE;
  uint32_t buttons = 0;  // bit i set: button i + 1 pressed
  uint32_t pov = JOY_POV_CENTERED;
  int numAxes = 0;       // axes the device reports
};

// A joystick device kept open across polls. Each poll drains the events that arrived
// since the last one and reports the resulting state; the state lives on between polls
// because the device only reports changes.
class LinuxJoystick {
 public:
  explicit LinuxJoystick(std::string path);
  ~LinuxJoystick();
  LinuxJoystick(const LinuxJoystick&) = delete;
  LinuxJoystick& operator=(const LinuxJoystick&) = delete;

  // 0 on success with the record filled in; nonzero when the device cannot be opened
  // or read (it is closed then and opened afresh on the next poll).
  int poll(JoyRecord& record);

 private:
  static constexpr int MAX_AXES = 16;
  static constexpr int NO_AXIS = -1;

  bool open();
  void close();
  bool drainEvents();
  void applyEvent(uint8_t type, uint8_t number, int16_t value);
  void fill(JoyRecord& record) const;
  uint32_t hatPov() const;

  std::string myPath;
  int myFd = -1;
  int myReportedAxes = 0;  // from the driver; 0 when it cannot say
  int myHighestAxisSeen = -1;
  int myHatX = NO_AXIS, myHatY = NO_AXIS;
  int16_t myAxes[MAX_AXES] = {};
  uint32_t myButtons = 0;
  unsigned char myPartial[8] = {};  // bytes of an event split across reads
  size_t myPartialLength = 0;
};

// Reads joystick 0 ("/dev/input/js0"). Returns 0 on success, nonzero on failure (no
// such joystick, device gone, read error). Only joystick 0 exists.
int joyGetPosEx(unsigned joystickId, JoyRecord* record);

// An axis value of the kernel interface (-32767..32767) as a position from 0 (full
// left or up) through 32767 (centre) to 65535 (full right or down).
uint32_t axisPosition(int16_t value);
// A hat as an x and a y axis value, as hundredths of a degree clockwise from forward
// (up), or JOY_POV_CENTERED when both are at rest.
uint32_t hatToPov(int16_t x, int16_t y);
