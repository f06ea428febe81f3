#pragma once
// Framing of the robot protocol, shared by the client layer and the simulator.
// A packet is FA FB, a byte count N (payload bytes plus the two checksum bytes),
// the payload, and a 16-bit checksum sent high byte first.
#include <cstddef>
#include <cstdint>

namespace arproto {

constexpr uint8_t kHeader1 = 0xFA;
constexpr uint8_t kHeader2 = 0xFB;
constexpr int kMinCount = 3;      // one payload byte and the checksum
constexpr int kMaxCount = 249;    // largest byte count a receiver accepts
constexpr int kMaxSendTotal = 200;  // largest packet a sender emits, header included
constexpr int kMaxPacket = kMaxCount + 3;

// Argument type bytes of client commands.
constexpr uint8_t kArgPositive = 0x3B;
constexpr uint8_t kArgNegative = 0x1B;
constexpr uint8_t kArgString = 0x2B;

// Client command numbers of the minimum subset (and a few the simulator accepts).
enum Command : uint8_t {
  SYNC0 = 0, PULSE = 0,
  SYNC1 = 1, OPEN = 1,
  SYNC2 = 2, CLOSE = 2,
  POLLING = 3, ENABLE = 4, SETA = 5, SETV = 6, SETO = 7, MOVE = 8, ROTATE = 9, SETRV = 10,
  VEL = 11, HEAD = 12, DHEAD = 13, SAY = 15, CONFIG = 18, ENCODER = 19, RVEL = 21, DCHEAD = 22,
  SETRA = 23, SONAR = 28, STOP = 29, DIGOUT = 30, VEL2 = 32, BUMPSTALL = 44, JOYDRIVE = 47,
  SONARCYCLE = 48, HOSTBAUD = 50, E_STOP = 55, E_STALL = 56, SOUNDTOG = 92,
};

// Checksum over the payload: big-endian 16-bit words summed modulo 2^16, an odd
// trailing byte XORed into the low byte.
uint16_t checksum(const uint8_t* payload, size_t len);

// One framed packet, header to checksum.
struct Packet {
  uint8_t bytes[kMaxPacket];
  size_t size = 0;

  const uint8_t* payload() const { return bytes + 3; }
  size_t payloadSize() const { return size >= 5 ? size - 5 : 0; }
  uint8_t type() const { return bytes[3]; }
};

// Frames a payload (1 .. kMaxCount-2 bytes). Returns false when it does not fit.
bool makePacket(const uint8_t* payload, size_t len, Packet& out);
// A command without argument (N = 3).
Packet makeCommand(uint8_t command);
// A command with a 16-bit integer argument: 3B and the value for zero and positive
// values, 1B and the magnitude for negative ones. The magnitude is clamped to 32767.
Packet makeCommandInt(uint8_t command, int value);

// Reads an argument of a received command: the type byte at payload[1] and a little-endian
// 16-bit value. Returns false when the payload is too short.
bool readIntArg(const uint8_t* payload, size_t len, int& value);

inline uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline int16_t readS16(const uint8_t* p) { return static_cast<int16_t>(readU16(p)); }
inline void writeU16(uint8_t* p, uint16_t v) { p[0] = static_cast<uint8_t>(v & 0xFF); p[1] = static_cast<uint8_t>(v >> 8); }

// Splits a byte stream into packets. Bytes are appended with feed(); next() yields each
// well-formed packet in order. On a bad checksum or an impossible byte count the first
// header byte is dropped and the scan resumes at the next byte. Memory is bounded: the
// buffer never holds more than one maximal packet plus what one feed() brings.
class Framer {
 public:
  // Appends up to n bytes; returns how many were taken (all of them unless the internal
  // buffer is full, which a caller avoids by draining next() after every feed).
  size_t feed(const uint8_t* data, size_t n);
  // Extracts the next valid packet; false when no complete packet is buffered.
  bool next(Packet& out);
  // Drops everything buffered.
  void clear() { myLen = 0; }
  size_t buffered() const { return myLen; }
  uint64_t errors() const { return myErrors; }

  static constexpr size_t kCapacity = 4096;

 private:
  void drop(size_t n);
  uint8_t myBuf[kCapacity];
  size_t myLen = 0;
  uint64_t myErrors = 0;
};

}  // namespace arproto
