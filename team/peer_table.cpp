#include "team/peer_table.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "base/console.h"

void PeerTable::forget(iterator entry) {
  myRecency.erase(entry->second.heard);
  erase(entry);
}

bool PeerTable::makeRoom(std::string_view own) {
  auto oldest = myRecency.begin();
  if (oldest != myRecency.end() && oldest->second->first == own) ++oldest;
  if (oldest == myRecency.end()) return false;
  if (!myToldFull) {
    myToldFull = true;
    writeLine(stderr, "peer table: full (" + std::to_string(PEER_TABLE_CAPACITY) +
                          " names); each new name now takes the place of the agent heard longest ago");
  }
  forget(oldest->second);
  myNoneStale = false;
  return true;
}

bool recordPeerPose(PeerTable& table, std::string_view name, const ArPose& pose, uint32_t now,
                    std::string_view own) {
  auto entry = table.find(name);
  if (entry == table.end()) {
    if (table.size() >= PEER_TABLE_CAPACITY && !table.makeRoom(own)) return false;
    entry = table.emplace(std::string(name), PeerEntry{true, pose, now}).first;
  } else {
    table.myRecency.erase(entry->second.heard);
    entry->second.pose = pose;
    entry->second.lastSeen = now;
  }
  entry->second.heard = ++table.myHeard;
  table.myRecency.emplace(entry->second.heard, entry);
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
      table.forget(entry);
      table.myNoneStale = false;
      return;
    }
    freshFor = std::min(freshFor, PEER_EXPIRY_S - age);
  }
  table.myNoneStale = true;
  table.myFreshFrom = now;
  table.myFreshUntil = now + freshFor;
}
