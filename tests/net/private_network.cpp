#include "tests/net/private_network.h"

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr const char* MARKER = "MCAGENT_NET_TEST_PRIVATE_NETWORK";

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

// Exit status of argv run as a child with the marker set, or -1 if it could not run.
int runChild(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    setenv(MARKER, "1", 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

bool inPrivateNetwork() { return std::getenv(MARKER) != nullptr; }

int runShell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void rerunInPrivateNetwork(Route route) {
  if (runChild({"unshare", "--net", "true"}) != 0) GTEST_SKIP() << "no private network namespace available";
  std::string setup = "ip link set lo up";
  if (route == Route::Multicast) setup += " && ip route add 224.0.0.0/4 dev lo";
  int status = runChild({"unshare", "--net", "sh", "-c", setup + " && exec \"$@\"", "sh", selfPath(),
                         currentTestFilter()});
  EXPECT_EQ(status, 0) << "the test failed inside its private network namespace (its output is above)";
}
