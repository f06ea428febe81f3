#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/mcast_socket.h"
#include "net/messages.h"
#include "net/receiver.h"
#include "state/shared_state.h"
#include "tests/support/private_network.h"

namespace {

using testsupport::inPrivateNetwork;
using testsupport::rerunInPrivateNetwork;
using testsupport::Route;
using testsupport::runShell;

void sendText(const GroupSocket& socket, const std::string& text) {
  ASSERT_TRUE(socket.sendTo(groupAddr, text.c_str(), text.size() + 1));
}

// The next datagram as text, or "(nothing)" once the receive times out.
std::string receiveText(const GroupSocket& socket) {
  char buffer[MSG_BUFFER_SIZE] = {};
  const long n = socket.receive(buffer, sizeof buffer - 1);
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
  ASSERT_TRUE(mcastSocket.isOpen());
  EXPECT_EQ(groupAddr.sin_family, AF_INET);
  EXPECT_EQ(groupAddr.sin_port, htons(MCAST_PORT));
  EXPECT_EQ(groupAddr.sin_addr.s_addr, inet_addr(MCAST_GROUP));
  timeval timeout{};
  socklen_t size = sizeof timeout;
  ASSERT_EQ(getsockopt(mcastSocket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, &size), 0);
  EXPECT_EQ(timeout.tv_sec, 0);
  EXPECT_EQ(timeout.tv_usec, RECV_TIMEOUT_MS * 1000);
  int ttl = 0;
  size = sizeof ttl;
  ASSERT_EQ(getsockopt(mcastSocket.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &size), 0);
  EXPECT_EQ(ttl, MCAST_TTL);
  EXPECT_EQ(leaveGroup(), 0);
  mcastSocket.close();
}

TEST(GroupSocket, TwoAgentsOnOneComputerBothReceiveEveryMessageTheirOwnIncluded) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  ASSERT_EQ(setupNetwork(), 0);
  const GroupSocket first = std::move(mcastSocket);
  ASSERT_EQ(setupNetwork(), 0) << "a second socket binds the same port";
  const GroupSocket second = std::move(mcastSocket);

  sendText(first, "P alpha 1.000 2.000 3.000");
  sendText(second, "P bob 4.000 5.000 6.000");
  for (const GroupSocket* socket : {&first, &second}) {
    EXPECT_EQ(receiveText(*socket), "P alpha 1.000 2.000 3.000");
    EXPECT_EQ(receiveText(*socket), "P bob 4.000 5.000 6.000");
    EXPECT_EQ(receiveText(*socket), "(nothing)");
  }
}

TEST(GroupSocket, WithoutAMulticastRouteSetupFailsCleanlyAndALaterSetupStartsAfresh) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::None);
  const int before = openDescriptors();
  ::testing::internal::CaptureStderr();
  EXPECT_NE(setupNetwork(), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "cannot join multicast group 239.0.0.77: No such device\n");
  EXPECT_FALSE(mcastSocket.isOpen());
  EXPECT_EQ(openDescriptors(), before) << "the failed set-up leaves no socket open";

  ASSERT_EQ(runShell("ip route add 224.0.0.0/4 dev lo"), 0);
  ASSERT_EQ(setupNetwork(), 0);
  sendText(mcastSocket, "M all 1");
  EXPECT_EQ(receiveText(mcastSocket), "M all 1");
  mcastSocket.close();
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
  mcastSocket.close();
  destroyMaps();
}

TEST(Receiving, AFailedReceiveSetsTheExitFlagAndEndsTheThread) {
  mcastSocket.close();  // receiving without a socket fails at once
  setExitFlag(0);
  receiverThread();
  EXPECT_EQ(getExitFlag(), 1);
  setExitFlag(0);
}

}  // namespace
