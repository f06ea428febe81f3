#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "map/map_cell.h"
#include "net/messages.h"
#include "net/receiver.h"
#include "net/team_rules.h"
#include "state/shared_state.h"
#include "tools/lib/load_model.h"
#include "tools/lib/team_map.h"

namespace {

constexpr uint32_t START = 1'000'000;

// The shared state as start-up leaves it for an agent named "alpha".
class Receiver : public ::testing::Test {
 protected:
  void SetUp() override {
    createMaps();
    agentId = "alpha";
    peerTable.clear();
    peerTable["alpha"] = PeerEntry{true, ArPose(0, 0, 0), START};
    setMode(MODE_ERRATIC);
    goalPose.store(ArPose(0, 0, 0));
    wPose.store(ArPose(0, 0, 0));
    jRecord = JRecord{};
  }
  void TearDown() override {
    destroyMaps();
    peerTable.clear();
    agentId.clear();
    setMode(MODE_ERRATIC);
  }

  // One datagram: the text and its NUL, as agents send it.
  void deliver(const std::string& text, uint32_t now = START) {
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    handleDatagram(buffer, text.size() + 1, now);
  }
  // Raw bytes into the same receive buffer, without a NUL of their own.
  void deliverBytes(const std::string& bytes, uint32_t now = START) {
    std::memcpy(buffer, bytes.data(), bytes.size());
    handleDatagram(buffer, bytes.size(), now);
  }

  static MapCell cellAt(const OccupancyMap& map, double x, double y) {
    return map.cellOrUnknown(map.toCell(x), map.toCell(y));
  }
  static bool isHit(MapCell c) { return (c & CELL_UNKNOWN) == 0 && (c & CELL_OCCUPANCY) > 0; }
  static bool hasPeer(const std::string& name) { return peerTable.count(name) == 1; }

  char buffer[MSG_BUFFER_SIZE] = {};
};

TEST_F(Receiver, OwnMessagesFeedTheLocalMapAndThenTheGlobalMap) {
  deliver("E alpha 1000.000 0.000 0.000 0.000 0.000");
  EXPECT_TRUE(isHit(cellAt(*localMap, 1000, 0)));
  EXPECT_TRUE(isHit(cellAt(*globalMap, 1000, 0)));

  deliver("O alpha 0.000 -1500.000");
  EXPECT_TRUE(isHit(cellAt(*localMap, 0, -1500)));
  EXPECT_TRUE(isHit(cellAt(*globalMap, 0, -1500)));

  // The robot off the diagonal: its footprint and the freed ray start from (300, -700),
  // never from (-700, 300).
  deliver("E alpha 1000 0 300 -700 0");
  for (const OccupancyMap* map : {&*localMap, &*globalMap}) {
    EXPECT_NE(cellAt(*map, 300, -700) & CELL_OWN_FOOTPRINT, 0);
    EXPECT_EQ(cellAt(*map, -700, 300), CELL_UNKNOWN);
    EXPECT_EQ(cellAt(*map, 750, -350), 0) << "a cell on the ray is known and free";
  }

  deliver("P alpha -2000.000 2000.000 450.000", START + 5);
  EXPECT_NE(cellAt(*localMap, -2000, 2000) & CELL_OWN_FOOTPRINT, 0);
  EXPECT_NE(cellAt(*globalMap, -2000, 2000) & CELL_OWN_FOOTPRINT, 0);
  const PeerEntry& own = peerTable.at("alpha");
  EXPECT_TRUE(own.active);
  EXPECT_EQ(own.lastSeen, START + 5);
  EXPECT_EQ(own.pose, ArPose(-2000, 2000, 90)) << "headings are normalised into (-180, 180]";
  EXPECT_EQ(peerTable.size(), 1u);
}

TEST_F(Receiver, PeerReadingsBeforeFirstPoseAreDroppedAfterItGoToTheGlobalMapOnly) {
  deliver("E bob 1000.000 0.000 0.000 0.000 0.000");
  deliver("O bob 0.000 1000.000");
  EXPECT_EQ(localMap->knownCells(), 0);
  EXPECT_EQ(globalMap->knownCells(), 0);
  EXPECT_FALSE(hasPeer("bob"));

  deliver("P bob 3000.000 0.000 0.000", START + 1);
  ASSERT_TRUE(hasPeer("bob"));
  EXPECT_TRUE(peerTable.at("bob").active);
  EXPECT_EQ(peerTable.at("bob").lastSeen, START + 1);
  const MapCell stamped = cellAt(*globalMap, 3000, 0);
  EXPECT_NE(stamped & CELL_FOOTPRINT, 0) << "a new agent's pose marks the global map at once";
  EXPECT_EQ(stamped & CELL_OWN_FOOTPRINT, 0);

  deliver("E bob 1000.000 0.000 0.000 0.000 0.000");
  deliver("O bob 0.000 1000.000");
  EXPECT_TRUE(isHit(cellAt(*globalMap, 1000, 0)));
  EXPECT_TRUE(isHit(cellAt(*globalMap, 0, 1000)));
  EXPECT_EQ(localMap->knownCells(), 0) << "a peer never touches the local map";

  // In one receive batch with an own reading, the peer's still reaches the global map only.
  Message run[2];
  ASSERT_TRUE(parseMessage("E alpha -1000 0 0 0 0", run[0]));
  ASSERT_TRUE(parseMessage("E bob 0 -1000 0 0 0", run[1]));
  applyTeamMessages(TeamState{agentId, localMap.get(), *globalMap, peerTable, peerTableMutex}, run, START + 1);
  EXPECT_TRUE(isHit(cellAt(*localMap, -1000, 0)));
  EXPECT_TRUE(isHit(cellAt(*globalMap, 0, -1000)));
  EXPECT_EQ(cellAt(*localMap, 0, -1000), CELL_UNKNOWN) << "the peer's reading stays out of the local map";
}

TEST_F(Receiver, AnEntryAgedExactlySixtySecondsStaysOneOlderGoes) {
  deliver("P bob 0 0 0", START);
  deliver("P carl 0 0 0", START + PEER_EXPIRY_S);
  EXPECT_TRUE(hasPeer("bob"));
  deliver("P carl 0 0 0", START + PEER_EXPIRY_S + 1);
  EXPECT_FALSE(hasPeer("bob"));
  EXPECT_TRUE(hasPeer("alpha")) << "the own entry is never removed, however old";
  // Sweeps skip while nothing can be stale: a walk that found carl 39 s old must walk
  // again once carl is 61, not a full expiry period later.
  deliver("P dave 0 0 0", START + PEER_EXPIRY_S + 40);
  deliver("P dave 0 0 0", START + 2 * PEER_EXPIRY_S + 1);
  EXPECT_TRUE(hasPeer("carl"));
  deliver("P dave 0 0 0", START + 2 * PEER_EXPIRY_S + 2);
  EXPECT_FALSE(hasPeer("carl"));
  // The walk due when frank turns stale meets dave, exactly 60 s old and first in key
  // order, on its way: dave stays.
  const uint32_t t = START + 1000;
  deliver("P frank 0 0 0", t - 1);
  deliver("P dave 0 0 0", t);
  deliver("P erin 0 0 0", t + PEER_EXPIRY_S);
  EXPECT_TRUE(hasPeer("dave"));
  EXPECT_FALSE(hasPeer("frank"));
}

TEST_F(Receiver, ThreeStaleEntriesNeedThreePoseMessagesInKeyOrder) {
  deliver("P dave 0 0 0", START);
  deliver("P bob 0 0 0", START);
  deliver("P carl 0 0 0", START);
  const uint32_t later = START + 1000;
  deliver("P zed 0 0 0", later);
  EXPECT_FALSE(hasPeer("bob"));
  EXPECT_TRUE(hasPeer("carl"));
  EXPECT_TRUE(hasPeer("dave"));
  deliver("P zed 0 0 0", later);
  EXPECT_FALSE(hasPeer("carl"));
  EXPECT_TRUE(hasPeer("dave"));
  deliver("P zed 0 0 0", later);
  EXPECT_FALSE(hasPeer("dave"));
  deliver("P zed 0 0 0", later);
  EXPECT_TRUE(hasPeer("alpha"));
  EXPECT_TRUE(hasPeer("zed"));
  EXPECT_EQ(peerTable.size(), 2u);
  // A lapsed agent's readings are dropped again until its next P.
  deliver("E bob 1000.000 0.000 0.000 0.000 0.000", later);
  EXPECT_EQ(cellAt(*globalMap, 1000, 0), CELL_UNKNOWN);
}

TEST_F(Receiver, AgesAreUnsigned32BitDifferences) {
  deliver("P bob 0 0 0", 0xFFFFFFF0u);
  deliver("P carl 0 0 0", 0x10u);  // the clock wrapped: bob is 32 s old
  EXPECT_TRUE(hasPeer("bob"));
  deliver("P dave 0 0 0", START + 100);
  deliver("P erin 0 0 0", START);  // the clock was set back: dave's lastSeen lies ahead
  EXPECT_TRUE(hasPeer("dave")) << "bob and carl are older and come first";
  deliver("P erin 0 0 0", START);
  EXPECT_FALSE(hasPeer("dave"));
}

TEST_F(Receiver, CommandsActOnlyWhenAddressedHere) {
  deliver("G all 1000.000 -500.000 270.000");
  EXPECT_EQ(goalPose.read(), ArPose(1000, -500, -90));
  deliver("G alpha 1 2 3");
  EXPECT_EQ(goalPose.read(), ArPose(1, 2, 3));
  deliver("G bob 7 7 7");
  deliver("G ALPHA 7 7 7");
  EXPECT_EQ(goalPose.read(), ArPose(1, 2, 3));

  deliver("W all 4 5 6");
  deliver("W bob 7 7 7");
  EXPECT_EQ(wPose.read(), ArPose(4, 5, 6));

  deliver("M bob 99");
  EXPECT_EQ(getMode(), MODE_ERRATIC);
  deliver("M all 65536");
  EXPECT_EQ(getMode(), MODE_ERRATIC);
  deliver("M alpha 3");
  EXPECT_EQ(getMode(), MODE_PATH);
  deliver("M all 99");
  EXPECT_EQ(getMode(), MODE_STOP);

  deliver("J all 1 2 3 4 5 6");
  EXPECT_EQ(jRecord.stamp, 0) << "J is never addressed to all";
  deliver("J alpha 1.5 2 3 4 5 65535", START + 7);
  EXPECT_EQ(jRecord.a, 1.5);
  EXPECT_EQ(jRecord.d, 4);
  EXPECT_EQ(jRecord.u, 5);
  EXPECT_EQ(jRecord.v, 65535);
  EXPECT_EQ(jRecord.stamp, static_cast<int32_t>(START + 7));
}

TEST_F(Receiver, PoseReportsAndUnreadableMessagesChangeNothing) {
  deliver("D bob 1000.000 0.000 0.000");
  deliver("D alpha 1000.000 0.000 0.000");
  deliver("P bob 1000.000 0.000");
  deliver("P bob 1e300 0 0");
  deliver("E alpha 1000 0 0 0 nan");
  deliver("O alpha 900000 0");
  deliver("p bob 0 0 0");
  deliver(" M all 99");
  deliver("M all -1");
  EXPECT_EQ(peerTable.size(), 1u);
  EXPECT_EQ(localMap->knownCells(), 0);
  EXPECT_EQ(globalMap->knownCells(), 0);
  EXPECT_EQ(getMode(), MODE_ERRATIC);
}

TEST_F(Receiver, BytesLeftByALongerEarlierDatagramAreNeverRead) {
  deliver("G bob 1234567890123 5 5");
  // Read on into the old bytes, this would be "G all 7 8 967890123 5 5".
  deliverBytes("G all 7 8 9");
  EXPECT_EQ(goalPose.read(), ArPose(7, 8, 9));
  // Read on, this would become a complete "M all 99".
  deliver("M bob 99");
  deliverBytes("M all");
  EXPECT_EQ(getMode(), MODE_ERRATIC);
  // An empty datagram is not the message still in the buffer.
  deliver("M bob 2");
  std::memcpy(buffer, "M all 2", 8);
  handleDatagram(buffer, 0, START);
  EXPECT_EQ(getMode(), MODE_ERRATIC);
}

TEST_F(Receiver, ADatagramFillingTheWholeBufferIsReadUpToItsLastByteButOne) {
  std::string padded = "G all 1 2 3";
  padded.resize(MSG_BUFFER_SIZE, ' ');
  padded.back() = '4';  // lands on the forced NUL
  deliverBytes(padded);
  EXPECT_EQ(goalPose.read(), ArPose(1, 2, 3));
  std::memcpy(buffer, padded.data(), MSG_BUFFER_SIZE);
  handleDatagram(buffer, 65507, START);  // a longer datagram, truncated by the receive
  EXPECT_EQ(goalPose.read(), ArPose(1, 2, 3));
  // A whole 1400-byte message, its NUL at byte 1399: its last character is read.
  std::string full = "G all 1 2";
  full.resize(MSG_BUFFER_SIZE - 2, ' ');
  full += "7";
  deliver(full);
  EXPECT_EQ(goalPose.read(), ArPose(1, 2, 7));
}

TEST_F(Receiver, AFullTableMakesRoomForANewNameByDroppingThePeerHeardLongestAgo) {
  ::testing::internal::CaptureStderr();
  deliver("P alpha 0 0 0", START);
  deliver("P bob 3000 0 0", START);
  // A flood of fresh names fills the table while bob goes on sending his P.
  for (size_t i = 0; i < PEER_TABLE_CAPACITY + 10; ++i) {
    deliver("P flood" + std::to_string(i) + " 0 0 0", START + 1);
    if (i % 1000 == 0) deliver("P bob 3000 0 0", START + 1);
  }
  EXPECT_EQ(peerTable.size(), PEER_TABLE_CAPACITY);
  EXPECT_TRUE(hasPeer("bob")) << "heard after thousands of the flood's names";
  EXPECT_FALSE(hasPeer("flood0"));
  EXPECT_TRUE(hasPeer("flood3000"));
  deliver("P newcomer -5000 0 0", START + 2);
  EXPECT_TRUE(hasPeer("newcomer"));
  EXPECT_NE(cellAt(*globalMap, -5000, 0) & CELL_FOOTPRINT, 0);
  deliver("E bob 4000 1500 4000 0 0", START + 2);
  EXPECT_TRUE(isHit(cellAt(*globalMap, 4000, 1500)));

  // Once a whole table of other names was heard after bob's last P, he gives way, and his
  // readings wait for his next P; the own entry, heard longest ago of all, stays.
  for (size_t i = 0; i < PEER_TABLE_CAPACITY; ++i) deliver("P again" + std::to_string(i) + " 0 0 0", START + 3);
  EXPECT_FALSE(hasPeer("bob"));
  EXPECT_TRUE(hasPeer("alpha"));
  deliver("E bob 4000 -1500 4000 0 0", START + 3);
  EXPECT_EQ(cellAt(*globalMap, 4000, -1500), CELL_UNKNOWN);
  const std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << "said once: " << told;
  EXPECT_NE(told.find("peer table: full (4096 names)"), std::string::npos) << told;
}

// An observer of the group (agentctl map) and an agent's receiver share the team's
// rules, so the observer's map equals, cell for cell, the global map of an agent that
// heard the same traffic, and their tables hold the same peers. The agent here only
// listens while other agents send: its own messages would be marked differently by
// design (its robot's cells carry the own-footprint bit and its map grows farther around
// them, its readings count before its first P, its entry never expires), while to an
// observer every sender is a peer. The observer takes the traffic in runs of messages,
// as it does from a busy group, the agent one datagram at a time.
TEST_F(Receiver, AnObserversTeamMapEqualsTheGlobalMapOfAnAgentThatHeardTheSameTraffic) {
  // Three simulated agents, 24 cycles of 500 ms; after cycle 11 the clock jumps 70 s, so
  // entries expire and agents come back with readings before their P; the third is silent
  // for cycles 12 to 15. Commands and junk between.
  const LoadModel model(3);
  std::vector<std::pair<std::string, uint32_t>> traffic;
  char text[MSG_BUFFER_SIZE];
  for (long cycle = 0; cycle < 24; ++cycle) {
    const uint32_t now = START + static_cast<uint32_t>(cycle / 2) + (cycle >= 12 ? 70 : 0);
    model.playCycle(cycle, [&](const Message& m) {
      if (m.name == "load-0003" && cycle >= 12 && cycle < 16) return;
      traffic.emplace_back(std::string(text, static_cast<size_t>(formatMessage(m, text, sizeof text))), now);
    });
    traffic.emplace_back(cycle % 2 == 0 ? "M all 2" : "junk", now);
  }

  TeamMap observer;
  std::vector<Message> run;
  uint32_t runTime = START;
  auto flush = [&] {
    observer.handleMessages(run, runTime);
    run.clear();
  };
  for (const auto& [datagram, now] : traffic) {
    deliver(datagram, now);
    if (now != runTime || run.size() == 40) flush();
    runTime = now;
    Message m;
    if (parseMessage(datagram.c_str(), m)) run.push_back(m);
  }
  flush();

  observer.readMap([&](const OccupancyMap& seen) {
    ASSERT_GT(seen.knownCells(), 1000);
    long differing = 0;
    for (int32_t x = -std::max(seen.minx, globalMap->minx); x < std::max(seen.maxx, globalMap->maxx); ++x) {
      for (int32_t y = -std::max(seen.miny, globalMap->miny); y < std::max(seen.maxy, globalMap->maxy); ++y) {
        differing += seen.cellOrUnknown(x, y) != globalMap->cellOrUnknown(x, y);
      }
    }
    EXPECT_EQ(differing, 0);
  });
  std::vector<std::string> agentPeers, observerPeers;
  for (const auto& [name, entry] : peerTable) {
    if (name != "alpha") agentPeers.push_back(name + " " + std::to_string(entry.lastSeen));
  }
  for (const TeamMap::Peer& peer : observer.peers()) {
    observerPeers.push_back(peer.name + " " + std::to_string(peer.lastSeen));
    EXPECT_EQ(peer.pose, peerTable.at(peer.name).pose) << peer.name;
  }
  EXPECT_EQ(observerPeers, agentPeers);
  EXPECT_EQ(agentPeers.size(), 3u);
}

}  // namespace
