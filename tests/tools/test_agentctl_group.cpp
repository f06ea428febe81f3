// agentctl as a program, inside a private network namespace: watch decodes what the
// other commands put on the group; bad arguments end with status 2 and send nothing.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a bash script in a private network namespace with the group routed to loopback;
// its exit status, or -1 when it could not run.
int runInPrivateNetwork(const fs::path& dir, const std::string& script) {
  const fs::path file = dir / "script.sh";
  std::ofstream(file) << "set -u\ncd '" << dir.string() << "'\nPATH='" MCAGENT_BIN_DIR "/tools':$PATH\n" << script;
  const std::string command = "unshare --net sh -c 'ip link set lo up && ip route add 224.0.0.0/4 dev lo && "
                              "exec bash \"$0\"' '" + file.string() + "'";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(AgentctlProgram, WatchDecodesCommandsAndLoadAndBadArgumentsSendNothing) {
  if (std::system("unshare --net true") != 0) GTEST_SKIP() << "no private network namespace available";
  const fs::path dir = fs::path(MCAGENT_BIN_DIR) / "agentctl-test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const int status = runInPrivateNetwork(dir, R"SH(
agentctl watch --seconds 3 >watch.out 2>watch.err &
watcher=$!
sleep 0.5
agentctl mode all 99 >sent.out
agentctl goal alpha 1500 -200 >>sent.out
agentctl load 2 1 >load.out
agentctl mode all -1 2>bad.err; echo "bad=$?" >status.out
agentctl j all 1 2 3 4 5 6 2>>bad.err; echo "j=$?" >>status.out
agentctl --help >help.out; echo "help=$?" >>status.out
printf 'junk\001' >/dev/udp/239.0.0.77/60001
wait $watcher
)SH");
  ASSERT_EQ(status, 0) << readFile(dir / "watch.err");
  const std::string watched = readFile(dir / "watch.out");
  EXPECT_NE(watched.find("M to all mode 99"), std::string::npos) << watched;
  EXPECT_NE(watched.find("\nG to alpha goal 1500.000 -200.000 0.000\n"), std::string::npos)
      << "a line per message, starting with its type letter\n" << watched;
  EXPECT_NE(watched.find("P load-0001 pose"), std::string::npos) << watched;
  EXPECT_NE(watched.find("E load-0002 point"), std::string::npos) << watched;
  EXPECT_NE(watched.find("unreadable datagram of 5 bytes: \"junk\\x01\""), std::string::npos) << watched;
  EXPECT_NE(watched.find("total over"), std::string::npos) << watched;
  EXPECT_NE(watched.find("2 commands"), std::string::npos) << "the refused commands sent nothing\n" << watched;
  EXPECT_EQ(readFile(dir / "sent.out"), "sent: M all 99\nsent: G alpha 1500.000 -200.000 0.000\n");
  EXPECT_EQ(readFile(dir / "status.out"), "bad=2\nj=2\nhelp=0\n");
  EXPECT_NE(readFile(dir / "help.out").find("namespace"), std::string::npos);
  // Two agents, two cycles of 16 readings and a P, a D in the first.
  const std::string load = readFile(dir / "load.out");
  EXPECT_NE(load.find("sent 70 messages"), std::string::npos) << load;
  EXPECT_NE(load.find("64 E, 4 P, 2 D; 0 sends failed"), std::string::npos) << load;
  fs::remove_all(dir);
}

}  // namespace
