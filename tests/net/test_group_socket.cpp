#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/mcast_socket.h"
#include "net/messages.h"
#include "net/receiver.h"
#include "runtime/shared_state.h"
#include "tests/net/private_network.h"

namespace {

void sendText(int fd, const std::string& text) {
  ASSERT_EQ(sendto(fd, text.c_str(), text.size() + 1, 0, reinterpret_cast<const sockaddr*>(&groupAddr),
                   sizeof groupAddr),
            static_cast<ssize_t>(text.size() + 1));
}

// The next datagram on fd as text, or "(nothing)" once the receive times out.
std::string receiveText(int fd) {
  char buffer[MSG_BUFFER_SIZE] = {};
  ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
  return n > 0 ? std::string(buffer) : "(nothing)";
}

int openDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

template <class Condition>
bool waitFor(Condition condition) {
  for (int i = 0; i < 300; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(GroupSocket, SetupGivesAMemberSocketWithTheAgreedOptions) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  ASSERT_EQ(setupNetwork(), 0);
  ASSERT_GT(mcastSocket, 0);
  EXPECT_EQ(groupAddr.sin_family, AF_INET);
  EXPECT_EQ(groupAddr.sin_port, htons(MCAST_PORT));
  EXPECT_EQ(groupAddr.sin_addr.s_addr, inet_addr(MCAST_GROUP));
  timeval timeout{};
  socklen_t size = sizeof timeout;
  ASSERT_EQ(getsockopt(mcastSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, &size), 0);
  EXPECT_EQ(timeout.tv_sec, 0);
  EXPECT_EQ(timeout.tv_usec, RECV_TIMEOUT_MS * 1000);
  int ttl = 0;
  size = sizeof ttl;
  ASSERT_EQ(getsockopt(mcastSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &size), 0);
  EXPECT_EQ(ttl, MCAST_TTL);
  EXPECT_EQ(leaveGroup(), 0);
  close(mcastSocket);
  mcastSocket = 0;
}

TEST(GroupSocket, TwoAgentsOnOneComputerBothReceiveEveryMessageTheirOwnIncluded) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  ASSERT_EQ(setupNetwork(), 0);
  const int first = mcastSocket;
  ASSERT_EQ(setupNetwork(), 0) << "a second socket binds the same port";
  const int second = mcastSocket;

  sendText(first, "P alpha 1.000 2.000 3.000");
  sendText(second, "P bob 4.000 5.000 6.000");
  for (int fd : {first, second}) {
    EXPECT_EQ(receiveText(fd), "P alpha 1.000 2.000 3.000");
    EXPECT_EQ(receiveText(fd), "P bob 4.000 5.000 6.000");
    EXPECT_EQ(receiveText(fd), "(nothing)");
  }
  close(first);
  close(second);
  mcastSocket = 0;
}

TEST(GroupSocket, WithoutAMulticastRouteSetupFailsCleanlyAndALaterSetupStartsAfresh) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::None);
  const int before = openDescriptors();
  ::testing::internal::CaptureStderr();
  EXPECT_NE(setupNetwork(), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "cannot join multicast group 239.0.0.77: No such device\n");
  EXPECT_EQ(mcastSocket, 0);
  EXPECT_EQ(openDescriptors(), before) << "the failed set-up leaves no socket open";

  ASSERT_EQ(runShell("ip route add 224.0.0.0/4 dev lo"), 0);
  ASSERT_EQ(setupNetwork(), 0);
  sendText(mcastSocket, "M all 1");
  EXPECT_EQ(receiveText(mcastSocket), "M all 1");
  close(mcastSocket);
  mcastSocket = 0;
}

TEST(GroupSocket, ReceiverAppliesItsOwnMessagesFromTheGroupAndEndsOnExitFlag) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  createMaps();
  agentId = "alpha";
  peerTable["alpha"] = PeerEntry{true, ArPose(0, 0, 0), 0};
  setExitFlag(0);
  ASSERT_EQ(setupNetwork(), 0);
  std::thread receiver(receiverThread);

  // A quiet group only runs into receive time-outs, which do not end the thread.
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * RECV_TIMEOUT_MS + 50));
  EXPECT_EQ(getExitFlag(), 0);

  sendText(mcastSocket, "E alpha 1000.000 0.000 0.000 0.000 0.000");
  sendText(mcastSocket, "M all 2");
  EXPECT_TRUE(waitFor([] { return getMode() == MODE_POT_FIELD; }));
  {
    ArLockGuard hold(localMap->mutex);
    EXPECT_GT(localMap->knownCells(), 0);
  }
  setExitFlag(1);
  receiver.join();
  EXPECT_EQ(leaveGroup(), 0);
  close(mcastSocket);
  mcastSocket = 0;
  destroyMaps();
}

TEST(Receiving, AFailedReceiveSetsTheExitFlagAndEndsTheThread) {
  const int notASocket = open("/dev/null", O_RDONLY);
  ASSERT_GE(notASocket, 0);
  mcastSocket = notASocket;
  setExitFlag(0);
  receiverThread();
  EXPECT_EQ(getExitFlag(), 1);
  close(notASocket);
  mcastSocket = 0;
  setExitFlag(0);
}

}  // namespace
