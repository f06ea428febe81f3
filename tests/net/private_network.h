#pragma once
// Tests that touch the multicast group run inside a private network namespace with only
// loopback up. A test calls rerunInPrivateNetwork() when inPrivateNetwork() is false: it
// runs this same test again in a child process of this test binary inside a fresh
// namespace and expects the child to pass (skips only if no namespace can be made).
//
//   if (!inPrivateNetwork()) return rerunInPrivateNetwork(Route::Multicast);
#include <string>

enum class Route { Multicast, None };  // with or without 224.0.0.0/4 routed to loopback

bool inPrivateNetwork();
void rerunInPrivateNetwork(Route route);

// Runs a shell command (inside the namespace, as root): its exit status.
int runShell(const std::string& command);
