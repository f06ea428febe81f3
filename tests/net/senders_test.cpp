#include <gtest/gtest.h>

#include "net/mcast_socket.h"
#include "net/senders.h"
#include "state/shared_state.h"

namespace {

TEST(Senders, WithTheExitFlagAlreadySetNeitherSenderTouchesTheRobotOrSends) {
  ArRobot* const savedRobot = robot;
  robot = nullptr;  // any pose read would crash
  mcastSocket.close();  // any send would fail
  setExitFlag(1);
  poseSenderThread();
  sensorSenderThread();
  setExitFlag(0);
  robot = savedRobot;
}

}  // namespace
