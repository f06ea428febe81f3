#include "net/receiver.h"

#include <string>

#include "base/clock.h"
#include "map/map_updates.h"
#include "net/mcast_socket.h"
#include "net/messages.h"
#include "state/shared_state.h"

namespace {

bool isOwn(std::string_view name) { return name == agentId; }
bool addressesMe(std::string_view name) { return isOwn(name) || name == ALL_AGENTS; }

template <class Mark>
void markBothMaps(Mark mark) {
  {
    ArLockGuard hold(localMap->mutex);
    mark(*localMap);
  }
  ArLockGuard hold(globalMap->mutex);
  mark(*globalMap);
}

template <class Mark>
void markGlobalMap(Mark mark) {
  ArLockGuard hold(globalMap->mutex);
  mark(*globalMap);
}

bool hasActiveEntry(std::string_view name) {
  auto entry = peerTable.find(std::string(name));
  return entry != peerTable.end() && entry->second.active;
}

void recordPeerPose(std::string_view name, const ArPose& pose, uint32_t now) {
  ArLockGuard hold(peerTableMutex);
  auto [entry, inserted] = peerTable.try_emplace(std::string(name));
  if (inserted) entry->second.active = true;
  entry->second.pose = pose;
  entry->second.lastSeen = now;
}

// Removes the first entry in key order, never the own one, whose last P is more than
// PEER_EXPIRY_S old. The age is an unsigned 32-bit difference, so a lastSeen in the
// future (the clock was set back) counts as stale too.
void removeFirstStalePeer(uint32_t now) {
  ArLockGuard hold(peerTableMutex);
  for (auto entry = peerTable.begin(); entry != peerTable.end(); ++entry) {
    if (isOwn(entry->first)) continue;
    if (static_cast<uint32_t>(now - entry->second.lastSeen) > PEER_EXPIRY_S) {
      peerTable.erase(entry);
      return;
    }
  }
}

void applyPose(const Message& m, uint32_t now) {
  const ArPose pose(m.reals[0], m.reals[1], m.reals[2]);
  recordPeerPose(m.name, pose, now);
  if (isOwn(m.name)) {
    markBothMaps([&](OccupancyMap& map) { markPose(map, pose); });
  } else {
    markGlobalMap([&](OccupancyMap& map) { markPeerPose(map, pose); });
  }
  removeFirstStalePeer(now);
}

void applyReading(const Message& m) {
  const ArPose point(m.reals[0], m.reals[1], 0);
  const ArPose robotPose(m.reals[2], m.reals[3], m.reals[4]);
  if (!hasActiveEntry(m.name)) return;
  if (isOwn(m.name)) {
    markBothMaps([&](OccupancyMap& map) { markReading(map, point, robotPose); });
  } else {
    markGlobalMap([&](OccupancyMap& map) { markPeerReading(map, point, robotPose); });
  }
}

void applyHit(const Message& m) {
  const ArPose point(m.reals[0], m.reals[1], 0);
  if (!hasActiveEntry(m.name)) return;
  if (isOwn(m.name)) {
    markBothMaps([&](OccupancyMap& map) { markHit(map, point); });
  } else {
    markGlobalMap([&](OccupancyMap& map) { markHit(map, point); });
  }
}

void applyCommandPose(const Message& m, GuardedPose& target) {
  if (!addressesMe(m.name)) return;
  target.store(ArPose(m.reals[0], m.reals[1], m.reals[2]));
}

void applyMode(const Message& m) {
  if (!addressesMe(m.name)) return;
  setMode(m.values[0]);
}

void applyJ(const Message& m, uint32_t now) {
  if (!isOwn(m.name)) return;
  ArLockGuard hold(jRecordMutex);
  jRecord = JRecord{m.reals[0], m.reals[1], m.reals[2], m.reals[3], m.values[0], m.values[1],
                    static_cast<int32_t>(now)};
}

void applyMessage(const Message& m, uint32_t now) {
  switch (m.type) {
    case 'P': applyPose(m, now); break;
    case 'E': applyReading(m); break;
    case 'O': applyHit(m); break;
    case 'G': applyCommandPose(m, goalPose); break;
    case 'W': applyCommandPose(m, wPose); break;
    case 'M': applyMode(m); break;
    case 'J': applyJ(m, now); break;
    default: break;  // D: no agent acts on it
  }
}

// A receive that timed out or was interrupted gives 0 and changes nothing.
void receiveOne(char* buffer) {
  const long received = mcastSocket.receive(buffer, MSG_BUFFER_SIZE);
  if (received < 0) {
    setExitFlag(1);
    return;
  }
  handleDatagram(buffer, static_cast<size_t>(received), calendarSeconds());
}

}  // namespace

void handleDatagram(char* buffer, size_t length, uint32_t now) {
  if (length == 0) return;
  buffer[length < MSG_BUFFER_SIZE ? length : MSG_BUFFER_SIZE - 1] = '\0';
  Message message;
  if (!parseMessage(buffer, message)) return;
  applyMessage(message, now);
}

void receiverThread() {
  char buffer[MSG_BUFFER_SIZE] = {};
  while (getExitFlag() == 0) receiveOne(buffer);
}
