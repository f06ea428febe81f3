#include "net/receiver.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/console.h"
#include "net/mcast_socket.h"
#include "net/messages.h"
#include "net/team_rules.h"
#include "state/shared_state.h"

namespace {

constexpr size_t RECEIVE_BATCH = TEAM_RUN;

std::atomic<bool> lastReceiveFailed{false};

bool addressesMe(std::string_view name) { return name == agentId || name == ALL_AGENTS; }

// The sonar model's memory of the senders' beams; the receiver thread alone uses it.
SonarMemory sonarMemory;

// The agent's maps and peer table, as the shared rules see them.
TeamState agentTeam() {
  SonarMemory* sonarModel = mapModel == MapModel::Sonar ? &sonarMemory : nullptr;
  return TeamState{agentId, localMap.get(), *globalMap, peerTable, peerTableMutex, sonarModel};
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
  if (m.name != agentId) return;
  ArLockGuard hold(jRecordMutex);
  jRecord = JRecord{m.reals[0], m.reals[1], m.reals[2], m.reals[3], m.values[0], m.values[1],
                    static_cast<int32_t>(now)};
}

void applyCommand(const Message& m, uint32_t now) {
  switch (m.type) {
    case 'G': applyCommandPose(m, goalPose); break;
    case 'W': applyCommandPose(m, wPose); break;
    case 'M': applyMode(m); break;
    case 'J': applyJ(m, now); break;
    default: break;  // D, T: no agent acts on them; P, E, O, S: the team's rules
  }
}

// The team's messages through the shared rules, then the commands, each in arrival
// order (the two touch different state).
void applyMessages(std::span<const Message> messages, uint32_t now) {
  applyTeamMessages(agentTeam(), messages, now);
  for (const Message& m : messages) applyCommand(m, now);
}

void handleBatch(ReceiveBatch& batch, size_t count, uint32_t now) {
  std::array<Message, RECEIVE_BATCH> messages;
  size_t readable = 0;
  for (size_t i = 0; i < count; ++i) {
    if (readDatagram(batch.data(i), batch.length(i), messages[readable])) ++readable;
  }
  applyMessages(std::span<const Message>(messages.data(), readable), now);
}

void reportFailedReceive() {
  writeLine(stderr, std::string("Receiving from the multicast group failed: ") + std::strerror(errno));
}

// The commands of a batch, for the time between passes.
void applyCommands(ReceiveBatch& batch, size_t count, uint32_t now) {
  Message message;
  for (size_t i = 0; i < count; ++i) {
    if (readDatagram(batch.data(i), batch.length(i), message)) applyCommand(message, now);
  }
}

}  // namespace

void handleDatagram(char* buffer, size_t length, uint32_t now) {
  Message message;
  if (!readDatagram(buffer, length, message)) return;
  applyMessages(std::span<const Message>(&message, 1), now);
}

bool receiverFailed() { return lastReceiveFailed.load(); }

void CommandListener::start() {
  if (myThread.joinable() || !mcastSocket.isOpen()) return;
  myStop = false;
  myFailed = false;
  myThread = std::thread([this] {
    ReceiveBatch batch(RECEIVE_BATCH, MSG_BUFFER_SIZE);
    while (!myStop.load()) {
      const long received = mcastSocket.receiveBatch(batch);
      if (received < 0) {
        reportFailedReceive();
        myFailed = true;
        return;
      }
      applyCommands(batch, static_cast<size_t>(received), calendarSeconds());
    }
  });
}

bool CommandListener::stop() {
  if (!myThread.joinable()) return true;
  myStop = true;
  myThread.join();
  return !myFailed;
}

void receiverThread() {
  lastReceiveFailed = false;
  ReceiveBatch batch(RECEIVE_BATCH, MSG_BUFFER_SIZE);
  while (getExitFlag() == 0) {
    const long received = mcastSocket.receiveBatch(batch);
    if (received < 0) {
      reportFailedReceive();
      lastReceiveFailed = true;
      setExitFlag(1);
      return;
    }
    if (received == 0) continue;
    handleBatch(batch, static_cast<size_t>(received), calendarSeconds());
    pauseWhenBusy(received, batch);
  }
}
