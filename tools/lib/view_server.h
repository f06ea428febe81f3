#pragma once
// The HTTP side of agentctl view: serves the page, the robots' state and the map tiles
// of a LiveView, and turns the page's commands into messages to the group, on its own
// threads, once listening.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/lib/agent_commands.h"
#include "tools/lib/live_view.h"

// What one client may cost the server. A request's line and headers must arrive whole
// within headerBytes and requestTime of its first byte, and no request carries a body
// that is read (commands take their values from the query), so a request never holds
// more than headerBytes; a connection idle for idleTime is closed. Each connection has
// a thread of its own while it is served, from a pool of threads.
struct ViewLimits {
  size_t headerBytes = 16 * 1024;
  std::chrono::milliseconds requestTime{5000};
  std::chrono::milliseconds idleTime{5000};
  size_t threads = 32;
};

class ViewServer {
 public:
  // Sends one command to the group; false when it could not be sent.
  using Sender = std::function<bool(const ToolCommand&)>;

  ViewServer(LiveView& view, Sender send, const ViewLimits& limits = {});
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  // Binds address:port (port 0: one the kernel picks) and arms the guard of every
  // request for that host and port and of commands for the token. Returns the port, or
  // -1 when it cannot bind.
  int bind(const std::string& address, int port, const std::string& token);
  // Serves on a thread of its own until stop().
  void start();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> myImpl;
  std::thread myThread;
};
