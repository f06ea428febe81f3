#include "tools/lib/view_server.h"

#include <httplib.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "base/clock.h"
#include "base/numbers.h"
#include "tools/lib/view_page.h"

namespace {

// How long a request for the state waits for news before it answers unchanged.
constexpr int STATE_WAIT_MS = 1000;

// The page runs only its own inline script and talks only to this server.
const char* const PAGE_POLICY =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

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

}  // namespace

struct ViewServer::Impl {
  LiveView& view;
  Sender send;
  CommandGuard guard;
  httplib::Server server;
  std::mutex sending;  // a goal's G and M go out together

  void serveCommand(const std::string& kind, const httplib::Request& req, httplib::Response& res) {
    noStore(res);
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
      res.set_content(error + "\n", "text/plain");
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

  void route() {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
      noStore(res);
      res.set_header("Content-Security-Policy", PAGE_POLICY);
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_content(VIEW_PAGE, "text/html; charset=utf-8");
    });
    server.Get("/api/state", [this](const httplib::Request& req, httplib::Response& res) {
      noStore(res);
      if (req.has_param("since")) view.waitForChange(readSince(req), STATE_WAIT_MS);
      res.set_content(view.stateJson(calendarSeconds()), "application/json");
    });
    server.Get("/api/map", [this](const httplib::Request& req, httplib::Response& res) {
      noStore(res);
      setMapBody(req, res, view.mapUpdate(static_cast<uint32_t>(std::min<uint64_t>(readSince(req), UINT32_MAX))));
    });
    server.Post("/api/mode", [this](const httplib::Request& req, httplib::Response& res) { serveCommand("mode", req, res); });
    server.Post("/api/goal", [this](const httplib::Request& req, httplib::Response& res) { serveCommand("goal", req, res); });
  }
};

ViewServer::ViewServer(LiveView& view, Sender send) : myImpl(new Impl{view, std::move(send), {}, {}, {}}) {
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
  myThread = std::thread([this] { myImpl->server.listen_after_bind(); });
}

void ViewServer::stop() {
  myImpl->server.stop();
  if (myThread.joinable()) myThread.join();
}
