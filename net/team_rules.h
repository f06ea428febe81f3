#pragma once
// The rules by which the group's P, E and O messages become peer-table entries and map
// updates: the one piece of code behind an agent's receiver and every observer of the
// group (agentctl map), so that both build the same map from the same traffic.
//
// A message under the own name is this agent's own: its poses and readings go to the
// local map and then to the global map, its footprints marked as its own. Any other name
// is a peer's: its P makes or refreshes its table entry and stamps a peer footprint into
// the global map; its E and O go to the global map only while it has an active entry.
// Every P ends with the table's expiry sweep. A P from a new name that finds the table
// full takes the place of the peer heard longest ago (team/peer_table.h). An observer
// has no own name and no local map: every sender is a peer to it.
//
// With the sonar model (map/sonar_model.h) the readings become cone updates instead of
// rays, S messages (silent beams) are applied as well, and a sender's reading that
// repeats its last one while its robot stands still is left out. Without it, S
// messages change nothing, as for an agent that does not know them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "aria/ar_mutex.h"
#include "map/occupancy_map.h"
#include "map/sonar_model.h"
#include "net/messages.h"
#include "team/peer_table.h"

// What the sonar model remembers of each sender: its beams, to tell repeats. Guarded by
// the peer table's mutex; senders that left the table are forgotten now and then.
struct SonarMemory {
  std::map<std::string, StillBeams, std::less<>> robots;
};

// What the messages are applied to. The table and each map have their own mutex; no two
// of them are held at once, and where both maps are touched the local map comes first.
struct TeamState {
  std::string_view ownName;  // empty for an observer: no message's name is empty
  OccupancyMap* localMap;    // null for an observer
  OccupancyMap& globalMap;
  PeerTable& peers;
  ArMutex& peersMutex;
  SonarMemory* sonar = nullptr;  // the sonar model's memory; null: the ray rule
};

// Whether a message of this type is one of the team's (P, E, O, S).
constexpr bool isTeamMessage(char type) { return type == 'P' || type == 'E' || type == 'O' || type == 'S'; }

// Applies the team's messages among messages, in order, skipping every other type. The
// outcome is that of applying them one at a time; the locks are taken once per run of
// up to TEAM_RUN messages: the table's mutex (entries, expiry, and which messages reach
// the maps), then the local map's, then the global map's. When applied is given (one
// flag per message), it tells which messages took effect: a P that the table recorded,
// an E, O or S that reached the maps (a repeat the sonar model left out counts as
// reached).
constexpr size_t TEAM_RUN = 64;
void applyTeamMessages(const TeamState& team, std::span<const Message> messages, uint32_t now,
                       std::span<bool> applied = {});

inline void applyTeamMessage(const TeamState& team, const Message& message, uint32_t now) {
  applyTeamMessages(team, std::span<const Message>(&message, 1), now);
}
