#pragma once
// The HTTP side of agentctl view: serves the page, the robots' state and the map tiles
// of a LiveView, and turns the page's commands into messages to the group, on its own
// threads, once listening.
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/lib/agent_commands.h"
#include "tools/lib/live_view.h"

class ViewServer {
 public:
  // Sends one command to the group; false when it could not be sent.
  using Sender = std::function<bool(const ToolCommand&)>;

  ViewServer(LiveView& view, Sender send);
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  // Binds address:port (port 0: one the kernel picks) and arms the guard of commands for
  // that host and the token. Returns the port, or -1 when it cannot bind.
  int bind(const std::string& address, int port, const std::string& token);
  // Serves on a thread of its own until stop().
  void start();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> myImpl;
  std::thread myThread;
};
