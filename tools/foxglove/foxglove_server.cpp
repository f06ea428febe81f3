#include "tools/foxglove/foxglove_server.h"

#include <libwebsockets.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "tools/foxglove/foxglove_protocol.h"
#include "tools/lib/live_view.h"

namespace {

constexpr const char* SUBPROTOCOL = "foxglove.websocket.v1";
// A client's message (a subscription list, a goal) is small; more is refused.
constexpr size_t MOST_RECEIVED_BYTES = 1 << 20;
// Clients at once: each may hold FoxgloveSession::MAX_QUEUED_BYTES.
constexpr size_t MOST_CLIENTS = 32;

void logLine(int level, const char* line) {
  if ((level & LLL_ERR) != 0) std::fprintf(stderr, "agentctl foxglove: %s", line);
}

std::string header(lws* wsi, lws_token_indexes token) {
  const int length = lws_hdr_total_length(wsi, token);
  if (length <= 0) return "";
  std::string value(static_cast<size_t>(length) + 1, '\0');
  if (lws_hdr_copy(wsi, value.data(), length + 1, token) < 0) return "";
  value.resize(static_cast<size_t>(length));
  return value;
}

std::string tokenOf(lws* wsi) {
  char buffer[256];
  const char* value = lws_get_urlarg_by_name(wsi, "token=", buffer, sizeof buffer);
  return value != nullptr ? value : "";
}

}  // namespace

// Every member below is used on the service thread only, except the inbox.
struct FoxgloveServer::Impl {
  // One connection: its protocol session and the message being received.
  struct Client {
    lws* wsi = nullptr;
    FoxgloveSession session;
    std::string received;
    bool established = false;
  };

  Sender send;
  FoxgloveHub hub;
  CommandGuard guard;
  lws_context* context = nullptr;
  lws_protocols protocols[3] = {};
  std::string bindAddress;
  std::string sessionId;
  std::set<Client*> clients;  // constructed in admit, destroyed when the connection goes
  std::atomic<bool> stopping{false};

  std::mutex inboxMutex;  // guards the three below, filled by publish
  size_t channelsHandedOver = 0;
  std::vector<TopicChannel> inboxChannels;
  std::vector<TopicMessage> inboxMessages;

  Impl(Sender s, bool acceptsCommands) : send(std::move(s)), hub(acceptsCommands) {}

  static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length) {
    auto* self = static_cast<Impl*>(lws_context_user(lws_get_context(wsi)));
    return self->handle(wsi, reason, static_cast<Client*>(user), in, length);
  }

  // Plain HTTP and WebSocket requests without our subprotocol land here.
  static int refuse(lws* wsi, lws_callback_reasons reason, void*, void*, size_t) {
    if (reason == LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION) return -1;
    if (reason == LWS_CALLBACK_HTTP) {
      lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND,
                             "a Foxglove WebSocket server (foxglove.websocket.v1): open it in Foxglove or Lichtblick");
      return -1;
    }
    return 0;
  }

  int handle(lws* wsi, lws_callback_reasons reason, Client* client, void* in, size_t length) {
    switch (reason) {
      case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION: return admit(wsi, client);
      case LWS_CALLBACK_ESTABLISHED:
        client->established = true;
        client->session.start(sessionId);
        lws_callback_on_writable(wsi);
        return 0;
      case LWS_CALLBACK_RECEIVE: return receive(wsi, client, static_cast<const char*>(in), length);
      case LWS_CALLBACK_SERVER_WRITEABLE: return write(wsi, client);
      case LWS_CALLBACK_CLOSED:
      case LWS_CALLBACK_WSI_DESTROY:
        if (client != nullptr && clients.erase(client) != 0) client->~Client();
        return 0;
      case LWS_CALLBACK_EVENT_WAIT_CANCELLED: drainInbox(); return 0;
      default: return 0;
    }
  }

  // Before the handshake's answer: the per-connection memory is ours to construct.
  int admit(lws* wsi, Client* client) {
    const std::string host = header(wsi, WSI_TOKEN_HOST);
    if (!guard.serves(host)) {
      std::fprintf(stderr, "agentctl foxglove: refused a connection for host \"%.80s\" (served: %s)\n", host.c_str(),
                   guard.hosts.front().c_str());
      return -1;
    }
    if (clients.size() >= MOST_CLIENTS) {
      std::fprintf(stderr, "agentctl foxglove: refused a connection: %zu clients are connected already\n", clients.size());
      return -1;
    }
    std::string refusal = hub.acceptsCommands() ? guard.refusal(tokenOf(wsi), host, "")
                                                : "this server was started without --allow-commands";
    clients.insert(new (client) Client{wsi, FoxgloveSession(hub, std::move(refusal)), {}, false});
    return 0;
  }

  int receive(lws* wsi, Client* client, const char* data, size_t length) {
    client->received.append(data, length);
    if (client->received.size() > MOST_RECEIVED_BYTES) return -1;
    if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) != 0) return 0;
    std::vector<GoalRequest> goals;
    client->session.receive(lws_frame_is_binary(wsi) != 0, client->received, goals);
    client->received.clear();
    for (const GoalRequest& goal : goals) sendGoal(client->session, goal);
    lws_callback_on_writable(wsi);
    return 0;
  }

  void sendGoal(FoxgloveSession& session, const GoalRequest& goal) {
    char x[32], y[32];
    std::snprintf(x, sizeof x, "%.1f", goal.xMm);
    std::snprintf(y, sizeof y, "%.1f", goal.yMm);
    std::vector<ToolCommand> commands;
    std::string error;
    if (!readPageCommand("goal", {{"robot", goal.agent}, {"x", x}, {"y", y}}, commands, error)) {
      session.status(2, "goal refused: " + error);
      return;
    }
    std::string sent;
    for (const ToolCommand& command : commands) {
      char text[MSG_BUFFER_SIZE];
      formatMessage(command.message(), text, sizeof text);
      if (!send(command)) {
        session.status(2, sent + "not sent: " + text);
        return;
      }
      sent += std::string("sent: ") + text + "; ";
    }
    session.status(0, sent);
  }

  int write(lws* wsi, Client* client) {
    FoxgloveSession::Frame frame;
    if (!client->session.next(frame)) return 0;
    std::vector<unsigned char> buffer(LWS_PRE + frame.bytes.size());
    std::memcpy(buffer.data() + LWS_PRE, frame.bytes.data(), frame.bytes.size());
    const int written = lws_write(wsi, buffer.data() + LWS_PRE, frame.bytes.size(),
                                  frame.binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT);
    if (written < static_cast<int>(frame.bytes.size())) return -1;
    lws_callback_on_writable(wsi);  // the next frame, if any, when the socket takes it
    return 0;
  }

  void drainInbox() {
    std::vector<TopicChannel> channels;
    std::vector<TopicMessage> messages;
    {
      std::lock_guard hold(inboxMutex);
      channels.swap(inboxChannels);
      messages.swap(inboxMessages);
    }
    const std::vector<TopicChannel> added = hub.addChannels(channels);
    for (const TopicMessage& m : messages) hub.remember(m);
    for (Client* client : clients) {
      if (!client->established) continue;
      client->session.advertise(added);
      for (const TopicMessage& m : messages) client->session.deliver(m);
      lws_callback_on_writable(client->wsi);
    }
  }
};

FoxgloveServer::FoxgloveServer(Sender send, bool acceptsCommands)
    : myImpl(std::make_unique<Impl>(std::move(send), acceptsCommands)) {}

FoxgloveServer::~FoxgloveServer() {
  stop();
  if (myImpl->context != nullptr) lws_context_destroy(myImpl->context);
}

int FoxgloveServer::bind(const std::string& address, int port, const std::string& token) {
  Impl& impl = *myImpl;
  lws_set_log_level(LLL_ERR, logLine);
  impl.protocols[0] = {"http-only", &Impl::refuse, 0, 0, 0, nullptr, 0};
  impl.protocols[1] = {SUBPROTOCOL, &Impl::callback, sizeof(Impl::Client), 0, 0, nullptr, 0};
  impl.bindAddress = address;
  lws_context_creation_info info{};
  info.iface = impl.bindAddress.c_str();
  info.port = port;
  info.protocols = impl.protocols;
  info.user = &impl;
  info.gid = -1;
  info.uid = -1;
  info.options = LWS_SERVER_OPTION_DISABLE_IPV6 | LWS_SERVER_OPTION_VALIDATE_UTF8;
  impl.context = lws_create_context(&info);
  if (impl.context == nullptr) return -1;
  const int bound = lws_get_vhost_listen_port(lws_get_vhost_by_name(impl.context, "default"));
  if (bound <= 0) return -1;
  impl.guard = CommandGuard{token, servedHosts(address, bound)};
  impl.sessionId = std::to_string(static_cast<long long>(time(nullptr)));
  return bound;
}

void FoxgloveServer::start() {
  myThread = std::thread([impl = myImpl.get()] {
    while (!impl->stopping.load()) lws_service(impl->context, 0);
  });
}

void FoxgloveServer::stop() {
  myImpl->stopping.store(true);
  if (myImpl->context != nullptr) lws_cancel_service(myImpl->context);
  if (myThread.joinable()) myThread.join();
}

void FoxgloveServer::publish(const std::vector<TopicChannel>& channels, std::vector<TopicMessage> messages) {
  {
    std::lock_guard hold(myImpl->inboxMutex);
    // Channels only grow: those past the ones already handed over are new.
    for (size_t& i = myImpl->channelsHandedOver; i < channels.size(); ++i) myImpl->inboxChannels.push_back(channels[i]);
    for (TopicMessage& m : messages) myImpl->inboxMessages.push_back(std::move(m));
  }
  if (myImpl->context != nullptr) lws_cancel_service(myImpl->context);
}
