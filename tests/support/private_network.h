#pragma once
// The one way tests put a process where the agents' group cannot leak: a fresh network
// namespace (and user namespace, so it needs no root) with only loopback up and, for
// Route::Multicast, 224.0.0.0/4 routed to it. Everything that joins or sends to the
// group runs through runInPrivateNetwork, directly or by a test running itself again:
//
//   if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

enum class Route { Multicast, None };  // with or without 224.0.0.0/4 routed to loopback

struct Launch {
  Route route = Route::Multicast;
  bool privateMounts = false;  // a private mount namespace too, for mounting small file systems
  std::string dir;             // working directory; empty keeps the current one
  std::vector<std::pair<std::string, std::string>> env;  // set for the command
  std::string output;          // file for standard output and error; empty keeps them
  int timeoutSec = 0;          // the command's process group is killed after this; 0 waits
};

struct LaunchResult {
  int status = -1;  // the command's exit status, or -1 when it could not run or timed out
  bool timedOut = false;
};

// Runs argv (a program found on PATH and its arguments) inside a private network.
LaunchResult runInPrivateNetwork(const std::vector<std::string>& argv, const Launch& how = {});

// Whether private namespaces can be made on this machine at all.
bool privateNetworkAvailable();

// This process is the copy of a test started by rerunInPrivateNetwork.
bool inPrivateNetwork();
// Runs the current test again, alone, in a child of this test binary inside a private
// network, and expects it to pass there; skips the test when no namespace can be made.
void rerunInPrivateNetwork(Route route);

// Runs a shell command (inside the namespace, as its root): its exit status.
int runShell(const std::string& command);

}  // namespace testsupport
