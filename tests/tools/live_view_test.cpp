// The live map page's core: a page that applies only the changed tiles holds the same
// picture as one that fetched everything, in the page's orientation; commands are refused
// without the token or from another site, and go out as agentctl would send them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "map/occupancy_map.h"
#include "net/messages.h"
#include "tools/lib/live_view.h"

namespace {

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
}

}  // namespace
