#pragma once
// What the live map page shows, free of HTTP: the team map as tiles of cell classes that
// a page fetches once and then only as they change, the robots with the last mode and
// goal the group commanded them, and the rules that guard the page's commands (a random
// token, the address the page was served from).
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "map/occupancy_map.h"
#include "net/group_socket.h"
#include "net/messages.h"
#include "tools/lib/agent_commands.h"
#include "tools/lib/team_map.h"

// The team map as a raster of cell classes (+x right, +y up), cut into square tiles. A
// refresh compares the map with the raster and gives every tile that changed the new
// version; a page that holds version V asks for the tiles changed since V. When the map
// grows, the raster is laid out anew and every tile counts as changed.
class MapTiles {
 public:
  static constexpr int32_t TILE = 64;  // cells per tile edge
  // What one raster byte means.
  enum Shade : uint8_t { UNKNOWN = 0, FREE = 1, OBSTACLE = 2, FOOTPRINT = 3 };

  // Brings the raster up to the map (held locked by the caller). True when any cell changed.
  bool refresh(const OccupancyMap& map);
  uint32_t version() const { return myVersion; }
  // The tiles changed after version since (all of them when since is older than the
  // current layout), as the page reads them, little-endian:
  //   "MCV1", u32 version, u32 layout version, i32 first x, i32 last y (row 0), u32 width,
  //   u32 height, u32 tile edge, u32 cell size (mm), u32 tile count, then per tile u32
  //   column, u32 row (in tiles) and TILE x TILE bytes, rows from the top, 0 past the raster.
  std::string encode(uint32_t since) const;

 private:
  void layOut(int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t res);
  void appendTile(std::string& out, int32_t column, int32_t row) const;

  int32_t myX0 = 0, myY1 = 0, myWidth = 0, myHeight = 0, myResMm = 0;
  int32_t myColumns = 0, myRows = 0;  // in tiles
  uint32_t myVersion = 0, myLayoutVersion = 0;
  std::vector<uint8_t> myShades;         // myWidth x myHeight, row 0 the largest y
  std::vector<uint32_t> myTileVersions;  // myColumns x myRows
};

// The shade of one cell: footprints show where robots went unless the cell is an obstacle.
uint8_t shadeOf(MapCell cell);

// The commands the group has seen for each agent: agents do not tell their mode or goal,
// so the page shows the last M and G addressed to the agent or to "all". Beside them
// the last way status an agent told itself (T: where it explores, what it gave up).
class CommandsSeen {
 public:
  struct Latest {
    bool hasMode = false, hasGoal = false, hasWay = false;
    unsigned mode = 0;
    double goal[3] = {0, 0, 0};
    unsigned way = 0;  // base/way_status.h
    double wayPlace[2] = {0, 0};
    uint32_t waySeen = 0;  // calendar seconds
  };
  // now: calendar seconds, kept with a way status.
  void record(const Message& m, uint32_t now = 0);
  Latest latestFor(std::string_view name) const;

 private:
  struct Entry {
    uint64_t modeAt = 0, goalAt = 0;  // when the value was recorded, 0 never
    unsigned mode = 0;
    double goal[3] = {0, 0, 0};
    bool hasWay = false;
    unsigned way = 0;
    double wayPlace[2] = {0, 0};
    uint32_t waySeen = 0;
  };
  // Bounded as the peer table is: a flood of addressees cannot grow it without end.
  static constexpr size_t MOST_NAMES = 4096;
  Entry myAll;
  std::map<std::string, Entry, std::less<>> myByName;
  uint64_t myCount = 0;
};

// The last C message of each agent that corrects its pose: how far the correction has
// moved its pose from its odometry's. Bounded as the peer table is.
class CorrectionsSeen {
 public:
  void record(const Message& m);
  // False when the agent sent none.
  bool latestFor(std::string_view name, double (&correction)[3]) const;

 private:
  static constexpr size_t MOST_NAMES = 4096;
  std::map<std::string, std::array<double, 3>, std::less<>> myByName;
};

// The shared state of the page server: the team map, the commands seen, the tiles, and a
// change counter that readers can wait on. The receive loop calls handleBatch; the
// server's threads read.
class LiveView {
 public:
  explicit LiveView(MapModel mapping = MapModel::Ray) : myTeam(mapping) {}
  void handleBatch(ReceiveBatch& batch, size_t count, uint32_t now);
  void handleMessages(std::span<const Message> messages, uint32_t now);
  // Waits up to timeoutMs for a change after `since`; returns the current change count.
  uint64_t waitForChange(uint64_t since, int timeoutMs);
  // The robots and their last pose, trail, mode, goal and pose correction as JSON (see
  // the page): the MOST_LISTED heard last, in name order, and how many there are in all.
  // A name may take a whole datagram, so thousands of robots would make every poll
  // megabytes.
  static constexpr size_t MOST_LISTED = 100;
  std::string stateJson(uint32_t now) const;
  // The map tiles changed since the given tile version (MapTiles::encode).
  std::string mapUpdate(uint32_t since);

  const TeamMap& team() const { return myTeam; }

 private:
  TeamMap myTeam;
  mutable std::mutex myMutex;  // guards the members below
  std::condition_variable myChanged;
  uint64_t myChanges = 0;
  uint64_t myChangesAtRefresh = UINT64_MAX;
  CommandsSeen myCommands;
  CorrectionsSeen myCorrections;
  MapTiles myTiles;
};

// A new token of 128 random bits from the kernel, as 32 hexadecimal digits; empty when
// the kernel gave none.
std::string makeToken();
// Compares a presented token with the expected one in time that does not depend on
// where they differ.
bool tokenMatches(std::string_view presented, std::string_view expected);

// Who may send commands through the page: the token, and the host and port the page is
// served at, so that a page of another site (also one whose name was rebound to this
// address) cannot.
struct CommandGuard {
  std::string token;
  std::vector<std::string> hosts;  // "127.0.0.1:8080", "localhost:8080"

  // Empty when the request may command, else why not. origin is empty when absent.
  std::string refusal(std::string_view presentedToken, std::string_view host, std::string_view origin) const;
  // Whether a request with this Host header is addressed to the page.
  bool serves(std::string_view host) const;
};

// The hosts a page served at bind:port is reached by (without the port too for port 80,
// where browsers leave it out).
std::vector<std::string> servedHosts(const std::string& bind, int port);

// The messages of a page command, read as agentctl reads its command line (so a page
// cannot send what agentctl would refuse): kind "mode" with robot and value gives that
// M; kind "goal" with robot, x and y gives the G and then M 3 (path planning to it).
// False with the reason in error.
bool readPageCommand(std::string_view kind, const std::map<std::string, std::string, std::less<>>& params,
                     std::vector<ToolCommand>& commands, std::string& error);

// JSON text of a string: quotes, backslashes and control characters escaped.
std::string jsonString(std::string_view text);
