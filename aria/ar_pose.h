#pragma once
// A planar pose: x, y in millimetres, heading th in degrees kept in (-180, 180].
#include "aria/ar_math.h"
#include "aria/ar_time.h"

class ArPose {
 public:
  ArPose(double x = 0, double y = 0, double th = 0) : myX(x), myY(y), myTh(ArMath::fixAngle(th)) {}

  double getX() const { return myX; }
  double getY() const { return myY; }
  double getTh() const { return myTh; }
  void setX(double x) { myX = x; }
  void setY(double y) { myY = y; }
  void setTh(double th) { myTh = ArMath::fixAngle(th); }
  void setPose(double x, double y, double th = 0) { myX = x; myY = y; setTh(th); }

  // Euclidean distance in the plane; headings play no part.
  double findDistanceTo(const ArPose& p) const { return ArMath::distanceBetween(myX, myY, p.myX, p.myY); }
  // Direction from this pose to p, degrees.
  double findAngleTo(const ArPose& p) const { return ArMath::atan2(p.myY - myY, p.myX - myX); }

  // Unequal when x, y or th differ by more than ArMath::epsilon().
  bool operator!=(const ArPose& p) const {
    return std::fabs(myX - p.myX) > ArMath::epsilon() || std::fabs(myY - p.myY) > ArMath::epsilon() ||
           std::fabs(myTh - p.myTh) > ArMath::epsilon();
  }
  bool operator==(const ArPose& p) const { return !(*this != p); }

 private:
  double myX, myY, myTh;
};

// A pose (or a sensed point) with the time it refers to.
class ArPoseWithTime : public ArPose {
 public:
  ArPoseWithTime(double x = 0, double y = 0, double th = 0, ArTime t = ArTime()) : ArPose(x, y, th), myTime(t) {}
  ArPoseWithTime(const ArPose& p, ArTime t) : ArPose(p), myTime(t) {}
  ArTime getTime() const { return myTime; }
  void setTime(ArTime t) { myTime = t; }

 private:
  ArTime myTime;
};
