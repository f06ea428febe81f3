#include "sim/odometry_error.h"

#include <cmath>
#include <numbers>

namespace sim {
namespace {

constexpr double kDegPerRad = 180.0 / std::numbers::pi;

// Travel of the right and the left wheel, mm.
struct WheelTravel {
  double right, left;
};

WheelTravel wheelsOf(const Motion& m, double wheelbase) {
  const double arc = m.turnDeg / kDegPerRad * wheelbase / 2;
  return {m.distMm + arc, m.distMm - arc};
}

Motion motionOf(const WheelTravel& w, double wheelbase) {
  return {(w.right + w.left) / 2, (w.right - w.left) / wheelbase * kDegPerRad};
}

// A wheel's travel with its random error: zero-mean, variance growing with the distance.
double withNoise(double travel, double variancePerMm, OdometryRandom& random) {
  if (variancePerMm <= 0 || travel == 0) return travel;
  std::normal_distribution<double> noise(0.0, std::sqrt(variancePerMm * std::fabs(travel)));
  return travel + noise(random);
}

}  // namespace

bool OdometryError::active() const {
  return distanceScale != 1 || wheelRatio != 1 || wheelbaseScale != 1 || wheelNoise > 0 || slipShare > 0;
}

// The realistic model is an uncalibrated differential drive of the class UMBmark
// measured: a 0.15 % wheel-diameter difference, a wheelbase 0.8 % wider than nominal, a
// 0.3 % distance scale, wheel noise of 0.001 mm^2 per mm (about 2 mm per wheel over 4 m),
// and wheels that slip on contact. worlds/README.md gives the sources and what the
// model amounts to on the UMBmark square.
bool odometryErrorPreset(std::string_view name, OdometryError& out) {
  if (name == "off") {
    out = OdometryError{};
    return true;
  }
  if (name == "realistic") {
    out = OdometryError{};
    out.distanceScale = 0.997;
    out.wheelRatio = 1.0015;
    out.wheelbaseScale = 1.008;
    out.wheelNoise = 0.001;
    out.contactNoise = 100;
    out.slipShare = 0.3;
    out.slipImbalance = 0.2;
    return true;
  }
  return false;
}

OdometryRandom odometryRandom(uint32_t seed, uint64_t robotId) {
  std::seed_seq seq{seed, static_cast<uint32_t>(robotId), static_cast<uint32_t>(robotId >> 32), 0x0d0u};
  return OdometryRandom(seq);
}

// The encoders count wheel turns; with the nominal diameters and wheelbase the counted
// step is what the controller believes. The real wheels, with diameters Es * 2Ed/(Ed+1)
// and Es * 2/(Ed+1) times nominal (their mean is Es times nominal), roll farther or
// shorter, and the real wheelbase turns the robot by their difference over Eb times the
// nominal one.
Motion realMotion(const Motion& counted, const OdometryError& error, bool touching, OdometryRandom& random) {
  const WheelTravel c = wheelsOf(counted, kNominalWheelbaseMm);
  const double ed = error.wheelRatio;
  WheelTravel real{c.right * error.distanceScale * 2 * ed / (ed + 1), c.left * error.distanceScale * 2 / (ed + 1)};
  const double variance = error.wheelNoise * (touching ? error.contactNoise : 1);
  real.right = withNoise(real.right, variance, random);
  real.left = withNoise(real.left, variance, random);
  return motionOf(real, kNominalWheelbaseMm * error.wheelbaseScale);
}

Motion slipCount(double velSetpoint, double dt, const OdometryError& error, OdometryRandom& random) {
  const double spin = error.slipShare * velSetpoint * dt;
  if (spin == 0) return {};
  if (error.slipImbalance <= 0) return {spin, 0};
  std::normal_distribution<double> share(1.0, error.slipImbalance);
  const WheelTravel counted{spin * share(random), spin * share(random)};
  return motionOf(counted, kNominalWheelbaseMm);
}

}  // namespace sim
