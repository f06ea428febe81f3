#include <gtest/gtest.h>

#include "net/senders.h"
#include "runtime/shared_state.h"

namespace {

TEST(Senders, WithTheExitFlagAlreadySetNeitherSenderTouchesTheRobotOrSends) {
  ArRobot* const savedRobot = robot;
  robot = nullptr;  // any pose read would crash
  mcastSocket = -1;
  setExitFlag(1);
  poseSenderThread();
  sensorSenderThread();
  setExitFlag(0);
  mcastSocket = 0;
  robot = savedRobot;
}

}  // namespace
