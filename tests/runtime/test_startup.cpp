#include <gtest/gtest.h>

#include <sstream>

#include "runtime/deferred.h"
#include "runtime/shared_state.h"
#include "runtime/startup.h"

namespace {

int countPrompts(const std::string& out) {
  int n = 0;
  for (size_t at = out.find(NAME_PROMPT); at != std::string::npos; at = out.find(NAME_PROMPT, at + 1)) ++n;
  return n;
}

TEST(NamePrompt, ShortNamesRepeatThePromptAndBlanksStayInTheName) {
  std::istringstream in("ab\nabc\nignored\n");
  std::ostringstream out;
  std::string name;
  ASSERT_TRUE(readAgentName(in, out, name));
  EXPECT_EQ(name, "abc");
  EXPECT_EQ(countPrompts(out.str()), 2);
  EXPECT_EQ(out.str().back(), ' ') << "the prompt ends without a line break";

  std::istringstream spaced("a b\n");
  ASSERT_TRUE(readAgentName(spaced, out, name));
  EXPECT_EQ(name, "a b");
}

TEST(NamePrompt, EndOfInputBeforeAUsableNameFailsInsteadOfPromptingForever) {
  std::istringstream empty("");
  std::ostringstream out;
  std::string name;
  EXPECT_FALSE(readAgentName(empty, out, name));

  std::istringstream shortThenEnd("x\n\nzz");
  std::ostringstream out2;
  EXPECT_FALSE(readAgentName(shortThenEnd, out2, name));
  EXPECT_EQ(countPrompts(out2.str()), 4);
}

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
