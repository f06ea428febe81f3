#pragma once
// The team map of an observer of the group: the global map that an agent builds from
// the same traffic, by the same rules (net/team_rules.h), for an observer with no robot
// of its own, so every sender is a peer. Beside the map and the peer table it keeps,
// for each agent in the table, the messages of it that took effect and a short trail of
// its poses. Other threads (a saver, a web page) may read it while datagrams arrive: the map
// has its own mutex, the table and the activity share another, never held together.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"
#include "map/occupancy_map.h"
#include "net/group_socket.h"
#include "net/messages.h"
#include "net/team_rules.h"
#include "team/peer_table.h"

class TeamMap {
 public:
  // Poses kept per agent: its last 16 s at two P messages a second.
  static constexpr size_t TRAIL_POSES = 32;

  struct Peer {
    std::string name;
    ArPose pose;            // from its last P
    uint32_t lastSeen = 0;  // calendar seconds of its last P
    long p = 0, e = 0, o = 0;  // its messages that took effect (P recorded, E and O mapped; S not counted)
    std::vector<ArPose> trail;        // its last poses, oldest first
  };

  // The map built by the given model (map/sonar_model.h), as agents with that option do.
  explicit TeamMap(MapModel mapping = MapModel::Ray);

  // One received datagram, as an agent's receiver reads it (readDatagram), at calendar
  // time now (seconds, low 32 bits).
  void handleDatagram(char* buffer, size_t length, uint32_t now);
  // The first count datagrams of a batch (buffers of MSG_BUFFER_SIZE bytes), in order.
  void handleBatch(ReceiveBatch& batch, size_t count, uint32_t now);
  // Messages already read, in order; those of other types than P, E, O (and S with the
  // sonar model) change nothing.
  void handleMessages(std::span<const Message> messages, uint32_t now);

  // The agents in the peer table, in name order.
  std::vector<Peer> peers() const;
  // One agent as peers() gives it; false when it is not in the peer table.
  bool peer(std::string_view name, Peer& out) const;
  long knownCells() const;
  // Writes the map file through a temporary file renamed over path (map/map_file.h).
  bool save(const std::string& path) const;
  // Calls read(map) while holding the map's mutex.
  template <class Read>
  void readMap(Read read) const {
    ArLockGuard hold(myMap.mutex);
    read(std::as_const(myMap));
  }

 private:
  struct Activity {
    long p = 0, e = 0, o = 0;
    std::deque<ArPose> trail;
  };
  void countActivity(std::span<const Message> messages, std::span<const bool> applied);
  Peer describePeer(const std::string& name, const PeerEntry& entry) const;  // with myPeersMutex held

  TeamState team();

  mutable OccupancyMap myMap;
  mutable ArMutex myPeersMutex;
  PeerTable myPeers;                                        // guarded by myPeersMutex
  MapModel myMapping;
  SonarMemory mySonar;                                      // guarded by myPeersMutex
  std::map<std::string, Activity, std::less<>> myActivity;  // guarded by myPeersMutex
};

// Reads the first count datagrams of a batch (buffers of MSG_BUFFER_SIZE bytes) in order,
// as an agent's receiver does, and hands the readable ones to handle in runs of up to
// TEAM_RUN messages (a std::span<const Message>); unreadable datagrams are dropped.
template <class Handle>
void readBatchInRuns(ReceiveBatch& batch, size_t count, Handle handle) {
  std::array<Message, TEAM_RUN> messages;
  for (size_t from = 0; from < count; from += TEAM_RUN) {
    size_t readable = 0;
    for (size_t i = from; i < count && i < from + TEAM_RUN; ++i) {
      if (readDatagram(batch.data(i), batch.length(i), messages[readable])) ++readable;
    }
    handle(std::span<const Message>(messages.data(), readable));
  }
}

// One line that reports a save for people and scripts alike:
//   "12.5 s: saved team.ppm, 4711 known cells, 2 peers | alpha 1000.000 -250.000 90.000 P 24 E 380 O 0 | bob ..."
// one " | "-separated part per agent: its name, its last pose (x, y in mm, heading in
// degrees) and its P, E and O messages that took effect. With saved false the line says
// "NOT saved" instead.
std::string describeTeam(double seconds, const std::string& file, bool saved, long knownCells,
                         const std::vector<TeamMap::Peer>& peers);
