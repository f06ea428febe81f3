#pragma once
// A rigid planar transform (rotation about the origin, then translation). moveTo()
// uses it to map the server's odometric frame into the frame the caller chose.
#include "aria/ar_math.h"
#include "aria/ar_pose.h"

class ArTransform {
 public:
  ArTransform() = default;
  ArTransform(double dx, double dy, double dth) : myDx(dx), myDy(dy), myDth(dth) {}

  // The transform that maps pose `from` onto pose `to`.
  static ArTransform between(const ArPose& from, const ArPose& to) {
    double dth = ArMath::subAngle(to.getTh(), from.getTh());
    double c = ArMath::cos(dth), s = ArMath::sin(dth);
    return ArTransform(to.getX() - (c * from.getX() - s * from.getY()),
                       to.getY() - (s * from.getX() + c * from.getY()), dth);
  }

  ArPose apply(const ArPose& p) const {
    double c = ArMath::cos(myDth), s = ArMath::sin(myDth);
    return ArPose(c * p.getX() - s * p.getY() + myDx, s * p.getX() + c * p.getY() + myDy, p.getTh() + myDth);
  }
  ArPoseWithTime apply(const ArPoseWithTime& p) const {
    return ArPoseWithTime(apply(static_cast<const ArPose&>(p)), p.getTime());
  }

  // This transform followed by `next`.
  ArTransform then(const ArTransform& next) const {
    ArPose origin = next.apply(ArPose(myDx, myDy, myDth));
    return ArTransform(origin.getX(), origin.getY(), ArMath::fixAngle(myDth + next.myDth));
  }

  // The transform that undoes this one.
  ArTransform inverse() const {
    double c = ArMath::cos(-myDth), s = ArMath::sin(-myDth);
    return ArTransform(-(c * myDx - s * myDy), -(s * myDx + c * myDy), -myDth);
  }

  double rotation() const { return myDth; }

 private:
  double myDx = 0, myDy = 0, myDth = 0;
};
