#include "tests/support/private_network.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

namespace testsupport {

namespace {

constexpr const char* MARKER = "MCAGENT_TEST_IN_PRIVATE_NETWORK";

std::string selfPath() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<size_t>(n));
}

std::string currentTestFilter() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
}

// unshare ... sh -c 'SET-UP && exec "$@"' sh ARGV...
std::vector<std::string> namespaceCommand(const std::vector<std::string>& argv, const Launch& how) {
  std::vector<std::string> command = {"unshare", "--net", "--map-root-user"};
  if (how.privateMounts) command.push_back("--mount");
  std::string setup = "ip link set lo up";
  if (how.route == Route::Multicast) setup += " && ip route add 224.0.0.0/4 dev lo";
  command.insert(command.end(), {"sh", "-c", setup + " && exec \"$@\"", "sh"});
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

// In the child: the launch's directory, environment and output, a process group of its
// own (so a time-out can end everything it started), then the command.
[[noreturn]] void execInChild(const std::vector<std::string>& command, const Launch& how) {
  if (!how.dir.empty() && chdir(how.dir.c_str()) != 0) _exit(126);
  setpgid(0, 0);
  for (const auto& [name, value] : how.env) setenv(name.c_str(), value.c_str(), 1);
  if (!how.output.empty()) {
    const int out = open(how.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
  }
  std::vector<char*> args;
  for (const std::string& a : command) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

LaunchResult runInPrivateNetwork(const std::vector<std::string>& argv, const Launch& how) {
  const std::vector<std::string> command = namespaceCommand(argv, how);
  LaunchResult result;
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) execInChild(command, how);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(how.timeoutSec);
  int status = 0;
  while (waitpid(pid, &status, how.timeoutSec > 0 ? WNOHANG : 0) != pid) {
    if (how.timeoutSec > 0 && std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool privateNetworkAvailable() {
  Launch how;
  how.route = Route::None;
  return runInPrivateNetwork({"true"}, how).status == 0;
}

bool inPrivateNetwork() { return std::getenv(MARKER) != nullptr; }

int runShell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void rerunInPrivateNetwork(Route route) {
  if (!privateNetworkAvailable()) GTEST_SKIP() << "no private network namespace available";
  Launch how;
  how.route = route;
  how.env = {{MARKER, "1"}};
  const LaunchResult run = runInPrivateNetwork({selfPath(), currentTestFilter()}, how);
  EXPECT_EQ(run.status, 0) << "the test failed inside its private network namespace (its output is above)";
}

}  // namespace testsupport
