// One datagram, any bytes and any length, through the receiver's handler with both maps
// and the peer table live. The receive buffer starts each run full of digits, standing
// for bytes an earlier datagram left there, which no datagram may read.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/messages.h"
#include "net/receiver.h"
#include "state/shared_state.h"

namespace {

bool prepareAgent() {
  createMaps();
  agentId = "alpha";
  peerTable["alpha"] = PeerEntry{true, ArPose(0, 0, 0), 0};
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = prepareAgent();
  static uint32_t now = 0;
  (void)ready;
  char buffer[MSG_BUFFER_SIZE];
  std::memset(buffer, '9', sizeof buffer);
  std::memcpy(buffer, data, size < sizeof buffer ? size : sizeof buffer);
  // The clock moves on so that peer entries age and expire.
  handleDatagram(buffer, size, now += 7);
  return 0;
}
