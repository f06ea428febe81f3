#include "tools/lib/team_map.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "map/map_file.h"
#include "net/team_rules.h"
#include "tools/lib/counted.h"

TeamMap::TeamMap(MapModel mapping) : myMap(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM), myMapping(mapping) {}

TeamState TeamMap::team() {
  return TeamState{{}, nullptr, myMap, myPeers, myPeersMutex, myMapping == MapModel::Sonar ? &mySonar : nullptr};
}

void TeamMap::handleDatagram(char* buffer, size_t length, uint32_t now) {
  Message message;
  if (readDatagram(buffer, length, message)) handleMessages(std::span<const Message>(&message, 1), now);
}

void TeamMap::handleBatch(ReceiveBatch& batch, size_t count, uint32_t now) {
  readBatchInRuns(batch, count, [&](std::span<const Message> run) { handleMessages(run, now); });
}

void TeamMap::handleMessages(std::span<const Message> messages, uint32_t now) {
  std::array<bool, TEAM_RUN> applied{};
  for (size_t from = 0; from < messages.size(); from += TEAM_RUN) {
    const std::span<const Message> run = messages.subspan(from, std::min(TEAM_RUN, messages.size() - from));
    const std::span<bool> flags(applied.data(), run.size());
    applyTeamMessages(team(), run, now, flags);
    countActivity(run, flags);
  }
}

// Only messages that took effect are counted, so only agents that made it into the table
// (a flood of names is bounded here as there); the activity of agents that have left
// the table is dropped now and then.
void TeamMap::countActivity(std::span<const Message> messages, std::span<const bool> applied) {
  ArLockGuard hold(myPeersMutex);
  for (size_t i = 0; i < messages.size(); ++i) {
    if (!applied[i]) continue;
    const Message& m = messages[i];
    auto found = myActivity.find(m.name);
    if (found == myActivity.end()) found = myActivity.emplace(std::string(m.name), Activity{}).first;
    Activity& a = found->second;
    switch (m.type) {
      case 'P':
        ++a.p;
        a.trail.emplace_back(m.reals[0], m.reals[1], m.reals[2]);
        if (a.trail.size() > TRAIL_POSES) a.trail.pop_front();
        break;
      case 'E': ++a.e; break;
      case 'O': ++a.o; break;
      default: break;
    }
  }
  if (myActivity.size() <= 2 * myPeers.size() + 64) return;
  std::erase_if(myActivity, [&](const auto& entry) { return myPeers.find(entry.first) == myPeers.end(); });
}

TeamMap::Peer TeamMap::describePeer(const std::string& name, const PeerEntry& entry) const {
  Peer peer{name, entry.pose, entry.lastSeen, 0, 0, 0, {}};
  if (auto a = myActivity.find(name); a != myActivity.end()) {
    peer.p = a->second.p;
    peer.e = a->second.e;
    peer.o = a->second.o;
    peer.trail.assign(a->second.trail.begin(), a->second.trail.end());
  }
  return peer;
}

std::vector<TeamMap::Peer> TeamMap::peers() const {
  ArLockGuard hold(myPeersMutex);
  std::vector<Peer> out;
  out.reserve(myPeers.size());
  for (const auto& [name, entry] : myPeers) out.push_back(describePeer(name, entry));
  return out;
}

bool TeamMap::peer(std::string_view name, Peer& out) const {
  ArLockGuard hold(myPeersMutex);
  const auto found = myPeers.find(name);
  if (found == myPeers.end()) return false;
  out = describePeer(found->first, found->second);
  return true;
}

long TeamMap::knownCells() const {
  ArLockGuard hold(myMap.mutex);
  return myMap.knownCells();
}

bool TeamMap::save(const std::string& path) const {
  ArLockGuard hold(myMap.mutex);
  return writeMapFile(myMap, path.c_str());
}

std::string describeTeam(double seconds, const std::string& file, bool saved, long knownCells,
                         const std::vector<TeamMap::Peer>& peers) {
  char head[256];
  std::snprintf(head, sizeof head, "%.1f s: %s ", seconds, saved ? "saved" : "NOT saved");
  std::string line = head + file;
  std::snprintf(head, sizeof head, ", %ld known cells, ", knownCells);
  line += head + counted(static_cast<long>(peers.size()), "peer");
  for (const TeamMap::Peer& peer : peers) {
    char part[256];
    std::snprintf(part, sizeof part, " %.3f %.3f %.3f P %ld E %ld O %ld", peer.pose.getX(), peer.pose.getY(),
                  peer.pose.getTh(), peer.p, peer.e, peer.o);
    line += " | " + peer.name + part;
  }
  return line;
}
