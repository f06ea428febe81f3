#pragma once
// Runs end-to-end scenarios: a bash script executed in a fresh working directory inside
// a private network namespace that has only loopback, with 224.0.0.0/4 routed to it, so
// the agents' fixed ports and the multicast group never leave the test. The script also
// gets a private mount namespace, so it may mount small file systems for fault tests.
#include <filesystem>
#include <string>

namespace e2e {

struct Result {
  int status = -1;   // the script's exit status, or -1 when it could not run or timed out
  bool timedOut = false;
};

class Scenario {
 public:
  // Creates an empty working directory named after the test.
  explicit Scenario(const std::string& name);
  ~Scenario();

  const std::filesystem::path& dir() const { return myDir; }
  // Runs the script with bash -eu in the working directory inside a private network
  // namespace. PATH starts with the build's binary folder (agent, robosim, agentctl),
  // WORLDS names the folder of sample worlds. The script is killed after timeoutSec.
  Result run(const std::string& script, int timeoutSec);

  std::string read(const std::string& file) const;
  bool exists(const std::string& file) const;
  // Occurrences of text in a file.
  int count(const std::string& file, const std::string& text) const;
  // Leaves the directory in place for inspection (it is removed otherwise).
  void keep() { myKeep = true; }

 private:
  std::filesystem::path myDir;
  bool myKeep = false;
};

// Shell functions every scenario script can use (prepended to each script):
//   start_sim ARGS...      robosim on 8101 in the background, logs sim.out/sim.err; waits until it listens
//   start_agent NAME [DIR] an agent named NAME in DIR (default: NAME), stdin held open, logs NAME.out/.err
//   wait_for FILE TEXT SECS   waits until FILE contains TEXT; ends the script (status 3) after SECS
//   wait_after FILE A B SECS  waits until a line with B follows a line with A in FILE
//   wait_exit PID SECS     waits for a process to end and returns its status (script ends, status 4, after SECS)
//   send_msg TEXT          one datagram with TEXT and its NUL to the group
//   count_in FILE TEXT     lines of FILE that contain TEXT
extern const char* const SCRIPT_PRELUDE;

}  // namespace e2e
