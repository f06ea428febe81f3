#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"

namespace {

TEST(ArPoseValues, HeadingsAreKeptInTheHalfOpenRangeAboveMinus180) {
  EXPECT_DOUBLE_EQ(ArPose(0, 0, 180).getTh(), 180);
  EXPECT_DOUBLE_EQ(ArPose(0, 0, -180).getTh(), 180);
  EXPECT_DOUBLE_EQ(ArPose(0, 0, 540).getTh(), 180);
  EXPECT_DOUBLE_EQ(ArPose(0, 0, 181).getTh(), -179);
  EXPECT_DOUBLE_EQ(ArPose(0, 0, -181).getTh(), 179);
  EXPECT_DOUBLE_EQ(ArPose(0, 0, 719.5).getTh(), -0.5);
  ArPose p;
  p.setTh(-900);
  EXPECT_DOUBLE_EQ(p.getTh(), 180);
  EXPECT_TRUE(std::isnan(ArPose(0, 0, std::numeric_limits<double>::quiet_NaN()).getTh()));
}

TEST(ArPoseValues, DistanceIgnoresHeadingsAndInequalityUsesEpsilonOnEveryField) {
  EXPECT_DOUBLE_EQ(ArPose(0, 0, 10).findDistanceTo(ArPose(3000, -4000, -170)), 5000);
  EXPECT_FALSE(ArPose(1, 2, 3) != ArPose(1, 2, 3));
  EXPECT_FALSE(ArPose(1, 2, 3) != ArPose(1 + 1e-9, 2, 3)) << "within epsilon";
  EXPECT_TRUE(ArPose(1, 2, 3) != ArPose(1, 2.001, 3));
  EXPECT_TRUE(ArPose(1, 2, 3) != ArPose(1, 2, 3.001)) << "the heading takes part";
  EXPECT_FALSE(ArPose(0, 0, 180) != ArPose(0, 0, -180)) << "both normalise to 180";
}

TEST(ArMutexLocks, RecursiveMutexMayBeRetakenByItsOwnerOnly) {
  ArMutex m(true);
  EXPECT_EQ(m.lock(), 0);
  EXPECT_EQ(m.lock(), 0);
  int otherGot = -1;
  std::thread([&] { otherGot = m.tryLock(); }).join();
  EXPECT_EQ(otherGot, 1) << "held by this thread";
  EXPECT_EQ(m.unlock(), 0);
  EXPECT_EQ(m.unlock(), 0);
  std::thread([&] {
    otherGot = m.tryLock();
    if (otherGot == 0) m.unlock();
  }).join();
  EXPECT_EQ(otherGot, 0) << "free after as many unlocks as locks";
}

}  // namespace
