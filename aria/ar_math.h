#pragma once
// Angle and comparison helpers used by ArPose and the robot layer.
#include <cmath>

class ArMath {
 public:
  // Two doubles closer than this are treated as equal by ArPose comparisons.
  static constexpr double epsilon() { return 0.00000001; }
  static constexpr double pi() { return 3.14159265358979323846; }
  static double degToRad(double deg) { return deg * pi() / 180.0; }
  static double radToDeg(double rad) { return rad * 180.0 / pi(); }
  static double cos(double deg) { return std::cos(degToRad(deg)); }
  static double sin(double deg) { return std::sin(degToRad(deg)); }
  static double atan2(double y, double x) { return radToDeg(std::atan2(y, x)); }
  // Normalises an angle in degrees into (-180, 180]; non-finite input is returned unchanged.
  static double fixAngle(double deg) {
    if (!std::isfinite(deg)) return deg;
    double a = std::fmod(deg, 360.0);
    if (a <= -180.0) a += 360.0;
    else if (a > 180.0) a -= 360.0;
    return a;
  }
  // Signed difference a - b, normalised into (-180, 180].
  static double subAngle(double a, double b) { return fixAngle(a - b); }
  static double distanceBetween(double x1, double y1, double x2, double y2) {
    return std::hypot(x1 - x2, y1 - y2);
  }
};
