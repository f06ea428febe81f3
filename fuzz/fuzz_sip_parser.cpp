// Feeds arbitrary bytes through the client's receive path: the stream framer, then the
// SIP and identity decoders, odometry unwrapping and sonar point placement. The first
// byte sets the size of the pieces the stream arrives in, as TCP may split it anywhere.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "aria/ar_packet.h"
#include "aria/ar_sip.h"

namespace {

void decodePacket(const arproto::Packet& p, arproto::OdometryDecoder& odometry) {
  arproto::Sip sip;
  if (arproto::decodeSip(p.payload(), p.payloadSize(), sip)) {
    if (sip.sonarCount < 0 || sip.sonarCount > arproto::kMaxSipReadings) std::abort();
    odometry.update(sip.xRaw, sip.yRaw);
    double th = arproto::headingFromRaw(sip.thRaw);
    if (!(th > -180.0 && th <= 180.0)) std::abort();
    for (int k = 0; k < sip.sonarCount; ++k) {
      if (sip.sonar[k].disc >= arproto::kGeometryDiscs) continue;
      ArPose point = arproto::sonarPointInRobotFrame(sip.sonar[k].disc, sip.sonar[k].range);
      if (!std::isfinite(point.getX()) || !std::isfinite(point.getY())) std::abort();
    }
    return;
  }
  arproto::Identity identity;
  if (arproto::decodeIdentity(p.payload(), p.payloadSize(), identity) && identity.name.size() > 19) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t chunk = data[0] % 64 + 1;
  ++data;
  --size;
  arproto::Framer framer;
  arproto::OdometryDecoder odometry;
  arproto::Packet packet;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = size - at < chunk ? size - at : chunk;
    if (framer.feed(data + at, n) != n) std::abort();  // draining after every feed keeps room
    while (framer.next(packet)) {
      if (packet.size < 6 || packet.size != static_cast<size_t>(packet.bytes[2]) + 3) std::abort();
      decodePacket(packet, odometry);
    }
    if (framer.buffered() > static_cast<size_t>(arproto::kMaxPacket)) std::abort();
  }
  return 0;
}
