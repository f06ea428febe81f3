#pragma once
// The socket side of agentctl foxglove: a WebSocket server (libwebsockets) that speaks
// foxglove.websocket.v1 (tools/foxglove/foxglove_protocol.h) to every client, on a
// thread of its own once started. The receive loop hands it the team's channels and
// messages (publish); it wakes at once and sends them to the clients subscribed.
// Connections that do not ask for the subprotocol, that name another host than the one
// served (a name rebound to this address), or that would make more than 32 clients, are
// refused.
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/lib/agent_commands.h"
#include "tools/rosmsg/team_topics.h"

class FoxgloveServer {
 public:
  // Sends one command to the group; false when it could not be sent.
  using Sender = std::function<bool(const ToolCommand&)>;

  // With acceptsCommands, clients that connect with ?token=TOKEN may publish goals.
  FoxgloveServer(Sender send, bool acceptsCommands);
  ~FoxgloveServer();
  FoxgloveServer(const FoxgloveServer&) = delete;
  FoxgloveServer& operator=(const FoxgloveServer&) = delete;

  // Listens on address:port (port 0: one the kernel picks). Returns the port, or -1
  // with the reason on standard error.
  int bind(const std::string& address, int port, const std::string& token);
  // Serves on a thread of its own until stop().
  void start();
  void stop();
  // The team's channels (all so far; new ones are advertised) and new messages.
  void publish(const std::vector<TopicChannel>& channels, std::vector<TopicMessage> messages);

 private:
  struct Impl;
  std::unique_ptr<Impl> myImpl;
  std::thread myThread;
};
