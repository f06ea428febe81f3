// The live map page's core: a page that applies only the changed tiles holds the same
// picture as one that fetched everything, in the page's orientation; commands are refused
// without the token or from another site, and go out as agentctl would send them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "map/occupancy_map.h"
#include "net/messages.h"
#include "tests/support/private_network.h"
#include "tools/lib/live_view.h"
#include "tools/lib/view_server.h"

namespace {

using namespace std::chrono_literals;

// A page's copy of the raster, built from map answers as the page's script does.
struct PageRaster {
  uint32_t version = 0, layout = 0;
  int32_t x0 = 0, y1 = 0, width = 0, height = 0;
  std::vector<uint8_t> shades;
  int tilesLastApplied = 0;

  static uint32_t u32(const std::string& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
  }
  void apply(const std::string& b) {
    ASSERT_EQ(b.substr(0, 4), "MCV1");
    const uint32_t nextLayout = u32(b, 8);
    if (nextLayout != layout) {
      layout = nextLayout;
      x0 = static_cast<int32_t>(u32(b, 12));
      y1 = static_cast<int32_t>(u32(b, 16));
      width = static_cast<int32_t>(u32(b, 20));
      height = static_cast<int32_t>(u32(b, 24));
      shades.assign(static_cast<size_t>(width * height), 0);
    }
    const int32_t tile = static_cast<int32_t>(u32(b, 28));
    tilesLastApplied = static_cast<int>(u32(b, 36));
    size_t at = 40;
    for (int n = 0; n < tilesLastApplied; ++n) {
      const int32_t tx = static_cast<int32_t>(u32(b, at)) * tile, ty = static_cast<int32_t>(u32(b, at + 4)) * tile;
      at += 8;
      for (int32_t r = 0; r < tile && ty + r < height; ++r) {
        for (int32_t c = 0; c < tile && tx + c < width; ++c) {
          shades[static_cast<size_t>((ty + r) * width + tx + c)] = static_cast<uint8_t>(b[at + static_cast<size_t>(r * tile + c)]);
        }
      }
      at += static_cast<size_t>(tile * tile);
    }
    ASSERT_EQ(at, b.size());
    version = u32(b, 4);
  }
  uint8_t at(int32_t x, int32_t y) const { return shades[static_cast<size_t>((y1 - y) * width + (x - x0))]; }
};

TEST(LiveMapTiles, ChangedTilesBringAPageToTheWholeMapAlsoAcrossGrowth) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  MapTiles tiles;
  PageRaster page;
  tiles.refresh(map);
  page.apply(tiles.encode(0));

  map.cellAt(3, 1) = 10;                      // free, right of and above the origin
  map.cellAt(-2, -5) = 200;                   // obstacle
  map.cellAt(0, 0) = 0 | CELL_FOOTPRINT;      // where a robot stood
  map.cellAt(1, 0) = 200 | CELL_FOOTPRINT;    // an obstacle stays one under a footprint
  ASSERT_TRUE(tiles.refresh(map));
  page.apply(tiles.encode(page.version));
  EXPECT_EQ(page.tilesLastApplied, 2) << "only the tiles with changed cells";
  EXPECT_EQ(page.at(3, 1), MapTiles::FREE) << "+x to the right, +y up";
  EXPECT_EQ(page.at(-2, -5), MapTiles::OBSTACLE);
  EXPECT_EQ(page.at(0, 0), MapTiles::FOOTPRINT);
  EXPECT_EQ(page.at(1, 0), MapTiles::OBSTACLE);
  EXPECT_EQ(page.at(1, 3), MapTiles::UNKNOWN) << "not transposed";

  EXPECT_FALSE(tiles.refresh(map));
  page.apply(tiles.encode(page.version));
  EXPECT_EQ(page.tilesLastApplied, 0) << "an unchanged map sends no tiles";

  const uint32_t before = page.version;
  map.growToCover(400, -20);
  map.cellAt(400, -20) = 100;
  ASSERT_TRUE(tiles.refresh(map));
  page.apply(tiles.encode(before));
  PageRaster fresh;
  fresh.apply(tiles.encode(0));
  EXPECT_EQ(page.shades, fresh.shades) << "a page that held the old layout gets all of the new one";
  EXPECT_EQ(page.at(400, -20), MapTiles::OBSTACLE);
  EXPECT_EQ(page.at(3, 1), MapTiles::FREE);
}

TEST(LiveMapCommands, RefusedWithoutTheTokenOrFromAnotherSite) {
  const std::string token = makeToken();
  ASSERT_EQ(token.size(), 32u);
  EXPECT_NE(makeToken(), token);
  const CommandGuard guard{token, servedHosts("127.0.0.1", 8080)};
  struct Case {
    std::string token, host, origin;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {token, "127.0.0.1:8080", "", true},
      {token, "localhost:8080", "http://localhost:8080", true},
      {"", "127.0.0.1:8080", "", false},
      {token.substr(0, 31), "127.0.0.1:8080", "", false},
      {token.substr(0, 31) + (token[31] == '0' ? "1" : "0"), "127.0.0.1:8080", "", false},
      {token, "evil.example:8080", "http://evil.example:8080", false},  // a name rebound to loopback
      {token, "127.0.0.1:8080", "http://evil.example", false},
      {token, "127.0.0.1:8080", "http://127.0.0.1:8080.evil.example", false},
      {token, "127.0.0.1:8081", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(guard.refusal(c.token, c.host, c.origin).empty(), c.allowed) << c.token << " " << c.host << " " << c.origin;
  }
  const CommandGuard unarmed{"", {"127.0.0.1:8080"}};
  EXPECT_FALSE(unarmed.refusal("", "127.0.0.1:8080", "").empty())
      << "no token, no commands";
}

std::vector<std::string> pageMessages(const std::string& kind, const std::map<std::string, std::string, std::less<>>& params) {
  std::vector<ToolCommand> commands;
  std::string error;
  if (!readPageCommand(kind, params, commands, error)) return {"error: " + error};
  std::vector<std::string> texts;
  for (const ToolCommand& c : commands) {
    char text[MSG_BUFFER_SIZE];
    formatMessage(c.message(), text, sizeof text);
    texts.emplace_back(text);
  }
  return texts;
}

TEST(LiveMapCommands, AGoalIsSentWithPathModeAndBadValuesAreRefused) {
  using Texts = std::vector<std::string>;
  EXPECT_EQ(pageMessages("goal", {{"robot", "alpha"}, {"x", "1500"}, {"y", "-250"}}),
            (Texts{"G alpha 1500.000 -250.000 0.000", "M alpha 3"}));
  EXPECT_EQ(pageMessages("mode", {{"robot", "all"}, {"value", "98"}}), Texts{"M all 98"});
  for (const auto& params : std::vector<std::map<std::string, std::string, std::less<>>>{
           {{"robot", "a b"}, {"value", "1"}},
           {{"robot", "alpha"}, {"value", "70000"}},
           {{"robot", "--help"}, {"value", "1"}},
           {{"value", "1"}}}) {
    const Texts texts = pageMessages("mode", params);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("error: ", 0), 0u) << texts[0];
  }
  EXPECT_EQ(pageMessages("goal", {{"robot", "alpha"}, {"x", "900000"}, {"y", "0"}})[0].rfind("error: ", 0), 0u);
}

TEST(LiveMapState, RobotsShowTheLatestCommandToThemOrToAll) {
  LiveView view;
  auto feed = [&](const char* text) {
    Message m;
    ASSERT_TRUE(parseMessage(text, m)) << text;
    view.handleMessages(std::span<const Message>(&m, 1), 1000);
  };
  feed("P alpha 100 200 90");
  feed("P \"b\\ 0 0 0");
  feed("M alpha 3");
  feed("G all 500 600 0");
  feed("M all 98");
  const std::string state = view.stateJson(1002);
  EXPECT_NE(state.find("{\"name\":\"alpha\",\"x\":100.0,\"y\":200.0,\"th\":90.0,\"age\":2"), std::string::npos) << state;
  EXPECT_NE(state.find("\"mode\":1,\"modeName\":\"manual\",\"goal\":[500.0,600.0,0.0]"), std::string::npos)
      << "the later M to all wins; after saving an agent drives by hand\n" << state;
  EXPECT_NE(state.find("{\"name\":\"\\\"b\\\\\""), std::string::npos) << "names are escaped\n" << state;
  feed("M alpha 2");
  EXPECT_NE(view.stateJson(1002).find("\"mode\":2,\"modeName\":\"potential field\""), std::string::npos);
  EXPECT_NE(state.find("\"correction\":null"), std::string::npos) << "no C message yet\n" << state;
  feed("C alpha -412.5 30 -3.25");
  EXPECT_NE(view.stateJson(1002).find("\"way\":null,\"correction\":[-412.5,30.0,-3.25]}"), std::string::npos)
      << "the pose correction an agent reports\n" << view.stateJson(1002);
  EXPECT_NE(view.stateJson(1002).find("\"way\":null"), std::string::npos) << "no robot told its way yet";

  // What a robot tells of its way is its own: its last T, with its age.
  feed("T alpha 1500 -200 1");
  feed("T all 0 0 2");
  const std::string told = view.stateJson(1003);
  EXPECT_NE(told.find("\"way\":{\"text\":\"gave up the frontier at\",\"x\":1500.0,\"y\":-200.0,\"age\":3}"),
            std::string::npos) << told;
  EXPECT_EQ(told.find("exploration complete"), std::string::npos) << told;
}

// A client of the page's server that speaks raw HTTP over loopback, a byte at a time if
// need be.
class RawClient {
 public:
  explicit RawClient(int port) : myFd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{3, 0};  // a server that neither reads nor closes fails the send
    setsockopt(myFd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    setsockopt(myFd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    myConnected = connect(myFd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~RawClient() { close(myFd); }
  bool send(const std::string& bytes) const {
    return myConnected && ::send(myFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Everything until the server closes (or three quiet seconds).
  std::string answer() const {
    std::string all;
    char chunk[4096];
    for (ssize_t n; (n = recv(myFd, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, static_cast<size_t>(n));
    return all;
  }
  // Sends chunks until the server stops taking them; the bytes it took.
  size_t flood(const std::string& chunk, size_t most) const {
    size_t sent = 0;
    while (sent < most && send(chunk)) sent += chunk.size();
    return sent;
  }

 private:
  int myFd;
  bool myConnected = false;
};

std::string statusOf(const std::string& answer) { return answer.substr(0, answer.find('\r')); }

TEST(LiveMapServer, SlowOversizedAndForeignRequestsAreRefusedWhileThePageIsServed) {
  if (!testsupport::inPrivateNetwork()) return testsupport::rerunInPrivateNetwork(testsupport::Route::None);
  LiveView view;
  std::vector<std::string> sent;
  ViewLimits limits;
  limits.requestTime = 2000ms;
  ViewServer server(view, [&](const ToolCommand& c) {
    sent.push_back(std::string(1, c.type) + " " + c.name);
    return true;
  }, limits);
  const int port = server.bind("127.0.0.1", 0, "0123456789abcdef0123456789abcdef");
  ASSERT_GT(port, 0);
  server.start();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";

  // Eight clients that send their request a byte at a time hold connections: the page
  // is still served at once, and they are cut off after the request time.
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(std::make_unique<RawClient>(port));
    ASSERT_TRUE(slow.back()->send("G"));
  }
  std::this_thread::sleep_for(300ms);
  for (auto& c : slow) ASSERT_TRUE(c->send("E"));
  const auto asked = std::chrono::steady_clock::now();
  const RawClient normal(port);
  ASSERT_TRUE(normal.send("GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n"));
  const std::string page = normal.answer();
  EXPECT_EQ(statusOf(page), "HTTP/1.1 200 OK");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms) << "the page waited for the slow clients";
  EXPECT_NE(page.find("<canvas id=\"map\">"), std::string::npos);
  EXPECT_EQ(statusOf(slow[0]->answer()), "HTTP/1.1 408 Request Timeout");

  struct Row {
    std::string line, headers, status, because;
  };
  const std::string token = "X-Token: 0123456789abcdef0123456789abcdef\r\n";
  const std::string rebound = "Host: rebound.example:" + std::to_string(port) + "\r\n";
  const std::vector<Row> rows = {
      {"GET /api/state", host, "200 OK", "the state, to the page's host"},
      {"GET /api/state", rebound, "403 Forbidden", "a read from a name rebound to loopback"},
      {"GET /api/map", "", "403 Forbidden", "no host at all"},
      {"GET /", host + std::string(20000, 'x') + "\r\n", "431 Request Header Fields Too Large", "headers beyond the limit"},
      {"POST /api/mode?robot=all&value=1", host + token, "200 OK", "a command needs no body"},
      {"POST /api/mode", host + token, "400 Bad Request", "a command without values"},
      {"POST /api/mode?robot=all&value=1", host + token + "Content-Length: 5\r\n\r\nvalue", "413 Payload Too Large",
       "a command with a body"},
      {"GET /api/mode?robot=all&value=1", host + token, "404 Not Found", "a GET never commands"},
  };
  for (const Row& row : rows) {
    const RawClient client(port);
    ASSERT_TRUE(client.send(row.line + " HTTP/1.1\r\nConnection: close\r\n" + row.headers + "\r\n")) << row.because;
    const std::string answer = client.answer();
    EXPECT_EQ(statusOf(answer), "HTTP/1.1 " + row.status) << row.because << "\n" << answer;
    const size_t body = answer.find("\r\n\r\n");
    EXPECT_TRUE(body != std::string::npos && body + 4 < answer.size()) << "every answer says what happened: " << row.because;
  }
  EXPECT_EQ(sent, std::vector<std::string>{"M all"});

  // Floods of headers or of a body are never buffered: the server stops reading and
  // closes long before all of it went out.
  constexpr size_t FLOOD = size_t{64} << 20;
  const std::string pad = std::string(4000, 'a') + "\r\n";
  const RawClient headers(port), body(port);
  ASSERT_TRUE(headers.send("GET / HTTP/1.1\r\n" + host));
  EXPECT_LT(headers.flood("X-Pad: " + pad, FLOOD), FLOOD / 8);
  ASSERT_TRUE(body.send("POST /api/mode?robot=all&value=1 HTTP/1.1\r\n" + host + "Content-Length: 300000000\r\n\r\n"));
  EXPECT_LT(body.flood(pad, FLOOD), FLOOD / 8);
  server.stop();
}

}  // namespace
