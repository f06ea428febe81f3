#pragma once
// The receiver: applies every message that arrives on the group, this agent's own
// included. P, E and O go through the team's rules (net/team_rules.h) over localMap,
// globalMap and peerTable: own readings and poses to localMap then globalMap, a peer's
// to globalMap only, and its readings only while it has an active peerTable entry (made
// by its P messages). Commands G, W and M addressed to this agent or to "all", and J
// addressed to this agent, set goalPose, wPose, mode and jRecord.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "team/peer_table.h"

// Thread body: receives datagrams in batches and applies them until exitFlag is set. A
// receive that timed out or was interrupted just returns to the exitFlag check; any
// other receive failure is reported on standard error with its reason and sets exitFlag.
void receiverThread();

// Whether the last receiverThread ended on a failed receive.
bool receiverFailed();

// Between two passes of the main loop the group socket stays open and this listener
// applies the commands that arrive (G, W, M, J), so that a mode or goal sent while the
// robot reconnects is not lost. The team's messages wait for the next pass, which clears
// the local map and reads the global one back from its file anyway.
class CommandListener {
 public:
  CommandListener() = default;
  CommandListener(const CommandListener&) = delete;
  CommandListener& operator=(const CommandListener&) = delete;
  ~CommandListener() { stop(); }

  // Starts listening on mcastSocket, if it is open.
  void start();
  // Ends the listening, within the socket's receive time-out. False when a receive
  // failed (said on standard error): the socket is of no more use.
  bool stop();

 private:
  std::thread myThread;
  std::atomic<bool> myStop{false};
  bool myFailed = false;
};

// Applies one received datagram. buffer holds MSG_BUFFER_SIZE bytes of which the first
// length arrived (length may exceed the buffer: the datagram was truncated); the text
// ends at the received length and at byte MSG_BUFFER_SIZE - 1 at most, so bytes an
// earlier, longer datagram left behind are never read. now: calendar seconds, low 32
// bits, used for the peer table and the J stamp.
void handleDatagram(char* buffer, size_t length, uint32_t now);
