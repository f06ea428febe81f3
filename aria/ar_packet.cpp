#include "aria/ar_packet.h"

#include <algorithm>
#include <cstring>

namespace arproto {

uint16_t checksum(const uint8_t* payload, size_t len) {
  uint16_t c = 0;
  size_t i = 0;
  for (; i + 1 < len; i += 2) c = static_cast<uint16_t>(c + ((payload[i] << 8) | payload[i + 1]));
  if (i < len) c = static_cast<uint16_t>(c ^ payload[i]);
  return c;
}

bool makePacket(const uint8_t* payload, size_t len, Packet& out) {
  if (len < 1 || len + 2 > static_cast<size_t>(kMaxCount)) return false;
  out.bytes[0] = kHeader1;
  out.bytes[1] = kHeader2;
  out.bytes[2] = static_cast<uint8_t>(len + 2);
  std::memcpy(out.bytes + 3, payload, len);
  uint16_t c = checksum(payload, len);
  out.bytes[3 + len] = static_cast<uint8_t>(c >> 8);
  out.bytes[4 + len] = static_cast<uint8_t>(c & 0xFF);
  out.size = len + 5;
  return true;
}

Packet makeCommand(uint8_t command) {
  Packet p;
  makePacket(&command, 1, p);
  return p;
}

Packet makeCommandInt(uint8_t command, int value) {
  // Widened before negating: -INT_MIN does not fit in an int.
  long long wide = value;
  int magnitude = static_cast<int>(std::min(wide < 0 ? -wide : wide, 32767LL));
  uint8_t payload[4] = {command, value < 0 ? kArgNegative : kArgPositive, 0, 0};
  writeU16(payload + 2, static_cast<uint16_t>(magnitude));
  Packet p;
  makePacket(payload, sizeof payload, p);
  return p;
}

bool readIntArg(const uint8_t* payload, size_t len, int& value) {
  if (len < 4) return false;
  uint16_t raw = readU16(payload + 2);
  value = payload[1] == kArgNegative ? -static_cast<int>(raw) : static_cast<int>(raw);
  return true;
}

size_t Framer::feed(const uint8_t* data, size_t n) {
  size_t take = std::min(n, kCapacity - myLen);
  std::memcpy(myBuf + myLen, data, take);
  myLen += take;
  return take;
}

void Framer::drop(size_t n) {
  std::memmove(myBuf, myBuf + n, myLen - n);
  myLen -= n;
}

bool Framer::next(Packet& out) {
  for (;;) {
    // Find the next FA FB; keep a trailing FA that may start a header.
    size_t start = 0;
    while (start + 1 < myLen && !(myBuf[start] == kHeader1 && myBuf[start + 1] == kHeader2)) ++start;
    if (start + 1 >= myLen) {
      bool keepLast = myLen > 0 && myBuf[myLen - 1] == kHeader1;
      drop(keepLast ? myLen - 1 : myLen);
      return false;
    }
    if (start > 0) drop(start);
    if (myLen < 3) return false;
    int count = myBuf[2];
    if (count < kMinCount || count > kMaxCount) {
      ++myErrors;
      drop(1);
      continue;
    }
    size_t total = static_cast<size_t>(count) + 3;
    if (myLen < total) return false;
    const uint8_t* payload = myBuf + 3;
    size_t plen = total - 5;
    uint16_t sent = static_cast<uint16_t>((myBuf[total - 2] << 8) | myBuf[total - 1]);
    if (checksum(payload, plen) != sent) {
      ++myErrors;
      drop(1);
      continue;
    }
    std::memcpy(out.bytes, myBuf, total);
    out.size = total;
    drop(total);
    return true;
  }
}

}  // namespace arproto
