#include <gtest/gtest.h>

#include <sstream>

#include "aria/ar_pose.h"
#include "robot/robot_setup.h"
#include "runtime/agent_options.h"
#include "runtime/startup.h"

namespace {

int countPrompts(const std::string& out) {
  int n = 0;
  for (size_t at = out.find(NAME_PROMPT); at != std::string::npos; at = out.find(NAME_PROMPT, at + 1)) ++n;
  return n;
}

TEST(NamePrompt, ShortNamesRepeatThePromptAndUnusableNamesAreRefusedWithAReason) {
  const std::string longest(MAX_NAME_LENGTH, 'n');
  std::istringstream in("ab\na b\nal\tpha\n" + longest + "x\n" + longest + "\nignored\n");
  std::ostringstream out, err;
  std::string name;
  ASSERT_TRUE(readAgentName(in, out, err, name));
  EXPECT_EQ(name, longest);
  EXPECT_EQ(countPrompts(out.str()), 5);
  EXPECT_EQ(out.str().back(), ' ') << "the prompt ends without a line break";
  EXPECT_EQ(err.str(),
            "Name refused: a name cannot contain blanks.\n"
            "Name refused: a name cannot contain blanks.\n"
            "Name refused: a name is too long for the messages (at most 1337 characters).\n");
}

TEST(NamePrompt, EndOfInputBeforeAUsableNameFailsInsteadOfPromptingForever) {
  std::istringstream empty("");
  std::ostringstream out, err;
  std::string name;
  EXPECT_FALSE(readAgentName(empty, out, err, name));

  std::istringstream shortThenEnd("x\n\nzz");
  std::ostringstream out2;
  EXPECT_FALSE(readAgentName(shortThenEnd, out2, err, name));
  EXPECT_EQ(countPrompts(out2.str()), 4);
}

// The longest name fits the longest message the agent sends, with every real as wide as
// receivers accept; one character more would not.
TEST(NamePrompt, TheLongestNameJustFitsAnEMessageWithCoordinatesAtTheBound) {
  const double b = -MAP_COORD_BOUND_MM;
  const std::string longest(MAX_NAME_LENGTH, 'n'), tooLong(MAX_NAME_LENGTH + 1, 'n');
  char text[MSG_BUFFER_SIZE];
  EXPECT_GT(formatMessage(Message{'E', longest, {b, b, b, b, b}, {}}, text, sizeof text), 0);
  EXPECT_LT(formatMessage(Message{'E', tooLong, {b, b, b, b, b}, {}}, text, sizeof text), 0);
}

struct OptionsCase {
  std::vector<const char*> args;
  OptionsOutcome outcome;
  const char* says;  // part of the message
};

TEST(AgentOptions, CommandLinesAreReadOrRefusedWithAReason) {
  const OptionsCase cases[] = {
      {{}, OptionsOutcome::Run, ""},
      {{"--help"}, OptionsOutcome::Exit, "usage: agent [--name NAME] [--start X Y TH]"},
      {{"-h"}, OptionsOutcome::Exit, "usage: agent [--name NAME]"},
      {{"--version"}, OptionsOutcome::Exit, "agent 1.1.0\n"},
      {{"--name", "a b"}, OptionsOutcome::UsageError, "--name refused: a name cannot contain blanks"},
      {{"--name", "ab"}, OptionsOutcome::UsageError, "at least 3 characters"},
      {{"--name", "al\x7Fpha"}, OptionsOutcome::UsageError, "--name refused: a name cannot contain control characters"},
      {{"--start", "1", "2"}, OptionsOutcome::UsageError, "--start needs X Y TH"},
      {{"--start", "1", "2", "x"}, OptionsOutcome::UsageError, "--start needs X Y TH"},
      {{"--start", "200001", "0", "0"}, OptionsOutcome::UsageError, "--start needs X Y TH"},
      {{"--server", ":8101"}, OptionsOutcome::UsageError, "--server needs HOST:PORT"},
      {{"--server", "host:70000"}, OptionsOutcome::UsageError, "--server needs HOST:PORT"},
      {{"--dir"}, OptionsOutcome::UsageError, "--dir needs a value"},
      {{"--sonar-max-range", "5001"}, OptionsOutcome::UsageError, "--sonar-max-range needs millimetres from 0 to 5000"},
      {{"--sonar-max-range", "-1"}, OptionsOutcome::UsageError, "--sonar-max-range needs millimetres"},
      {{"--sonar-max-range", "2.5"}, OptionsOutcome::UsageError, "--sonar-max-range needs millimetres"},
      {{"--mapping", "cone"}, OptionsOutcome::UsageError, "--mapping needs ray or sonar"},
      {{"--localize-lag", "0"}, OptionsOutcome::UsageError, "--localize-lag needs seconds from 1 to 120"},
      {{"--help=x"}, OptionsOutcome::UsageError, "--help takes no value"},
      {{"-x"}, OptionsOutcome::UsageError, "unknown option '-x'"},
      {{"alpha"}, OptionsOutcome::UsageError, "unexpected argument 'alpha'"},
  };
  for (const OptionsCase& c : cases) {
    std::vector<char*> argv{const_cast<char*>("agent")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    AgentOptions options;
    std::string message;
    EXPECT_EQ(parseAgentOptions(static_cast<int>(argv.size()), argv.data(), options, message), c.outcome)
        << testing::PrintToString(c.args);
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
  }

  const char* line[] = {"agent", "--start", "-1500.5", "-200", "-90", "--name", "alpha", "--server",
                        "robot7:9000", "--dir", "maps", "--sonar-max-range", "4000", "--mapping", "sonar"};
  AgentOptions options;
  EXPECT_EQ(options.sonarMaxRange, 0) << "every echo below 5000 mm is used and sent";
  EXPECT_EQ(options.mapping, MapModel::Ray);
  std::string message;
  ASSERT_EQ(parseAgentOptions(15, const_cast<char**>(line), options, message), OptionsOutcome::Run) << message;
  EXPECT_EQ(options.mapping, MapModel::Sonar);
  EXPECT_EQ(options.start, ArPose(-1500.5, -200, -90));
  EXPECT_EQ(options.name, "alpha");
  EXPECT_EQ(options.server.host, "robot7");
  EXPECT_EQ(options.server.port, 9000);
  EXPECT_EQ(options.directory, "maps");
  EXPECT_EQ(options.sonarMaxRange, 4000);
}

// A reconnecting agent tells its own robot from the others a server parks by where it
// stands; a heading that moved on while the session ended must not make it refuse its
// own robot and take a teammate's.
TEST(RobotHandover, TheRobotStandingWhereOursStoodIsOursWhateverItsHeading) {
  const ArPose last(18056, 6358, 102);
  EXPECT_TRUE(isOwnRobot(last, ArPose(18056, 6364, 86))) << "turned 16 degrees in the last SIP";
  EXPECT_TRUE(isOwnRobot(last, ArPose(18200, 6358, -78))) << "turned about, 144 mm on";
  EXPECT_FALSE(isOwnRobot(last, ArPose(18300, 6358, 102))) << "another robot 244 mm away";
  EXPECT_FALSE(isOwnRobot(last, ArPose(14645, 9581, -46)));
}

}  // namespace
