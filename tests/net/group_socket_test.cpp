#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/mcast_socket.h"
#include "net/messages.h"
#include "net/receiver.h"
#include "state/shared_state.h"
#include "net/team_rules.h"
#include "tests/support/private_network.h"
#include "tools/lib/team_map.h"

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

// The receive buffer the kernel grants: what was asked, doubled, unless net.core.rmem_max caps it.
int expectedReceiveBuffer() {
  long cap = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
  return 2 * static_cast<int>(std::min<long>(cap, GROUP_RECEIVE_BUFFER_BYTES));
}

TEST(GroupSocket, SetupGivesAMemberSocketWithTheAgreedOptions) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  ::testing::internal::CaptureStderr();
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
  int buffer = 0;
  size = sizeof buffer;
  ASSERT_EQ(getsockopt(mcastSocket.fd(), SOL_SOCKET, SO_RCVBUF, &buffer, &size), 0);
  EXPECT_EQ(buffer, expectedReceiveBuffer());
  EXPECT_EQ(leaveGroup(), 0);
  ASSERT_EQ(setupNetwork(), 0) << "the next pass";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "a buffer that lost nothing is not worth a word";
  // A buffer too small for a burst: the first datagram after the loss says so, once.
  const int tiny = 1;
  ASSERT_EQ(setsockopt(mcastSocket.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);
  const std::string burst(1000, 'x');
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 30; ++i) mcastSocket.sendTo(groupAddr, burst.c_str(), burst.size());
    while (receiveText(mcastSocket) != "(nothing)") {}
  }
  const std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
  EXPECT_NE(told.find("datagrams lost to a full receive buffer of"), std::string::npos) << told;
  if (buffer < 2 * GROUP_RECEIVE_BUFFER_BYTES) {
    EXPECT_NE(told.find("sysctl -w net.core.rmem_max=" + std::to_string(GROUP_RECEIVE_BUFFER_BYTES)), std::string::npos)
        << told;
  }
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

TEST(GroupSocket, ABatchTakesValidInvalidAndTruncatedDatagramsExactlyAsSingleReceivesDo) {
  if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
  GroupSocket single, batched, sender;
  std::string error;
  ASSERT_TRUE(single.openForListening(error)) << error;
  ASSERT_TRUE(batched.openForListening(error)) << error;
  ASSERT_TRUE(sender.openForSending(error)) << error;
  // More than a batch holds, so a second batch reuses buffers a longer datagram filled.
  auto padded = [](std::string text, size_t length) {
    text.resize(length, ' ');
    return text;
  };
  std::vector<std::string> datagrams = {
      padded("P erin 100 200", MSG_BUFFER_SIZE - 3) + "45",  // its last digit at byte 1398
      std::string("P bob 1000 0 0") + '\0',
      padded("P carl 2000 0 0", 3000),  // cut to 1400 bytes: still readable
      std::string(2000, 'x'),           // cut, unreadable
      "",                               // empty
      std::string("E bob 1500 900 1000 0 0") + '\0',
      std::string("E bob 1e999 0 1000 0 0") + '\0',
      std::string("O nobody 0 0") + '\0',
      "E bob 1200 -800 1000 0 0",  // no NUL of its own
  };
  while (datagrams.size() < TEAM_RUN) {
    datagrams.push_back("E carl " + std::to_string(2000 + 30 * datagrams.size()) + " 1500 2000 0 0");
  }
  // First in the second batch, in the buffer the first datagram filled: unreadable, its
  // heading missing, unless the stale "45" there were read.
  datagrams.push_back("P erin 300 400");
  datagrams.push_back(std::string("P dave 12345.678 -2345.5 33\0 trailing bytes", 43));  // longer than its buffer held before
  for (const std::string& d : datagrams) {
    ASSERT_TRUE(sender.sendTo(groupSocketAddress(), d.data(), d.size()));
  }

  constexpr uint32_t NOW = 1'000'000;
  TeamMap bySingle, byBatch;
  char buffer[MSG_BUFFER_SIZE];
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const long n = single.receive(buffer, sizeof buffer);
    ASSERT_GE(n, 0);
    bySingle.handleDatagram(buffer, static_cast<size_t>(n), NOW);
  }
  ReceiveBatch batch(TEAM_RUN, MSG_BUFFER_SIZE);
  long batches = 0, inBatches = 0;
  while (inBatches < static_cast<long>(datagrams.size())) {
    const long n = batched.receiveBatch(batch);
    ASSERT_GT(n, 0);
    byBatch.handleBatch(batch, static_cast<size_t>(n), NOW);
    ++batches;
    inBatches += n;
  }
  EXPECT_EQ(inBatches, static_cast<long>(datagrams.size()));
  EXPECT_EQ(batches, 2);
  EXPECT_EQ(batched.receiveBatch(batch), 0) << "nothing more";
  auto described = [](const TeamMap& team) {
    std::vector<std::string> peers;
    for (const TeamMap::Peer& p : team.peers()) {
      peers.push_back(p.name + " " + std::to_string(p.pose.getX()) + " " + std::to_string(p.pose.getY()) + " " +
                      std::to_string(p.pose.getTh()) + " E " + std::to_string(p.e));
    }
    return peers;
  };
  const std::vector<std::string> seenSingly = described(bySingle);
  EXPECT_EQ(described(byBatch), seenSingly);
  EXPECT_EQ(seenSingly.size(), 4u) << "bob, carl, dave, erin";
  bySingle.readMap([&](const OccupancyMap& one) {
    byBatch.readMap([&](const OccupancyMap& other) {
      EXPECT_EQ(one.knownCells(), other.knownCells());
      for (int32_t x = -one.minx + 1; x < one.maxx; ++x) {
        for (int32_t y = -one.miny + 1; y < one.maxy; ++y) {
          ASSERT_EQ(one.cellValue(x, y), other.cellOrUnknown(x, y)) << x << ", " << y;
        }
      }
    });
  });
}

TEST(Receiving, AFailedReceiveSaysWhySetsTheExitFlagAndEndsTheThread) {
  mcastSocket.close();  // receiving without a socket fails at once
  setExitFlag(0);
  ::testing::internal::CaptureStderr();
  receiverThread();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Receiving from the multicast group failed: Bad file descriptor\n");
  EXPECT_EQ(getExitFlag(), 1);
  setExitFlag(0);
}

}  // namespace
