#include <gtest/gtest.h>

#include <sstream>

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

}  // namespace
