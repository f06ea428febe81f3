#include "tools/lib/view_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "base/clock.h"
#include "base/numbers.h"
#include "tools/lib/view_page.h"

namespace {

using Steady = std::chrono::steady_clock;
using HandlerResponse = httplib::Server::HandlerResponse;

// How long a request for the state waits for news before it answers unchanged.
constexpr int STATE_WAIT_MS = 1000;
// Requests one connection may carry before it is closed.
constexpr size_t KEEP_ALIVE_REQUESTS = 100;
// How long one answer may take to leave; a client that reads slower loses it.
constexpr std::chrono::seconds ANSWER_TIME{30};
// After a refusal the rest of what the client sent is read and dropped, within these
// bounds, so that the refusal reaches it before the connection closes.
constexpr size_t LINGER_BYTES = 1 << 20;
constexpr std::chrono::milliseconds LINGER_TIME{250};
// How often a wait looks whether the server is stopping.
constexpr int STOP_CHECK_MS = 100;

// The page runs only its own inline script and talks only to this server.
const char* const PAGE_POLICY =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

int millisecondsUntil(Steady::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Steady::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

// Waits up to timeoutMs for the socket to be ready for events; false on a time-out or error.
bool ready(int sock, short events, int timeoutMs) {
  pollfd p{sock, events, 0};
  int n;
  while ((n = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return n > 0;
}

void addressOf(int sock, bool peer, std::string& ip, int& port) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if ((peer ? getpeername(sock, reinterpret_cast<sockaddr*>(&a), &length)
            : getsockname(sock, reinterpret_cast<sockaddr*>(&a), &length)) != 0) {
    return;
  }
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(a.sin_port);
}

// One connection as the server reads and writes it. Every request is counted and timed
// from its first byte, so neither a flood of headers nor a client that sends them a
// byte at a time holds more than the limits allow.
class GuardedStream : public httplib::Stream {
 public:
  enum class Refusal { None, TooLarge, TooSlow };

  GuardedStream(int sock, const ViewLimits& limits) : mySock(sock), myLimits(limits) {}
  using httplib::Stream::write;

  // Waits for the next request's first byte, at most the idle time; false when none
  // came, the client left, or stopping() turned true.
  template <class Stopping>
  bool awaitRequest(Stopping stopping) {
    const Steady::time_point idleEnd = Steady::now() + myLimits.idleTime;
    while (myBegin == myEnd) {
      if (stopping() || Steady::now() >= idleEnd) return false;
      if (!ready(mySock, POLLIN, std::min(STOP_CHECK_MS, millisecondsUntil(idleEnd)))) continue;
      if (fill() <= 0) return false;
    }
    myDelivered = 0;
    myDeadline = Steady::now() + myLimits.requestTime;
    myAnswerDeadline.reset();
    return true;
  }

  bool is_readable() const override { return myBegin != myEnd || ready(mySock, POLLIN, millisecondsUntil(myDeadline)); }
  bool is_writable() const override { return ready(mySock, POLLOUT, millisecondsUntil(answerDeadline())); }

  ssize_t read(char* ptr, size_t size) override {
    if (myRefusal != Refusal::None) return -1;
    if (myDelivered >= myLimits.headerBytes) return refuse(Refusal::TooLarge);
    if (myBegin == myEnd) {
      if (Steady::now() >= myDeadline || !ready(mySock, POLLIN, millisecondsUntil(myDeadline))) {
        return refuse(Refusal::TooSlow);
      }
      const ssize_t n = fill();
      if (n <= 0) return n;
    }
    const size_t n = std::min({size, myEnd - myBegin, myLimits.headerBytes - myDelivered});
    std::memcpy(ptr, myBuffer + myBegin, n);
    myBegin += n;
    myDelivered += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!myAnswerDeadline) myAnswerDeadline = Steady::now() + ANSWER_TIME;
    if (!is_writable()) return -1;
    return ::send(mySock, ptr, size, MSG_NOSIGNAL);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { addressOf(mySock, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { addressOf(mySock, false, ip, port); }
  socket_t socket() const override { return mySock; }

  Refusal refusal() const { return myRefusal; }
  bool answered() const { return myAnswerDeadline.has_value(); }
  // Closes the connection after this answer; drainInput: the client may still be
  // sending what the server will not read.
  void closeAfterAnswer(bool drainInput) {
    myClosing = true;
    myDrain = myDrain || drainInput;
  }
  bool closing() const { return myClosing; }

  // Reads and drops what the client still sends (within the linger bounds) so that a
  // refusal is not lost to a reset, then closes the socket.
  void close() {
    if (myDrain && ::shutdown(mySock, SHUT_WR) == 0) {
      const Steady::time_point end = Steady::now() + LINGER_TIME;
      for (size_t dropped = 0; dropped < LINGER_BYTES && ready(mySock, POLLIN, millisecondsUntil(end));) {
        const ssize_t n = ::recv(mySock, myBuffer, sizeof myBuffer, 0);
        if (n <= 0) break;
        dropped += static_cast<size_t>(n);
      }
    }
    ::shutdown(mySock, SHUT_RDWR);
    ::close(mySock);
  }

 private:
  ssize_t fill() {
    ssize_t n;
    while ((n = ::recv(mySock, myBuffer, sizeof myBuffer, 0)) < 0 && errno == EINTR) {
    }
    myBegin = 0;
    myEnd = n > 0 ? static_cast<size_t>(n) : 0;
    return n;
  }

  ssize_t refuse(Refusal why) {
    myRefusal = why;
    closeAfterAnswer(true);
    return -1;
  }

  Steady::time_point answerDeadline() const { return myAnswerDeadline.value_or(Steady::now() + ANSWER_TIME); }

  int mySock;
  const ViewLimits& myLimits;
  char myBuffer[4096];
  size_t myBegin = 0, myEnd = 0;  // what was received and not yet read
  size_t myDelivered = 0;         // bytes of this request read so far
  Steady::time_point myDeadline;
  std::optional<Steady::time_point> myAnswerDeadline;
  Refusal myRefusal = Refusal::None;
  bool myClosing = false, myDrain = false;
};

// The connection the calling thread serves: the handlers reach it through this to close
// it after a refusal, and to say why the library found a request bad.
thread_local GuardedStream* servedConnection = nullptr;

struct RefusalAnswer {
  int status;
  const char* reason;
  std::string text;
};

// The answer to a request refused for its size or its pace.
RefusalAnswer refusalAnswer(GuardedStream::Refusal why, const ViewLimits& limits) {
  if (why == GuardedStream::Refusal::TooLarge) {
    return {431, "Request Header Fields Too Large",
            "refused: the request line and headers exceed " + std::to_string(limits.headerBytes) + " bytes\n"};
  }
  return {408, "Request Timeout",
          "refused: the request did not arrive whole within " + std::to_string(limits.requestTime.count()) + " ms\n"};
}

// The refusal written by hand where the library gave up on a request without an answer
// (a request line that never ended).
void answerRefusal(GuardedStream& stream, const ViewLimits& limits) {
  const RefusalAnswer a = refusalAnswer(stream.refusal(), limits);
  const std::string head = "HTTP/1.1 " + std::to_string(a.status) + " " + a.reason +
                           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(a.text.size()) +
                           "\r\nConnection: close\r\n\r\n";
  stream.write(head + a.text);
}

// cpp-httplib's server with our own connection loop around its request handling.
class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(const ViewLimits& limits) : myLimits(limits) {
    new_task_queue = [this] { return new httplib::ThreadPool(myLimits.threads); };
    set_keep_alive_max_count(KEEP_ALIVE_REQUESTS);
    set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(myLimits.idleTime).count());
    set_payload_max_length(0);  // bodies are never read; see guardRequest
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    GuardedStream stream(sock, myLimits);
    servedConnection = &stream;
    const auto stopping = [this] { return svr_sock_ == INVALID_SOCKET; };
    for (size_t served = 1; served <= KEEP_ALIVE_REQUESTS && stream.awaitRequest(stopping); ++served) {
      bool clientCloses = false;
      const bool answered = process_request(stream, served == KEEP_ALIVE_REQUESTS, clientCloses, nullptr);
      if (!answered && stream.refusal() != GuardedStream::Refusal::None && !stream.answered()) {
        answerRefusal(stream, myLimits);
      }
      if (!answered || clientCloses || stream.closing()) break;
    }
    servedConnection = nullptr;
    stream.close();
    return true;
  }

  const ViewLimits& myLimits;
};

void noStore(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
}

// The tiles deflated when the browser takes it: an explored map is long runs of one shade.
void setMapBody(const httplib::Request& req, httplib::Response& res, const std::string& body) {
  if (req.get_header_value("Accept-Encoding").find("deflate") != std::string::npos) {
    uLongf size = compressBound(static_cast<uLong>(body.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(body.data()),
                  static_cast<uLong>(body.size()), Z_BEST_SPEED) == Z_OK) {
      packed.resize(size);
      res.set_header("Content-Encoding", "deflate");
      res.set_content(packed, "application/octet-stream");
      return;
    }
  }
  res.set_content(body, "application/octet-stream");
}

uint64_t readSince(const httplib::Request& req) {
  uint64_t since = 0;
  if (req.has_param("since") && readInteger<uint64_t>(req.get_param_value("since"), 0, UINT64_MAX, since) != NumberCheck::Ok) {
    since = 0;
  }
  return since;
}

// Answers with a refusal and closes the connection after it.
HandlerResponse refuse(httplib::Response& res, int status, const std::string& why, bool bodyMayFollow) {
  res.status = status;
  res.set_content(why + "\n", "text/plain");
  res.set_header("Connection", "close");
  if (servedConnection != nullptr) servedConnection->closeAfterAnswer(bodyMayFollow);
  return HandlerResponse::Handled;
}

// The text of an answer the library made itself (a request it could not read, no such
// page), with what our connection loop knows about why. Our own answers carry their text.
HandlerResponse explainError(httplib::Response& res, const ViewLimits& limits) {
  if (!res.body.empty()) return HandlerResponse::Handled;
  if (res.status == 404) {
    res.set_content("not found\n", "text/plain");
    return HandlerResponse::Handled;
  }
  const GuardedStream::Refusal why =
      servedConnection != nullptr ? servedConnection->refusal() : GuardedStream::Refusal::None;
  if (why != GuardedStream::Refusal::None) {
    const RefusalAnswer a = refusalAnswer(why, limits);
    res.status = a.status;
    res.set_content(a.text, "text/plain");
  } else {
    res.set_content("refused: not a request this page serves\n", "text/plain");
  }
  // What follows a request that could not be read is no request either.
  if (servedConnection != nullptr) servedConnection->closeAfterAnswer(true);
  return HandlerResponse::Handled;
}

}  // namespace

struct ViewServer::Impl {
  Impl(LiveView& v, Sender s, const ViewLimits& l) : view(v), send(std::move(s)), limits(l) {}

  LiveView& view;
  Sender send;
  ViewLimits limits;
  CommandGuard guard;
  GuardedServer server{limits};
  std::mutex sending;  // a goal's G and M go out together
  std::atomic<bool> listenEnded{false};

  void serveCommand(const std::string& kind, const httplib::Request& req, httplib::Response& res) {
    const std::string why =
        guard.refusal(req.get_header_value("X-Token"), req.get_header_value("Host"), req.get_header_value("Origin"));
    if (!why.empty()) {
      res.status = 403;
      res.set_content("refused: " + why + "\n", "text/plain");
      return;
    }
    std::map<std::string, std::string, std::less<>> params(req.params.begin(), req.params.end());
    std::vector<ToolCommand> commands;
    std::string error;
    if (!readPageCommand(kind, params, commands, error)) {
      res.status = 400;
      res.set_content("refused: " + error + "\n", "text/plain");
      return;
    }
    std::string sent;
    std::lock_guard hold(sending);
    for (const ToolCommand& command : commands) {
      char text[MSG_BUFFER_SIZE];
      formatMessage(command.message(), text, sizeof text);
      if (!send(command)) {
        res.status = 502;
        res.set_content(sent + "not sent: " + text + "\n", "text/plain");
        return;
      }
      sent += std::string("sent: ") + text + "\n";
    }
    res.set_content(sent, "text/plain");
  }

  // Every request passes here before anything of its body would be read: the host it is
  // addressed to (also for reading: a page of another site whose name was rebound to
  // this address must not read the robots and the map), no body, and the commands.
  HandlerResponse guardRequest(const httplib::Request& req, httplib::Response& res) {
    noStore(res);
    const bool hasBody = req.has_header("Transfer-Encoding") ||
                         (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0");
    if (!guard.serves(req.get_header_value("Host"))) {
      return refuse(res, 403, "refused: the request is not addressed to this page's host", hasBody);
    }
    if (req.method == "GET" || req.method == "HEAD") {
      return hasBody ? refuse(res, 400, "refused: a GET carries no body", true) : HandlerResponse::Unhandled;
    }
    if (req.method != "POST") {
      res.set_header("Allow", "GET, HEAD, POST");
      return refuse(res, 405, "refused: the page serves GET and POST only", hasBody);
    }
    if (hasBody) {
      return refuse(res, 413,
                    "refused: commands carry no body; their values go in the query, as in "
                    "POST /api/mode?robot=NAME&value=N",
                    true);
    }
    if (req.path == "/api/mode") serveCommand("mode", req, res);
    else if (req.path == "/api/goal") serveCommand("goal", req, res);
    else refuse(res, 404, "no such command (POST /api/mode or /api/goal)", false);
    return HandlerResponse::Handled;
  }

  void route() {
    server.set_pre_routing_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request& req, httplib::Response& res) { return guardRequest(req, res); }));
    // A client that waits for leave to send a body hears at once whether it may.
    server.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
      return guardRequest(req, res) == HandlerResponse::Handled ? res.status : 100;
    });
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request&, httplib::Response& res) { return explainError(res, limits); }));
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy", PAGE_POLICY);
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_content(VIEW_PAGE, "text/html; charset=utf-8");
    });
    server.Get("/api/state", [this](const httplib::Request& req, httplib::Response& res) {
      if (req.has_param("since")) view.waitForChange(readSince(req), STATE_WAIT_MS);
      // cpp-httplib compresses JSON itself for a browser that takes it.
      res.set_content(view.stateJson(calendarSeconds()), "application/json");
    });
    server.Get("/api/map", [this](const httplib::Request& req, httplib::Response& res) {
      setMapBody(req, res, view.mapUpdate(static_cast<uint32_t>(std::min<uint64_t>(readSince(req), UINT32_MAX))));
    });
  }
};

ViewServer::ViewServer(LiveView& view, Sender send, const ViewLimits& limits)
    : myImpl(std::make_unique<Impl>(view, std::move(send), limits)) {
  myImpl->route();
}

ViewServer::~ViewServer() { stop(); }

int ViewServer::bind(const std::string& address, int port, const std::string& token) {
  httplib::Server& server = myImpl->server;
  int bound = port;
  if (port == 0) bound = server.bind_to_any_port(address);
  else if (!server.bind_to_port(address, port)) bound = -1;
  if (bound <= 0) return -1;
  myImpl->guard = CommandGuard{token, servedHosts(address, bound)};
  return bound;
}

void ViewServer::start() {
  myThread = std::thread([this] {
    myImpl->server.listen_after_bind();
    myImpl->listenEnded = true;
  });
  // Until the server runs, stop() would not reach it.
  while (!myImpl->server.is_running() && !myImpl->listenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ViewServer::stop() {
  myImpl->server.stop();
  if (myThread.joinable()) myThread.join();
}
