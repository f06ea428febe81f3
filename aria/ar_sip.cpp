#include "aria/ar_sip.h"

#include <cctype>

namespace arproto {

namespace {

// P3-DX sonar ring: discs 0-7 front (left to right), 8-15 rear (right to left).
constexpr SonarMount kMounts[kGeometryDiscs] = {
    {69, 136, 90},     {114, 119, 50},   {148, 78, 30},    {166, 27, 10},
    {166, -27, -10},   {148, -78, -30},  {114, -119, -50}, {69, -136, -90},
    {-157, -136, -90}, {-203, -119, -130}, {-237, -78, -150}, {-255, -27, -170},
    {-255, 27, 170},   {-237, 78, 150},  {-203, 119, 130}, {-157, 136, 90},
};

std::string lowercase(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Reads one NUL-terminated string starting at pos; pos ends after the NUL (or at len).
std::string readCString(const uint8_t* p, size_t len, size_t& pos) {
  constexpr size_t kMaxChars = 19;
  std::string s;
  for (; pos < len && p[pos] != 0; ++pos) {
    if (s.size() < kMaxChars) s.push_back(p[pos] >= 0x20 && p[pos] < 0x7F ? static_cast<char>(p[pos]) : '?');
  }
  if (pos < len) ++pos;
  return s;
}

}  // namespace

RobotParams paramsForSubclass(const std::string& subclass, bool& known) {
  std::string s = lowercase(subclass);
  RobotParams p;
  known = true;
  if (s == "p3dx") {
    p.distConv = 0.485;
    return p;
  }
  known = s == "p3dx-sh";
  return p;
}

const SonarMount& sonarMount(int disc) { return kMounts[disc]; }

ArPose sonarPointInRobotFrame(int disc, double range) {
  const SonarMount& m = kMounts[disc];
  return ArPose(m.x + range * ArMath::cos(m.th), m.y + range * ArMath::sin(m.th));
}

bool decodeSip(const uint8_t* p, size_t len, Sip& out) {
  constexpr size_t kFixed = 20;
  if (len < kFixed || !isStandardSipType(p[0])) return false;
  int count = p[19];
  size_t afterSonar = kFixed + 3 * static_cast<size_t>(count);
  if (count > kMaxSipReadings || len < afterSonar) return false;
  out.type = p[0];
  out.xRaw = readU16(p + 1);
  out.yRaw = readU16(p + 3);
  out.thRaw = readS16(p + 5);
  out.leftVel = readS16(p + 7);
  out.rightVel = readS16(p + 9);
  out.battery = p[11];
  out.stall = readU16(p + 12);
  out.control = readS16(p + 14);
  out.flags = readU16(p + 16);
  out.sonarCount = count;
  for (int k = 0; k < count; ++k) {
    const uint8_t* r = p + kFixed + 3 * k;
    out.sonar[k] = SonarReading{r[0], readU16(r + 1)};
  }
  // GRIP_STATE, ANPORT, ANALOG, DIGIN, DIGOUT (5), BATTERYX10 (2), CHARGESTATE (1), then ROTVEL.
  constexpr size_t kRotVelOffset = 8;
  out.hasRotVel = len >= afterSonar + kRotVelOffset + 2;
  out.rotVel = out.hasRotVel ? readS16(p + afterSonar + kRotVelOffset) : 0;
  return true;
}

bool decodeIdentity(const uint8_t* p, size_t len, Identity& out) {
  if (len < 1 || p[0] != SYNC2) return false;
  size_t pos = 1;
  out.name = readCString(p, len, pos);
  out.robotClass = readCString(p, len, pos);
  out.subclass = readCString(p, len, pos);
  return true;
}

double headingFromRaw(int16_t thRaw) { return ArMath::fixAngle(thRaw * (360.0 / 4096.0)); }

double positionFromRaw(uint16_t raw, double distConv) {
  const int low = raw & 0x7FFF;
  return (low >= 16384 ? low - 32768 : low) * distConv;
}

void OdometryDecoder::baseline(uint16_t xRaw, uint16_t yRaw) {
  myPrevX = xRaw & 0x7FFF;
  myPrevY = yRaw & 0x7FFF;
  myX = positionFromRaw(xRaw, myDistConv);
  myY = positionFromRaw(yRaw, myDistConv);
  myState = State::Tracking;
}

bool OdometryDecoder::update(uint16_t xRaw, uint16_t yRaw) {
  if (myState == State::SkipOne) {
    myState = State::Empty;
    return false;
  }
  if (myState == State::Empty) {
    baseline(xRaw, yRaw);
    return true;
  }
  int x = xRaw & 0x7FFF, y = yRaw & 0x7FFF;
  myX += delta15(x, myPrevX) * myDistConv;
  myY += delta15(y, myPrevY) * myDistConv;
  myPrevX = x;
  myPrevY = y;
  return true;
}

}  // namespace arproto
