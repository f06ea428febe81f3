#include "net/team_rules.h"

#include <algorithm>
#include <array>

#include "map/map_updates.h"

namespace {

ArPose firstPose(const Message& m) { return ArPose(m.reals[0], m.reals[1], m.reals[2]); }
ArPose point(const Message& m) { return ArPose(m.reals[0], m.reals[1], 0); }
ArPose readingRobotPose(const Message& m) { return ArPose(m.reals[2], m.reals[3], m.reals[4]); }

// Own poses and readings stamp the own footprint, a peer's the peer footprint.
void mark(OccupancyMap& map, const Message& m, bool own) {
  switch (m.type) {
    case 'P':
      if (own) markPose(map, firstPose(m));
      else markPeerPose(map, firstPose(m));
      break;
    case 'E':
      if (own) markReading(map, point(m), readingRobotPose(m));
      else markPeerReading(map, point(m), readingRobotPose(m));
      break;
    case 'O': markHit(map, point(m)); break;
    default: break;
  }
}

// The table's part of a message; true when the message goes on to the maps.
bool applyToTable(const TeamState& team, const Message& m, uint32_t now) {
  if (m.type != 'P') return hasActiveEntry(team.peers, m.name);
  const bool recorded = recordPeerPose(team.peers, m.name, firstPose(m), now, team.ownName);
  removeFirstStalePeer(team.peers, team.ownName, now);
  return recorded;
}

void applyRun(const TeamState& team, std::span<const Message> run, uint32_t now, bool* applied) {
  std::array<bool, TEAM_RUN> reaches{};
  bool anyOwn = false, anyReach = false;
  {
    ArLockGuard hold(team.peersMutex);
    for (size_t i = 0; i < run.size(); ++i) {
      if (!isTeamMessage(run[i].type)) continue;
      reaches[i] = applyToTable(team, run[i], now);
      anyReach = anyReach || reaches[i];
      anyOwn = anyOwn || (reaches[i] && run[i].name == team.ownName);
    }
  }
  if (applied != nullptr) std::copy(reaches.begin(), reaches.begin() + static_cast<long>(run.size()), applied);
  if (anyOwn && team.localMap != nullptr) {
    ArLockGuard hold(team.localMap->mutex);
    for (size_t i = 0; i < run.size(); ++i) {
      if (reaches[i] && run[i].name == team.ownName) mark(*team.localMap, run[i], true);
    }
  }
  if (!anyReach) return;
  ArLockGuard hold(team.globalMap.mutex);
  for (size_t i = 0; i < run.size(); ++i) {
    if (reaches[i]) mark(team.globalMap, run[i], run[i].name == team.ownName);
  }
}

}  // namespace

void applyTeamMessages(const TeamState& team, std::span<const Message> messages, uint32_t now,
                       std::span<bool> applied) {
  for (size_t from = 0; from < messages.size(); from += TEAM_RUN) {
    bool* flags = applied.size() == messages.size() ? applied.data() + from : nullptr;
    applyRun(team, messages.subspan(from, std::min(TEAM_RUN, messages.size() - from)), now, flags);
  }
}
