#include "net/team_rules.h"

#include <algorithm>
#include <array>

#include "map/map_updates.h"

namespace {

ArPose firstPose(const Message& m) { return ArPose(m.reals[0], m.reals[1], m.reals[2]); }
ArPose point(const Message& m) { return ArPose(m.reals[0], m.reals[1], 0); }
ArPose readingRobotPose(const Message& m) { return ArPose(m.reals[2], m.reals[3], m.reals[4]); }

// What the sonar model takes of a message, decided once for both maps: the beam of an E,
// the discs of an S, and whether each is new evidence.
struct SonarPart {
  SonarBeam beam;
  bool fresh = false;    // E: the beam is new evidence
  uint16_t discs = 0;    // S: the silent discs that are new evidence
  uint16_t quiet = 0;    // S: those of them whose neighbours on the ring were silent too
};

StillBeams& beamsOf(SonarMemory& memory, std::string_view name) {
  auto found = memory.robots.find(name);
  if (found == memory.robots.end()) found = memory.robots.emplace(std::string(name), StillBeams{}).first;
  return found->second;
}

SonarPart sonarPart(SonarMemory& memory, const Message& m) {
  SonarPart part;
  if (m.type == 'E') {
    part.beam = beamOfReading(point(m), readingRobotPose(m));
    StillBeams& beams = beamsOf(memory, m.name);
    part.fresh = !beams.repeats(part.beam, readingRobotPose(m));
    beams.judgeEcho(part.beam, readingRobotPose(m));
  } else if (m.type == 'S') {
    StillBeams& beams = beamsOf(memory, m.name);
    for (int disc = 0; disc < MAX_SILENT_DISCS; ++disc) {
      if ((m.values[0] >> disc & 1) != 0 && !beams.repeats(silentBeam(firstPose(m), disc), firstPose(m))) {
        part.discs = static_cast<uint16_t>(part.discs | 1u << disc);
      }
    }
    // Judged once every disc of the firing is remembered: the neighbours fired with it.
    for (int disc = 0; disc < MAX_SILENT_DISCS; ++disc) {
      if ((part.discs >> disc & 1) != 0 && beams.quietAround(disc, firstPose(m))) part.quiet = static_cast<uint16_t>(part.quiet | 1u << disc);
    }
  }
  return part;
}

void forgetLeftSenders(SonarMemory& memory, const PeerTable& peers) {
  if (memory.robots.size() <= 2 * peers.size() + 64) return;
  std::erase_if(memory.robots, [&](const auto& entry) { return peers.find(entry.first) == peers.end(); });
}

// Own poses and readings stamp the own footprint, a peer's the peer footprint.
void markRay(OccupancyMap& map, const Message& m, bool own) {
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

void markSonar(OccupancyMap& map, const Message& m, bool own, const SonarPart& part) {
  const FootprintStyle style = own ? FootprintStyle::Own : FootprintStyle::Peer;
  switch (m.type) {
    case 'E':
      if (part.fresh) markSonarReading(map, part.beam, readingRobotPose(m), style);
      break;
    case 'S':
      for (int disc = 0; disc < MAX_SILENT_DISCS; ++disc) {
        if ((part.discs >> disc & 1) == 0) continue;
        SonarBeam beam = silentBeam(firstPose(m), disc);
        beam.quiet = (part.quiet >> disc & 1) != 0;
        markSonarReading(map, beam, firstPose(m), style);
      }
      break;
    case 'O': markSonarHit(map, point(m)); break;
    default: markRay(map, m, own); break;
  }
}

void mark(const TeamState& team, OccupancyMap& map, const Message& m, bool own, const SonarPart& part) {
  if (team.sonar != nullptr) markSonar(map, m, own, part);
  else markRay(map, m, own);
}

// The table's part of a message; true when the message goes on to the maps.
bool applyToTable(const TeamState& team, const Message& m, uint32_t now) {
  if (m.type != 'P') return hasActiveEntry(team.peers, m.name);
  const bool recorded = recordPeerPose(team.peers, m.name, firstPose(m), now, team.ownName);
  removeFirstStalePeer(team.peers, team.ownName, now);
  return recorded;
}

// Without the sonar model an S message is no team message: as for an agent that does not know it.
bool takesPart(const TeamState& team, char type) { return isTeamMessage(type) && (type != 'S' || team.sonar != nullptr); }

void applyRun(const TeamState& team, std::span<const Message> run, uint32_t now, bool* applied) {
  std::array<bool, TEAM_RUN> reaches{};
  std::array<SonarPart, TEAM_RUN> parts{};
  bool anyOwn = false, anyReach = false;
  {
    ArLockGuard hold(team.peersMutex);
    for (size_t i = 0; i < run.size(); ++i) {
      if (!takesPart(team, run[i].type)) continue;
      reaches[i] = applyToTable(team, run[i], now);
      anyReach = anyReach || reaches[i];
      anyOwn = anyOwn || (reaches[i] && run[i].name == team.ownName);
      if (reaches[i] && team.sonar != nullptr) parts[i] = sonarPart(*team.sonar, run[i]);
    }
    if (team.sonar != nullptr) forgetLeftSenders(*team.sonar, team.peers);
  }
  if (applied != nullptr) std::copy(reaches.begin(), reaches.begin() + static_cast<long>(run.size()), applied);
  if (anyOwn && team.localMap != nullptr) {
    ArLockGuard hold(team.localMap->mutex);
    for (size_t i = 0; i < run.size(); ++i) {
      if (reaches[i] && run[i].name == team.ownName) mark(team, *team.localMap, run[i], true, parts[i]);
    }
  }
  if (!anyReach) return;
  ArLockGuard hold(team.globalMap.mutex);
  for (size_t i = 0; i < run.size(); ++i) {
    if (reaches[i]) mark(team, team.globalMap, run[i], run[i].name == team.ownName, parts[i]);
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
