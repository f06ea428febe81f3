#pragma once
// The agent launcher of the end-to-end tests: a bash script executed in a fresh working
// directory inside a private network (tests/support/private_network.h) with the group
// routed to loopback, so the agents' fixed ports and the multicast group never leave the
// test. The script also gets a private mount namespace, so it may mount small file
// systems for fault tests.
#include <filesystem>
#include <string>

#include "tests/support/private_network.h"

namespace e2e {

// The script's exit status, or -1 when it could not run or timed out.
using Result = testsupport::LaunchResult;

class Scenario {
 public:
  // Creates an empty working directory named after the test.
  explicit Scenario(const std::string& name);
  ~Scenario();

  const std::filesystem::path& dir() const { return myDir; }
  // Runs the script with bash in the working directory inside a private network
  // namespace, after SCRIPT_PRELUDE. PATH starts with the build's program folders
  // (agent, robosim, agentctl, mapscore, e2e_flood), WORLDS names the folder of sample
  // worlds. The script and everything it started are killed after timeoutSec.
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
//   start_agent NAME [DIR] an agent named NAME in DIR (default: NAME), stdin held open, logs NAME.out/.err;
//                          its process id in AGENT_PID
//   start_exploring NAME [DIR]  start_agent, then waits until the agent runs its first behaviour
//   stop_agent NAME        sends NAME mode 99, waits for AGENT_PID to end, appends its status to "status"
//   wait_for FILE TEXT SECS   waits until FILE contains TEXT; ends the script (status 3) after SECS
//   wait_after FILE A B SECS  waits until a line with B follows a line with A in FILE
//   wait_exit PID SECS     waits for a process to end and returns its status (script ends, status 4, after SECS)
//   send_msg TEXT          one datagram with TEXT and its NUL to the group
//   count_in FILE TEXT     lines of FILE that contain TEXT
extern const char* const SCRIPT_PRELUDE;

}  // namespace e2e
