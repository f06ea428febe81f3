// SIGTERM with the library's signal thread: the robot is stopped and its session closed
// (even while another thread holds the robot lock), then the exit callbacks run; a
// second signal ends the process at once with 128 + its number. The signalled process
// is this test program itself, started again to run only the child half.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "aria/aria.h"
#include "tests/support/script_server.h"
#include "tests/support/test_helpers.h"

extern char** environ;

namespace {

constexpr const char* kPortVariable = "ARIA_SIGNAL_TEST_PORT";
constexpr const char* kMarkerVariable = "ARIA_SIGNAL_TEST_MARKER";

// An exit callback that leaves a mark and then takes longer than any test would wait.
class SlowExitCallback : public ArFunctor {
 public:
  explicit SlowExitCallback(std::string marker) : myMarker(std::move(marker)) {}
  void invoke() override {
    ::close(::open(myMarker.c_str(), O_CREAT | O_WRONLY, 0600));
    ArUtil::sleep(60000);
  }

 private:
  std::string myMarker;
};

pid_t spawnChild(int port, const std::string& marker) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back(std::string(kPortVariable) + "=" + std::to_string(port));
  env.push_back(std::string(kMarkerVariable) + "=" + marker);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=AriaSignalChild.*";
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace

// Runs only inside the child started by the test below.
TEST(AriaSignalChild, ConnectsThenTerminatesItself) {
  const char* port = std::getenv(kPortVariable);
  if (!port) GTEST_SKIP() << "runs only as the child of AriaSignals";
  Aria::init(Aria::SIGHANDLE_THREAD, true, true);
  SlowExitCallback slow(std::getenv(kMarkerVariable));
  Aria::addExitCallback(&slow);
  ArTcpConnection link;
  link.setPort("127.0.0.1", std::atoi(port));
  ArRobot robot;
  robot.setDeviceConnection(&link);
  ASSERT_TRUE(robot.blockingConnect());
  robot.runAsync(true);
  robot.lock();
  robot.setVel(200);
  ::kill(::getpid(), SIGTERM);
  ArUtil::sleep(5000);
  ADD_FAILURE() << "still alive after SIGTERM";
}

TEST(AriaSignals, TerminationStopsTheRobotRunsTheExitCallbacksAndASecondSignalEndsAtOnce) {
  testsrv::FakeRobot fake;
  const std::string marker = ::testing::TempDir() + "aria_exit_callback_" + std::to_string(::getpid());
  ::unlink(marker.c_str());
  pid_t child = spawnChild(fake.port(), marker);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(testsrv::waitUntil([&] { return ::access(marker.c_str(), F_OK) == 0; }, 5000));
  // The robot was stopped and its session closed before the callbacks ran.
  ASSERT_TRUE(testsrv::waitUntil([&] { return fake.receivedCommands().back() == arproto::CLOSE; }, 1000));
  std::vector<int> cmds = fake.receivedCommands();
  EXPECT_EQ(cmds[cmds.size() - 2], arproto::STOP);
  EXPECT_FALSE(fake.receivedOf(arproto::VEL).empty());

  const int64_t start = ArTime::nowMSec();
  ASSERT_EQ(::kill(child, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_LT(ArTime::nowMSec() - start, Aria::EXIT_GRACE_MS / 2) << "at once, not after the grace period";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  ::unlink(marker.c_str());
}
