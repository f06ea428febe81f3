#pragma once
// How a simulated robot's odometry departs from its real motion. The robot's controller
// drives by its encoders, so the motion model's steps are what the odometry counts; the
// wheels' real travel differs from it by the errors of a differential drive (Borenstein
// and Feng's systematic pair, a distance scale, random wheel noise that grows with the
// distance each wheel rolls) and, in contact with an obstacle, by slip. The simulation
// moves the robot by the real motion and reports the counted one.
#include <random>
#include <string_view>

#include "sim/robot_model.h"

namespace sim {

// The drive's nominal wheelbase (mm), the one its wheel speeds are reported with.
constexpr double kNominalWheelbaseMm = 2 / kDiffConvFactor;

struct OdometryError {
  double distanceScale = 1;   // Es: real distance per counted distance
  double wheelRatio = 1;      // Ed: real right wheel diameter / left
  double wheelbaseScale = 1;  // Eb: real wheelbase / nominal
  double wheelNoise = 0;      // variance (mm^2) of a wheel's real travel per mm it rolls
  double contactNoise = 1;    // wheelNoise is this many times larger while a bumper is pressed
  double slipShare = 0;       // while stalled, the wheels spin (and count) at this share of the set velocity
  double slipImbalance = 0;   // standard deviation of each wheel's spin, as a share of the mean spin

  bool active() const;
};

// The named models: "off" (none) and "realistic" (worlds/README.md says where its
// parameters come from). False for any other name.
bool odometryErrorPreset(std::string_view name, OdometryError& out);

// The per-robot source of the random errors, seeded so that a run repeats.
using OdometryRandom = std::mt19937;
OdometryRandom odometryRandom(uint32_t seed, uint64_t robotId);

// The real motion of the wheels for one counted step; touching: a bumper is pressed.
Motion realMotion(const Motion& counted, const OdometryError& error, bool touching, OdometryRandom& random);
// What the encoders count in dt seconds of spinning in place while the robot pushes
// against an obstacle at the set velocity (mm/s): distance and turn, none without slip.
Motion slipCount(double velSetpoint, double dt, const OdometryError& error, OdometryRandom& random);

}  // namespace sim
