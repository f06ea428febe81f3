// The range device's two buffers: newest point per sensor with an age limit, and a
// bounded ring of everything; both follow a change of frame and take only trusted ranges.
#include <gtest/gtest.h>

#include <string>

#include "aria/ar_range_device.h"

namespace {

ArPoseWithTime pointAt(double x, int64_t ms) { return ArPoseWithTime(x, 0, 0, ArTime::fromMSec(ms)); }

std::vector<double> xs(const std::vector<ArPoseWithTime>& v) {
  std::vector<double> out;
  for (const ArPoseWithTime& p : v) out.push_back(p.getX());
  return out;
}

}  // namespace

TEST(RangeDeviceBuffers, CurrentKeepsNewestPerSensorAndCumulativeIsARing) {
  ArSonarDevice sonar(3, 4, "sonar");
  int64_t now = ArTime::nowMSec();
  sonar.addReading(pointAt(1, now - 50), 0, 1000);
  sonar.addReading(pointAt(2, now - 40), 1, 1000);
  sonar.addReading(pointAt(3, now - 30), 0, 1000);  // replaces sensor 0's older point
  EXPECT_EQ(xs(sonar.getCurrentBufferAsVector()), (std::vector<double>{2, 3}));
  sonar.addReading(pointAt(4, now - 20), 2, 1000);
  sonar.addReading(pointAt(5, now - 10), 3, 1000);  // four sensors, room for three: the oldest goes
  EXPECT_EQ(xs(sonar.getCurrentBufferAsVector()), (std::vector<double>{3, 4, 5}));
  EXPECT_EQ(xs(sonar.getCumulativeBufferAsVector()), (std::vector<double>{2, 3, 4, 5}));
}

TEST(RangeDeviceBuffers, StaleCurrentPointsAreNotHandedOut) {
  ArSonarDevice sonar(64, 0, "sonar");
  int64_t now = ArTime::nowMSec();
  sonar.addReading(pointAt(1, now - ArRangeDevice::kCurrentMaxAgeMs - 200), 5, 1000);
  sonar.addReading(pointAt(2, now), 6, 1000);
  EXPECT_EQ(xs(sonar.getCurrentBufferAsVector()), (std::vector<double>{2}));
  EXPECT_TRUE(sonar.getCumulativeBufferAsVector().empty());
}

TEST(RangeDeviceBuffers, OnlyTrustedRangesEnterEitherBuffer) {
  struct Case {
    int maxRange, range;
    bool kept;
  };
  const Case cases[] = {
      {0, 4999, true},     {0, 5000, false},     {0, 6000, false},  // no limit: only "nothing sensed" stays out
      {3000, 3000, true},  {3000, 3001, false},  {3000, 150, true},
      {5000, 4999, true},  {5000, 5000, false},                      // the sonar's own reach: as no limit
      {8000, 5000, false}, {8000, 7000, false},                      // a longer limit never lets "nothing sensed" in
      {-1, 4000, true},                                              // a negative limit is no limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("max range " + std::to_string(c.maxRange) + ", range " + std::to_string(c.range));
    ArSonarDevice sonar(8, 8, "sonar");
    sonar.setMaxRange(c.maxRange);
    sonar.addReading(pointAt(c.range, ArTime::nowMSec()), 0, c.range);
    EXPECT_EQ(sonar.getCurrentBufferAsVector().size(), c.kept ? 1u : 0u);
    EXPECT_EQ(sonar.getCumulativeBufferAsVector().size(), c.kept ? 1u : 0u);
  }
}

TEST(RangeDeviceBuffers, TransformMovesEveryBufferedPointAndKeepsItsTime) {
  ArSonarDevice sonar(8, 8, "sonar");
  int64_t now = ArTime::nowMSec();
  sonar.addReading(pointAt(100, now), 0, 1000);
  sonar.applyTransform(ArTransform(10, 20, 90));
  std::vector<ArPoseWithTime> current = sonar.getCurrentBufferAsVector();
  ASSERT_EQ(current.size(), 1u);
  EXPECT_NEAR(current[0].getX(), 10, 1e-9);
  EXPECT_NEAR(current[0].getY(), 120, 1e-9);
  EXPECT_EQ(current[0].getTime().getMSec(), now);
  EXPECT_NEAR(sonar.getCumulativeBufferAsVector()[0].getY(), 120, 1e-9);
  sonar.clearBuffers();
  EXPECT_TRUE(sonar.getCurrentBufferAsVector().empty());
}

TEST(RangeDeviceBuffers, TransformBetweenPosesComposesAndInverts) {
  ArPose from(1000, -200, 90), to(0, 0, 0);
  ArTransform t = ArTransform::between(from, to);
  ArPose mapped = t.apply(from);
  EXPECT_NEAR(mapped.getX(), 0, 1e-9);
  EXPECT_NEAR(mapped.getY(), 0, 1e-9);
  EXPECT_NEAR(mapped.getTh(), 0, 1e-9);
  ArPose back = t.then(t.inverse()).apply(ArPose(3, 4, 5));
  EXPECT_NEAR(back.getX(), 3, 1e-9);
  EXPECT_NEAR(back.getY(), 4, 1e-9);
  EXPECT_NEAR(back.getTh(), 5, 1e-9);
}
