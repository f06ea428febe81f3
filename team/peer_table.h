#pragma once
// The peer table: one entry per agent heard from on the group, keyed by its name (plain
// byte order, a prefix first), kept by P messages. An entry made by a P starts active;
// every P of that agent refreshes its pose and lastSeen; an entry whose last P is more
// than PEER_EXPIRY_S old may be removed, one per P message that arrives.
//
// Anyone on the group can send P messages under ever new names, so the table is bounded:
// it holds at most PEER_TABLE_CAPACITY entries. A P from a new name that finds it full
// takes the place of the entry whose last P was heard longest ago (never the own one),
// and the first time that happens one line on standard error says so. A peer sending a
// P every half second is then pushed out only by thousands of other names heard within
// that half second (docs/reliability.md measures it).
//
// The functions change only the table; the caller holds whatever lock guards it.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "aria/ar_pose.h"

// A peer whose last P is more than this many seconds old may be removed.
constexpr uint32_t PEER_EXPIRY_S = 60;
// Entries a table holds at most, the agent's own included: twice the largest team the
// scale model measures. A name is at most one datagram long, so a full table holds a few
// megabytes at worst (docs/reliability.md).
constexpr size_t PEER_TABLE_CAPACITY = 4096;

struct PeerEntry {
  bool active = false;
  ArPose pose;
  uint32_t lastSeen = 0;  // calendar seconds, low 32 bits
  uint64_t heard = 0;     // the table's count of P messages at its last P; 0: made otherwise
};

// An ordered map of the entries, used as one, plus a note the expiry sweep keeps so that
// a busy group does not pay a walk over the whole table for every P: after a walk has
// found no stale entry, none can turn stale before the oldest entry's age passes
// PEER_EXPIRY_S, so sweeps until then have nothing to do. A P recorded within that time
// makes an entry that stays fresh beyond it; one recorded outside it (the clock jumped)
// is followed by its own sweep, which walks. An entry changed by other means can make
// the note late by PEER_EXPIRY_S at most.
//
// Beside it, an index of the entries made or refreshed by P messages in the order they
// were last heard, so that a full table finds the one to drop without a walk. Entries
// made by other means (the own entry at start-up) are not in it and are never dropped
// to make room; entries leave the table only through the functions below or clear().
class PeerTable : public std::map<std::string, PeerEntry, std::less<>> {
 public:
  using Base = std::map<std::string, PeerEntry, std::less<>>;
  PeerTable() = default;
  // The recency index refers to this table's own entries.
  PeerTable(const PeerTable&) = delete;
  PeerTable& operator=(const PeerTable&) = delete;

  void clear() {
    Base::clear();
    myRecency.clear();
    myNoneStale = false;
  }

 private:
  friend bool recordPeerPose(PeerTable&, std::string_view, const ArPose&, uint32_t, std::string_view);
  friend void removeFirstStalePeer(PeerTable&, std::string_view, uint32_t);
  bool freshAt(uint32_t now) const {
    return myNoneStale && static_cast<uint32_t>(now - myFreshFrom) <= static_cast<uint32_t>(myFreshUntil - myFreshFrom);
  }
  void forget(iterator entry);
  bool makeRoom(std::string_view own);

  // No entry but the own one is stale while now lies in [myFreshFrom, myFreshUntil].
  bool myNoneStale = false;
  uint32_t myFreshFrom = 0, myFreshUntil = 0;
  // The entries made or refreshed by P messages, by their heard count: least recent first.
  std::map<uint64_t, iterator> myRecency;
  uint64_t myHeard = 0;
  bool myToldFull = false;
};

// A P message of name: a new name gets an active entry, a known one (own included) its
// pose and lastSeen refreshed with active left as it is. A new name that finds the table
// full takes the place of the entry heard longest ago other than own's; false, changing
// nothing, when no entry can give way.
bool recordPeerPose(PeerTable& table, std::string_view name, const ArPose& pose, uint32_t now,
                    std::string_view own);

// Whether name has an entry whose active flag is set.
bool hasActiveEntry(const PeerTable& table, std::string_view name);

// Removes the first entry in key order, never the one named own, whose last P is more
// than PEER_EXPIRY_S old; called with the time of every recordPeerPose, after it. The age is an unsigned 32-bit difference, so a lastSeen in the
// future (the clock was set back) counts as stale too.
void removeFirstStalePeer(PeerTable& table, std::string_view own, uint32_t now);
