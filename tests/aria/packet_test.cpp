// Framing of the robot protocol: the worked byte examples, checksums of odd and even
// payloads, and the framer's resynchronisation on damaged input.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "aria/ar_packet.h"
#include "aria/ar_sip.h"

namespace {

std::vector<uint8_t> bytesOf(const arproto::Packet& p) { return std::vector<uint8_t>(p.bytes, p.bytes + p.size); }

void frameAll(const std::vector<uint8_t>& stream, size_t chunk, std::vector<arproto::Packet>& out) {
  arproto::Framer f;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    size_t n = std::min(chunk, stream.size() - at);
    f.feed(stream.data() + at, n);
    arproto::Packet p;
    while (f.next(p)) out.push_back(p);
  }
}

// The SIP of the protocol sheet's worked example (x 1000, y -200, heading 90 degrees).
const std::vector<uint8_t> kExampleSip = {
    0xFA, 0xFB, 0x28, 0x33, 0xE8, 0x03, 0x38, 0x7F, 0x00, 0x04, 0x50, 0x00, 0x78, 0x00, 0x7D, 0x00, 0x00,
    0x00, 0x04, 0x07, 0x00, 0x00, 0x02, 0x03, 0xDC, 0x05, 0x04, 0x88, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x7D, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x93, 0xDB};

}  // namespace

TEST(PacketFraming, CommandsMatchTheWorkedExamples) {
  using V = std::vector<uint8_t>;
  EXPECT_EQ(bytesOf(arproto::makeCommand(arproto::SYNC0)), (V{0xFA, 0xFB, 0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(bytesOf(arproto::makeCommand(arproto::OPEN)), (V{0xFA, 0xFB, 0x03, 0x01, 0x00, 0x01}));
  EXPECT_EQ(bytesOf(arproto::makeCommand(arproto::CLOSE)), (V{0xFA, 0xFB, 0x03, 0x02, 0x00, 0x02}));
  EXPECT_EQ(bytesOf(arproto::makeCommand(arproto::STOP)), (V{0xFA, 0xFB, 0x03, 0x1D, 0x00, 0x1D}));
  EXPECT_EQ(bytesOf(arproto::makeCommand(arproto::E_STOP)), (V{0xFA, 0xFB, 0x03, 0x37, 0x00, 0x37}));
  EXPECT_EQ(bytesOf(arproto::makeCommand(arproto::SETO)), (V{0xFA, 0xFB, 0x03, 0x07, 0x00, 0x07}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::ENABLE, 1)), (V{0xFA, 0xFB, 0x06, 0x04, 0x3B, 0x01, 0x00, 0x05, 0x3B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::ENABLE, 0)), (V{0xFA, 0xFB, 0x06, 0x04, 0x3B, 0x00, 0x00, 0x04, 0x3B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::SONAR, 1)), (V{0xFA, 0xFB, 0x06, 0x1C, 0x3B, 0x01, 0x00, 0x1D, 0x3B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::VEL, 200)), (V{0xFA, 0xFB, 0x06, 0x0B, 0x3B, 0xC8, 0x00, 0xD3, 0x3B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::VEL, -150)), (V{0xFA, 0xFB, 0x06, 0x0B, 0x1B, 0x96, 0x00, 0xA1, 0x1B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::HEAD, 90)), (V{0xFA, 0xFB, 0x06, 0x0C, 0x3B, 0x5A, 0x00, 0x66, 0x3B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::DHEAD, -45)), (V{0xFA, 0xFB, 0x06, 0x0D, 0x1B, 0x2D, 0x00, 0x3A, 0x1B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::RVEL, -30)), (V{0xFA, 0xFB, 0x06, 0x15, 0x1B, 0x1E, 0x00, 0x33, 0x1B}));
  EXPECT_EQ(bytesOf(arproto::makeCommandInt(arproto::RVEL, 0)), (V{0xFA, 0xFB, 0x06, 0x15, 0x3B, 0x00, 0x00, 0x15, 0x3B}));
}

TEST(PacketFraming, ExtremeArgumentsAreClampedToTheMagnitudeRange) {
  int value = 0;
  arproto::Packet low = arproto::makeCommandInt(arproto::VEL, INT_MIN);
  ASSERT_TRUE(arproto::readIntArg(low.payload(), low.payloadSize(), value));
  EXPECT_EQ(value, -32767);
  arproto::Packet high = arproto::makeCommandInt(arproto::VEL, 70000);
  ASSERT_TRUE(arproto::readIntArg(high.payload(), high.payloadSize(), value));
  EXPECT_EQ(value, 32767);
}

TEST(PacketFraming, IdentityReplyAndExampleSipChecksums) {
  const uint8_t identity[] = {0x02, 's', 'i', 'm', 'b', 'o', 't', 0, 'P', 'i', 'o', 'n', 'e', 'e', 'r', 0,
                              'p',  '3', 'd', 'x', '-', 's', 'h', 0};
  arproto::Packet p;
  ASSERT_TRUE(arproto::makePacket(identity, sizeof identity, p));
  EXPECT_EQ(p.size, 29u);
  EXPECT_EQ(p.bytes[2], 0x1A);
  EXPECT_EQ(p.bytes[27], 0x43);
  EXPECT_EQ(p.bytes[28], 0xA9);
  EXPECT_EQ(arproto::checksum(kExampleSip.data() + 3, kExampleSip.size() - 5), 0x93DB);

  // Odd payloads longer than one byte, worked by hand: the words, then the last byte
  // XORed into the low byte. 0B3B ^ 00C8 = 0BF3; 0102 + 0304 = 0406, ^ 00FF = 04F9.
  const uint8_t three[] = {0x0B, 0x3B, 0xC8};
  ASSERT_TRUE(arproto::makePacket(three, sizeof three, p));
  EXPECT_EQ(bytesOf(p), (std::vector<uint8_t>{0xFA, 0xFB, 0x05, 0x0B, 0x3B, 0xC8, 0x0B, 0xF3}));
  const uint8_t five[] = {0x01, 0x02, 0x03, 0x04, 0xFF};
  ASSERT_TRUE(arproto::makePacket(five, sizeof five, p));
  EXPECT_EQ(bytesOf(p), (std::vector<uint8_t>{0xFA, 0xFB, 0x07, 0x01, 0x02, 0x03, 0x04, 0xFF, 0x04, 0xF9}));
}

TEST(PacketFraming, FramerYieldsPacketsSplitAnywhereInTheStream) {
  std::vector<uint8_t> stream = kExampleSip;
  arproto::Packet pulse = arproto::makeCommand(arproto::PULSE);
  stream.insert(stream.end(), pulse.bytes, pulse.bytes + pulse.size);
  stream.insert(stream.end(), kExampleSip.begin(), kExampleSip.end());
  for (size_t chunk : {1u, 2u, 5u, 43u, 1000u}) {
    std::vector<arproto::Packet> out;
    frameAll(stream, chunk, out);
    ASSERT_EQ(out.size(), 3u) << "chunk " << chunk;
    EXPECT_EQ(bytesOf(out[0]), kExampleSip);
    EXPECT_EQ(out[1].type(), 0);
    EXPECT_EQ(bytesOf(out[2]), kExampleSip);
  }
}

TEST(PacketFraming, FramerResynchronisesAfterDamage) {
  std::vector<uint8_t> stream = {0x00, 0xFA, 0x17, 0xFA, 0xFB, 0x02, 0xFA, 0xFB, 0xFA};  // noise, count 2
  std::vector<uint8_t> bad = kExampleSip;
  bad[10] ^= 0x01;  // checksum no longer matches
  stream.insert(stream.end(), bad.begin(), bad.end());
  stream.insert(stream.end(), {0xFA, 0xFB, 0xFA, 0xFB});  // count byte is FA: too large
  stream.insert(stream.end(), kExampleSip.begin(), kExampleSip.end());
  std::vector<arproto::Packet> out;
  arproto::Framer f;
  f.feed(stream.data(), stream.size());
  arproto::Packet p;
  while (f.next(p)) out.push_back(p);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(bytesOf(out[0]), kExampleSip);
  EXPECT_GE(f.errors(), 3u);
  EXPECT_EQ(f.buffered(), 0u);
}

TEST(SipDecoding, ExampleSipFieldsDecode) {
  arproto::Sip sip;
  ASSERT_TRUE(arproto::decodeSip(kExampleSip.data() + 3, kExampleSip.size() - 5, sip));
  EXPECT_EQ(sip.type, 0x33);
  EXPECT_EQ(sip.xRaw, 1000);
  EXPECT_EQ(sip.yRaw, 32568);
  EXPECT_DOUBLE_EQ(arproto::headingFromRaw(sip.thRaw), 90.0);
  EXPECT_EQ(sip.leftVel, 80);
  EXPECT_EQ(sip.rightVel, 120);
  EXPECT_EQ(sip.flags, 7);
  ASSERT_EQ(sip.sonarCount, 2);
  EXPECT_EQ(sip.sonar[0].disc, 3);
  EXPECT_EQ(sip.sonar[0].range, 1500);
  EXPECT_EQ(sip.sonar[1].disc, 4);
  EXPECT_EQ(sip.sonar[1].range, 5000);
  ASSERT_TRUE(sip.hasRotVel);
  EXPECT_EQ(sip.rotVel, 64);

  arproto::OdometryDecoder odo;
  odo.update(sip.xRaw, sip.yRaw);
  EXPECT_DOUBLE_EQ(odo.x(), 1000);
  EXPECT_DOUBLE_EQ(odo.y(), -200);
}

TEST(SipDecoding, ShortOrOverCountedPacketsAreRejected) {
  std::vector<uint8_t> payload(kExampleSip.begin() + 3, kExampleSip.end() - 2);
  arproto::Sip sip;
  // Count 2 needs 26 bytes; 25 are too few.
  EXPECT_FALSE(arproto::decodeSip(payload.data(), 25, sip));
  EXPECT_TRUE(arproto::decodeSip(payload.data(), 26, sip));
  EXPECT_FALSE(sip.hasRotVel);
  payload[19] = 200;
  EXPECT_FALSE(arproto::decodeSip(payload.data(), payload.size(), sip));
  payload[0] = 0x20;  // a CONFIG packet is not a SIP
  payload[19] = 2;
  EXPECT_FALSE(arproto::decodeSip(payload.data(), payload.size(), sip));
}

TEST(SipDecoding, OdometryUnwrapsAcrossTheFifteenBitBoundary) {
  arproto::OdometryDecoder odo;
  odo.update(32760, 5);  // baseline: -8 mm, 5 mm
  EXPECT_DOUBLE_EQ(odo.x(), -8);
  odo.update(10, 32765);  // forward across 0, y backward across 0
  EXPECT_DOUBLE_EQ(odo.x(), 10);
  EXPECT_DOUBLE_EQ(odo.y(), -3);
  // Long drive forward: many wraps accumulate.
  int raw = 10;
  for (int i = 0; i < 100; ++i) {
    raw = (raw + 1000) & 0x7FFF;
    odo.update(static_cast<uint16_t>(raw), 32765);
  }
  EXPECT_DOUBLE_EQ(odo.x(), 100010);
  // A 16-bit wrapping server sets bit 15; only the low 15 bits count.
  odo.update(static_cast<uint16_t>(raw | 0x8000), 32765);
  EXPECT_DOUBLE_EQ(odo.x(), 100010);
}

TEST(SipDecoding, SetoRebaselinesOnTheSecondSipAndScalesOldModels) {
  arproto::OdometryDecoder odo;
  odo.setDistConv(0.485);
  odo.update(2000, 0);
  EXPECT_DOUBLE_EQ(odo.x(), 970);
  odo.requestRebaseline();
  EXPECT_FALSE(odo.update(2100, 0));  // sent before the reset took effect
  EXPECT_DOUBLE_EQ(odo.x(), 970);
  EXPECT_TRUE(odo.update(32766, 4));  // the reset position, just behind the origin
  EXPECT_DOUBLE_EQ(odo.x(), -2 * 0.485);
  EXPECT_DOUBLE_EQ(odo.y(), 4 * 0.485);

  bool known = false;
  EXPECT_DOUBLE_EQ(arproto::paramsForSubclass("P3DX", known).distConv, 0.485);
  EXPECT_TRUE(known);
  EXPECT_DOUBLE_EQ(arproto::paramsForSubclass("p3dx-SH", known).distConv, 1.0);
  EXPECT_TRUE(known);
  EXPECT_DOUBLE_EQ(arproto::paramsForSubclass("amigo", known).distConv, 1.0);
  EXPECT_FALSE(known);
}

TEST(SipDecoding, IdentityStringsAreBoundedByThePayload) {
  arproto::Identity id;
  const uint8_t full[] = {2, 'a', 0, 'P', 0, 'p', '3', 'd', 'x', 0, 'x', 'x'};
  ASSERT_TRUE(arproto::decodeIdentity(full, sizeof full, id));
  EXPECT_EQ(id.name, "a");
  EXPECT_EQ(id.robotClass, "P");
  EXPECT_EQ(id.subclass, "p3dx");
  const uint8_t truncated[] = {2, 'b', 'o', 't', 0, 'P', 'i'};
  ASSERT_TRUE(arproto::decodeIdentity(truncated, sizeof truncated, id));
  EXPECT_EQ(id.name, "bot");
  EXPECT_EQ(id.robotClass, "Pi");
  EXPECT_EQ(id.subclass, "");
  std::vector<uint8_t> longName = {2};
  longName.insert(longName.end(), 40, 'n');
  longName.insert(longName.end(), {0, 0x01, 0x7F, 0});
  ASSERT_TRUE(arproto::decodeIdentity(longName.data(), longName.size(), id));
  EXPECT_EQ(id.name, std::string(19, 'n'));
  EXPECT_EQ(id.robotClass, "??");
  const uint8_t notIdentity[] = {0};
  EXPECT_FALSE(arproto::decodeIdentity(notIdentity, sizeof notIdentity, id));
}
