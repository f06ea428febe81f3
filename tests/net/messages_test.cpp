#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/messages.h"

namespace {

struct ReadCase {
  const char* text;
  bool readable;
  char type = 0;
  const char* name = "";
  std::vector<double> reals = {};
  std::vector<unsigned> values = {};
};

void expectRead(const ReadCase& c) {
  SCOPED_TRACE(std::string("text: \"") + c.text + "\"");
  Message m;
  ASSERT_EQ(parseMessage(c.text, m), c.readable);
  if (!c.readable) return;
  EXPECT_EQ(m.type, c.type);
  EXPECT_EQ(m.name, c.name);
  for (size_t i = 0; i < c.reals.size(); ++i) EXPECT_DOUBLE_EQ(m.reals[i], c.reals[i]) << "real " << i;
  for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(m.values[i], c.values[i]) << "value " << i;
}

TEST(MessageReading, EveryTypeReadsItsFieldsInOrder) {
  const ReadCase cases[] = {
      {"D alpha 1.000 2.000 3.000", true, 'D', "alpha", {1, 2, 3}},
      {"P alpha -37.125 2.500 -90.000", true, 'P', "alpha", {-37.125, 2.5, -90}},
      {"E alpha 1000.000 -500.000 10.000 20.000 45.000", true, 'E', "alpha", {1000, -500, 10, 20, 45}},
      {"O alpha 1.000 2.000", true, 'O', "alpha", {1, 2}},
      {"G all 1.000 2.000 3.000", true, 'G', "all", {1, 2, 3}},
      {"W bob 4 5 6", true, 'W', "bob", {4, 5, 6}},
      {"M all 99", true, 'M', "all", {}, {99}},
      {"J bob 1.5 2.5 3.5 4.5 7 65535", true, 'J', "bob", {1.5, 2.5, 3.5, 4.5}, {7, 65535}},
      {"S alpha 1.000 2.000 90.000 0,2,15", true, 'S', "alpha", {1, 2, 90}, {0x8005}},
      {"S alpha 1 2 3 7,7 and more", true, 'S', "alpha", {1, 2, 3}, {0x0080}},
      {"C alpha -412.500 30.000 -3.250", true, 'C', "alpha", {-412.5, 30, -3.25}},
      {"T alpha 1500.000 -200.000 1", true, 'T', "alpha", {1500, -200}, {1}},
  };
  for (const ReadCase& c : cases) expectRead(c);
}

TEST(MessageReading, NumbersReadLikeFormattedInput) {
  const ReadCase cases[] = {
      {"P alpha 1.5e3 -2E-1 4.5", true, 'P', "alpha", {1500, -0.2, 4.5}},
      {"P alpha 1 +2 .5", true, 'P', "alpha", {1, 2, 0.5}},
      {"P alpha 0x10 +.5e1 1e-400", true, 'P', "alpha", {16, 5, 0}},
      {"P alpha -0X1p3 5. 1e", true, 'P', "alpha", {-8, 5, 1}},
      {"P \t alpha\t\t1   2\n3", true, 'P', "alpha", {1, 2, 3}},
      // An item ends where its number ends; the next one starts right there.
      {"P alpha 1.2.3 4", true, 'P', "alpha", {1.2, 0.3, 4}},
      {"P alpha 1 2 3x", true, 'P', "alpha", {1, 2, 3}},
      {"P alpha 1 2 3 4 and more", true, 'P', "alpha", {1, 2, 3}},
      // The name is the word after the type letter, even without a blank between them.
      {"Pabc 1 2 3", true, 'P', "abc", {1, 2, 3}},
      {"M all 0099", true, 'M', "all", {}, {99}},
      {"M all +7", true, 'M', "all", {}, {7}},
      {"M all 12.9", true, 'M', "all", {}, {12}},
      {"M all 65535", true, 'M', "all", {}, {65535}},
  };
  for (const ReadCase& c : cases) expectRead(c);
}

TEST(MessageReading, MalformedShapesAreUnreadable) {
  const ReadCase cases[] = {
      {"", false},
      {"P", false},
      {"P alpha", false},               // the name is the last item
      {"P alpha 1 2", false},           // a real missing
      {"P alpha 1 2 x3", false},        // letters where a number belongs
      {"P alpha 1,5 2 3", false},
      {"P alpha +-1 2 3", false},
      {"P alpha 1 2 +", false},
      {" P alpha 1 2 3", false},        // blank first byte
      {"p alpha 1 2 3", false},         // lower-case type
      {"X alpha 1 2 3", false},
      {"7 alpha 1 2 3", false},
      {"E alpha 1 2 3 4", false},
      {"O alpha 1", false},
      {"M all", false},
      {"M all 65536", false},
      {"M all -1", false},              // strtoul would wrap this to 65535
      {"M all -0", false},
      {"M all 99999999999999999999", false},
      {"M all x", false},
      {"J bob 1 2 3 4 5", false},
      {"J bob 1 2 3 4 -5 6", false},
      {"J bob 1 2 3 4 5 65536", false},
      {"S alpha 1 2 3", false},         // the discs missing
      {"S alpha 1 2 3 16", false},      // no such disc
      {"S alpha 1 2 3 1,,2", false},
      {"S alpha 1 2 3 1,", false},
      {"S alpha 1 2 3 -1", false},
      {"S alpha 1 2 3 1;2", false},
      {"S alpha 1 300000 3 1", false},  // not a map coordinate
      {"T alpha 1 2", false},           // the status missing
      {"T alpha 1 2 -1", false},
  };
  for (const ReadCase& c : cases) expectRead(c);
}

TEST(MessageReading, NonFiniteAndOutOfBoundNumbersAreUnreadable) {
  const ReadCase cases[] = {
      {"P alpha nan 2 3", false},
      {"P alpha 1 inf 3", false},
      {"P alpha 1 2 nan", false},      // a heading too
      {"P alpha 1e400 2 3", false},    // overflows to infinity
      {"P alpha 200000.001 0 0", false},
      {"O alpha 0 -200001", false},
      {"E alpha 1 2 300000 4 5", false},  // the robot's position as well as the point
      {"G all 1e9 0 0", false},
      {"W all 0 -1e9 0", false},
      {"J bob 1 2 3 inf 5 6", false},
      {"T alpha 0 300000 0", false},   // a place beyond the bound
      {"P alpha 200000 -200000 1e6", true, 'P', "alpha", {200000, -200000}},
      {"J bob 1e9 2 3 4 5 6", true, 'J', "bob", {1e9, 2, 3, 4}, {5, 6}},
  };
  for (const ReadCase& c : cases) expectRead(c);
}

TEST(MessageReading, TextStopsAtTheFirstNul) {
  const char text[] = "P alpha 1 2\0 3";
  Message m;
  EXPECT_FALSE(parseMessage(text, m));
}

std::string format(const Message& m) {
  char buffer[MSG_BUFFER_SIZE];
  int n = formatMessage(m, buffer, sizeof buffer);
  if (n < 0) return "(refused)";
  EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(n));
  return buffer;
}

TEST(MessageFormatting, EveryTypeIsWrittenAsAgentsSendIt) {
  EXPECT_EQ(format({'D', "alpha", {1, 2, 3}}), "D alpha 1.000 2.000 3.000");
  EXPECT_EQ(format({'P', "alpha", {-37.125, 0.0004, -179.9996}}), "P alpha -37.125 0.000 -180.000");
  EXPECT_EQ(format({'E', "alpha", {1000, -500, 10.25, 20.5, 45}}), "E alpha 1000.000 -500.000 10.250 20.500 45.000");
  EXPECT_EQ(format({'O', "alpha", {1, 2}}), "O alpha 1.000 2.000");
  EXPECT_EQ(format({'G', "all", {1, 2, 3}}), "G all 1.000 2.000 3.000");
  EXPECT_EQ(format({'W', "bob", {4, 5, 6}}), "W bob 4.000 5.000 6.000");
  EXPECT_EQ(format({'M', "all", {}, {99}}), "M all 99");
  EXPECT_EQ(format({'J', "bob", {1, 2, 3, 4}, {5, 65535}}), "J bob 1.000 2.000 3.000 4.000 5 65535");
  EXPECT_EQ(format({'S', "bob", {1, 2, 3}, {0x8006}}), "S bob 1.000 2.000 3.000 1,2,15");
  EXPECT_EQ(format({'S', "bob", {1, 2, 3}, {0}}), "(refused)") << "an S names at least one disc";
  EXPECT_EQ(format({'C', "alpha", {-412.5, 30, -3.25}}), "C alpha -412.500 30.000 -3.250");
  EXPECT_EQ(format({'T', "alpha", {1500, -200.25}, {4}}), "T alpha 1500.000 -200.250 4");
  EXPECT_EQ(format({'x', "bob", {1, 2, 3}}), "(refused)");
}

TEST(MessageFormatting, FormattedMessagesReadBackToTheSameValues) {
  const Message sent[] = {
      {'E', "robot-7", {-1234.5, 987.125, 10, -20, 179.5}},
      {'J', "robot-7", {0.5, -1e6, 3, 4}, {0, 65535}},
      {'M', "all", {}, {98}},
      {'S', "robot-7", {-1234.5, 987.125, -90}, {0xFFFF}},
  };
  for (const Message& m : sent) {
    char buffer[MSG_BUFFER_SIZE];
    ASSERT_GT(formatMessage(m, buffer, sizeof buffer), 0);
    Message back;
    ASSERT_TRUE(parseMessage(buffer, back)) << buffer;
    EXPECT_EQ(back.type, m.type);
    EXPECT_EQ(back.name, m.name);
    EXPECT_EQ(back.reals, m.reals);
    EXPECT_EQ(back.values, m.values);
  }
}

TEST(MessageFormatting, AMessageThatDoesNotFitIsRefusedNotTruncated) {
  // "P " + name + " 0.000 0.000 0.000" and the NUL: 21 bytes beyond the name.
  const std::string longest(MSG_BUFFER_SIZE - 21, 'n');
  char buffer[MSG_BUFFER_SIZE + 16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatMessage({'P', longest, {0, 0, 0}}, buffer, MSG_BUFFER_SIZE), static_cast<int>(MSG_BUFFER_SIZE) - 1);
  const std::string tooLong = longest + "n";
  EXPECT_EQ(formatMessage({'P', tooLong, {0, 0, 0}}, buffer, MSG_BUFFER_SIZE), -1);
  const std::string name(1100, 'n');  // fits alone, but not with an absurd coordinate
  EXPECT_GT(formatMessage({'P', name, {1e30, 0, 0}}, buffer, MSG_BUFFER_SIZE), 0);
  EXPECT_EQ(formatMessage({'P', name, {1e300, 0, 0}}, buffer, MSG_BUFFER_SIZE), -1);
  EXPECT_EQ(buffer[MSG_BUFFER_SIZE], '#') << "nothing is written past the buffer";
}

}  // namespace
