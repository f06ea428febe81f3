#include "team/peer_table.h"

#include <algorithm>

bool recordPeerPose(PeerTable& table, std::string_view name, const ArPose& pose, uint32_t now) {
  auto entry = table.find(name);
  if (entry == table.end()) {
    if (table.size() >= PEER_TABLE_CAPACITY) return false;
    entry = table.emplace(std::string(name), PeerEntry{true, pose, now}).first;
    return true;
  }
  entry->second.pose = pose;
  entry->second.lastSeen = now;
  return true;
}

bool hasActiveEntry(const PeerTable& table, std::string_view name) {
  auto entry = table.find(name);
  return entry != table.end() && entry->second.active;
}

void removeFirstStalePeer(PeerTable& table, std::string_view own, uint32_t now) {
  if (table.freshAt(now)) return;
  uint32_t freshFor = PEER_EXPIRY_S;  // how long every entry walked past stays fresh
  for (auto entry = table.begin(); entry != table.end(); ++entry) {
    if (entry->first == own) continue;
    const uint32_t age = now - entry->second.lastSeen;
    if (age > PEER_EXPIRY_S) {
      table.erase(entry);
      table.myNoneStale = false;
      return;
    }
    freshFor = std::min(freshFor, PEER_EXPIRY_S - age);
  }
  table.myNoneStale = true;
  table.myFreshFrom = now;
  table.myFreshUntil = now + freshFor;
}
