// The agent: reads its name on standard input, then maps with its robot and shares
// what it sees with the group until it is told to stop. It takes no options.
#include "runtime/main_loop.h"

int main() {
  // The mutexes, records, agentId and peerTable are static objects, already built.
  createSharedObjects();
  int status = agentMain();
  destroySharedObjects();
  return status;
}
