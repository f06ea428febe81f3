#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state/deferred.h"
#include "state/shared_state.h"

namespace {

// Records the order in which objects are built and destroyed.
std::vector<std::string> events;
struct Probe {
  explicit Probe(std::string n) : name(std::move(n)) { events.push_back("+" + name); }
  ~Probe() { events.push_back("-" + name); }
  std::string name;
};

TEST(SharedObjects, DeferredObjectsLiveExactlyBetweenCreateAndDestroy) {
  events.clear();
  {
    Deferred<Probe> first, second;
    EXPECT_FALSE(first.live());
    first.create("a");
    second.create("b");
    EXPECT_EQ(second->name, "b");
    second.destroy();
    first.destroy();
    first.destroy();  // a second destroy is harmless
  }
  EXPECT_EQ(events, (std::vector<std::string>{"+a", "+b", "-b", "-a"}));
}

TEST(SharedObjects, MapsAreBuiltWithTheBuiltInParametersAndRemovedInReverse) {
  createMaps();
  ASSERT_TRUE(globalMap.live());
  ASSERT_TRUE(localMap.live());
  for (OccupancyMap* m : {&*globalMap, &*localMap}) {
    EXPECT_EQ(m->res, 100.0);
    EXPECT_EQ(m->rradius, 1);
    EXPECT_EQ(m->ssrange, 25);
    EXPECT_EQ(m->margin, 35);
    EXPECT_EQ(m->maxx, 125);
  }
  destroyMaps();
  EXPECT_FALSE(localMap.live());
  EXPECT_FALSE(globalMap.live());
}

TEST(SharedObjects, ModeAndExitFlagStartAtZeroAndChangeInOneLockedStep) {
  EXPECT_EQ(getMode(), MODE_ERRATIC);
  EXPECT_EQ(getExitFlag(), 0);
  setMode(65535);
  EXPECT_EQ(getMode(), 65535);
  setMode(MODE_ERRATIC);
  setExitFlag(1);
  EXPECT_EQ(getExitFlag(), 1);
  setExitFlag(0);
}

}  // namespace
