#include <string_view>

#include "aria/ar_robot.h"
#include "aria/ar_util.h"
#include "base/console.h"
#include "nav/behaviours.h"
#include "nav/manual_drive.h"
#include "nav/robot_steps.h"
#include "platform/joystick.h"
#include "state/shared_state.h"

namespace {

constexpr int STATUS_EVERY_POLLS = 91;  // a status line at the latest on the poll after this many

void writeStatus(const JoyPoll& poll, const JoyRecord& record) {
  char line[160];
  const size_t length = formatJoyStatus(line, sizeof line, poll, record.numAxes, record.pov);
  writeLine(stdout, std::string_view(line, length));
}

// Polls and drives until the mode changes, the exit flag is set or the robot is lost
// (true), or until the joystick cannot be read (false). Holds the robot lock except
// during each cycle's 100 ms pause.
bool driveByJoystick(int startMode) {
  JoyPoll previous;
  int pollsSinceStatus = 0;
  for (;;) {
    if (behaviourMustEnd(startMode)) return true;
    JoyRecord record;
    if (joyGetPosEx(0, &record) != 0) {
      // Nobody steers any more: the last joystick command must not stay in force.
      robot->stop();
      writeLine(stderr, "Please reconnect the joystick");
      return false;
    }
    const JoyPoll poll = centredPoll(record);
    if (++pollsSinceStatus > STATUS_EVERY_POLLS || !(poll == previous)) {
      writeStatus(poll, record);
      ArUtil::sleep(90);
      pollsSinceStatus = 0;
    }
    const int velocity = manualVelocity(poll.axes[1]);
    const int headingChange = manualHeadingChange(poll.axes[0]);
    ArUtil::sleep(10);
    robot->setVel(velocity);
    robot->setDeltaHeading(headingChange);
    sleepUnlocked(100);
    if (getExitFlag() != 0) return true;
    previous = poll;
  }
}

}  // namespace

void actStopAndManual() {
  const int startMode = getMode();
  robot->lock();
  robot->stop();
  robot->unlock();

  robot->lock();
  const bool joystickRead = getExitFlag() != 0 || driveByJoystick(startMode);
  robot->unlock();
  // The pause after a failed read leaves the robot, stopped, to its own cycle; the
  // controller calls again.
  if (!joystickRead) ArUtil::sleep(1000);
}
