// The robosim program as shipped: start line, connection lines, clean exit on a signal.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "raw_client.h"

extern char** environ;

namespace {

// robosim as a child process with its standard error on a pipe and its standard output
// in a file.
class RobosimProcess {
 public:
  explicit RobosimProcess(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, myOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string program = std::string(MCAGENT_BIN_DIR) + "/sim/robosim";
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&myPid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) myPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    myErr = fds[0];
  }
  ~RobosimProcess() {
    if (myPid > 0) {
      kill(myPid, SIGKILL);
      waitpid(myPid, nullptr, 0);
    }
    if (myErr >= 0) close(myErr);
  }

  // Standard error up to and including the next line that contains text.
  bool waitForLine(const std::string& text, std::string& line, int timeoutMs = 3000) {
    for (;;) {
      const size_t found = myText.find(text);
      if (found != std::string::npos) {
        const size_t start = myText.rfind('\n', found);
        const size_t end = myText.find('\n', found);
        if (end != std::string::npos) {
          line = myText.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
          myText.erase(0, end + 1);
          return true;
        }
      }
      pollfd p{myErr, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return false;
      char buf[512];
      const ssize_t n = read(myErr, buf, sizeof buf);
      if (n <= 0) return false;
      myText.append(buf, static_cast<size_t>(n));
    }
  }
  // Exit status after a signal, -1 when it did not end normally within 3 s.
  int stopWith(int sig) {
    kill(myPid, sig);
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (waitpid(myPid, &status, WNOHANG) == myPid) {
        myPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(10000);
    }
    return -1;
  }
  bool started() const { return myPid > 0; }
  // Standard output so far.
  std::string output() const {
    std::ifstream in(myOutFile);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  const std::string myOutFile = ::testing::TempDir() + "robosim_stdout." + std::to_string(getpid());
  pid_t myPid = -1;
  int myErr = -1;
  std::string myText;
};

uint16_t portOf(const std::string& startLine) {
  const size_t colon = startLine.find("127.0.0.1:");
  return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(startLine.substr(colon + 10)));
}

TEST(RobosimProgram, ReportsClientsAndEndsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    RobosimProcess robosim({"--port", "0", std::string(MCAGENT_SOURCE_DIR) + "/worlds/arena.world"});
    ASSERT_TRUE(robosim.started());
    std::string line;
    ASSERT_TRUE(robosim.waitForLine("listening on", line));
    const uint16_t port = portOf(line);
    ASSERT_NE(port, 0) << line;
    {
      simtest::RawClient client(port);
      ASSERT_TRUE(client.openSession());
      ASSERT_TRUE(robosim.waitForLine("client 1 connected from 127.0.0.1:", line));
      EXPECT_NE(line.find(", robot 1 at start pose 0 (0, 0, 0)"), std::string::npos) << line;
      simtest::RawClient second(port);
      ASSERT_TRUE(second.openSession());
      ASSERT_TRUE(robosim.waitForLine("client 2 connected", line));
      EXPECT_NE(line.find(", robot 2 at start pose 1 (-4500, -4500, 45)"), std::string::npos) << line;
      second.close();
      ASSERT_TRUE(robosim.waitForLine("client 2 disconnected", line));
      EXPECT_NE(line.find("robot 2 parked for 30 s"), std::string::npos) << line;
    }
    ASSERT_TRUE(robosim.waitForLine("client 1 disconnected", line));
    simtest::RawClient third(port);
    ASSERT_TRUE(third.openSession());
    ASSERT_TRUE(third.send(arproto::makeCommandInt(arproto::ENABLE, 1)));
    ASSERT_TRUE(robosim.waitForLine("client 3 connected", line));
    EXPECT_NE(line.find(", robot 1 handed back at (0, 0, 0) after"), std::string::npos) << line << " (parked last first)";
    EXPECT_EQ(robosim.stopWith(sig), 0);
  }
}

TEST(RobosimProgram, RejectsBadWorldsAndOptions) {
  const std::string path = ::testing::TempDir() + "broken.world";
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("wall 0 0 1000 0\nstart 0 0\n", f);
  fclose(f);
  const std::string dir = ::testing::TempDir();
  struct Case {
    std::vector<std::string> args;
    std::string message;
    int status;
  };
  const Case cases[] = {
      {{"--port", "0", path}, "robosim: " + path + ":2: start needs 3 numbers, got 2", 1},
      {{"--port", "0", dir}, "robosim: " + dir + ": is a directory, not a world file", 1},
      {{"--beam", "-3"}, "robosim: --beam needs a valid value", 2},
      {{"--ghosts", "--meet"}, "robosim: --ghosts and --meet exclude each other", 2},
      {{"--bogus"}, "robosim: unknown option '--bogus'", 2},
      {{"--port"}, "robosim: --port needs a value", 2},
      {{"--sonar-model", "perfect"}, "robosim: --sonar-model needs a valid value", 2},
      {{"--odometry-error", "sloppy"}, "robosim: --odometry-error needs a valid value", 2},
      {{"--list-starts"}, "robosim: --list-starts needs a world file", 2},
  };
  for (const Case& c : cases) {
    RobosimProcess robosim(c.args);
    std::string line;
    ASSERT_TRUE(robosim.waitForLine("robosim:", line)) << c.message;
    EXPECT_EQ(line, c.message);
    EXPECT_EQ(robosim.stopWith(0), c.status) << c.message;
    EXPECT_EQ(robosim.output(), "") << "errors go to standard error only";
  }
}

// A robot with drifting odometry driven into a wall and back: one line when the contact
// ends, with how long it touched and stalled and where in the world (the robot's radius
// short of the wall); the pose log has it there too, while its odometry, which counted
// the wheels spinning against the wall, puts it beyond.
TEST(RobosimProgram, ReportsEachContactWhenItEnds) {
  const std::string world = ::testing::TempDir() + "contact." + std::to_string(getpid()) + ".world";
  const std::string log = ::testing::TempDir() + "poses." + std::to_string(getpid()) + ".log";
  std::ofstream(world) << "wall 600 -1000 600 1000\nstart 0 0 0\n";
  RobosimProcess robosim({"--port", "0", "--contacts", "--odometry-error", "realistic", "--pose-log", log, world});
  std::string line;
  ASSERT_TRUE(robosim.waitForLine("listening on", line));
  simtest::RawClient client(portOf(line));
  ASSERT_TRUE(client.openSession());
  ASSERT_TRUE(client.send(arproto::makeCommandInt(arproto::ENABLE, 1)));
  ASSERT_TRUE(client.send(arproto::makeCommandInt(arproto::VEL, 300)));
  usleep(1500 * 1000);  // 350 mm to the wall, then pushing against it (the command again,
  ASSERT_TRUE(client.send(arproto::makeCommandInt(arproto::VEL, 300)));  // before the watchdog)
  usleep(1000 * 1000);
  ASSERT_TRUE(client.send(arproto::makeCommandInt(arproto::VEL, -200)));
  ASSERT_TRUE(robosim.waitForLine("touched an obstacle", line, 3000));
  std::remove(world.c_str());
  double touched = 0, stalled = 0, x = 0, y = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "robosim: robot 1 touched an obstacle for %lf s (wheels stalled %lf s) at (%lf, %lf)",
                        &touched, &stalled, &x, &y), 4)
      << line;
  EXPECT_GT(stalled, 0.5);
  EXPECT_GE(touched, stalled);
  EXPECT_NEAR(x, 350, 5);
  EXPECT_NEAR(y, 0, 5);
  EXPECT_EQ(robosim.stopWith(SIGTERM), 0);
  std::ifstream poses(log);
  double time = 0, trueX = 0, countedX = 0, farthest = 0, trueAtFarthest = 0, rest = 0;
  int id = 0, lines = 0;
  while (poses >> time >> id >> trueX >> rest >> rest >> countedX >> rest >> rest) {
    ++lines;
    if (countedX <= farthest) continue;
    farthest = countedX;
    trueAtFarthest = trueX;
  }
  std::remove(log.c_str());
  EXPECT_GT(lines, 20) << "a line per SIP";
  EXPECT_NEAR(trueAtFarthest, 350, 5);
  EXPECT_GT(farthest - trueAtFarthest, 40) << "the wheels slipped against the wall";
}

TEST(RobosimProgram, ListsStartPosesAndPrintsHelpOnStandardOutput) {
  const std::string office = std::string(MCAGENT_SOURCE_DIR) + "/worlds/office.world";
  RobosimProcess list({"--list-starts", office});
  EXPECT_EQ(list.stopWith(0), 0);
  EXPECT_EQ(list.output(), "2000 7500 0\n10000 7500 0\n18000 7500 180\n7500 3500 90\n");
  RobosimProcess ghosts({"--list-starts", "--ghosts", office});
  EXPECT_EQ(ghosts.stopWith(0), 0);
  EXPECT_EQ(ghosts.output(), "2000 7500 0\n");
  RobosimProcess help({"--help"});
  EXPECT_EQ(help.stopWith(0), 0);
  EXPECT_EQ(help.output().rfind("usage: robosim [options] [WORLD]\n", 0), 0u);
}

}  // namespace
