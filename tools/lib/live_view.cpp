#include "tools/lib/live_view.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/modes.h"
#include "base/way_status.h"
#include "tools/lib/map_raster.h"

namespace {

void appendU32(std::string& out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                         static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  out.append(bytes, 4);
}

void appendI32(std::string& out, int32_t v) { appendU32(out, static_cast<uint32_t>(v)); }

// What an agent does after an M with this value: 98 saves and then drives by hand, a
// value it does not know makes it wander.
unsigned modeAfter(unsigned value) {
  if (value == MODE_SAVE_MAPS) return MODE_STOP_AND_MANUAL;
  return modeName(value).empty() ? MODE_ERRATIC : value;
}

// Keeps the most peers heard last (by name among those heard in the same second), in
// name order.
void keepHeardLast(std::vector<TeamMap::Peer>& peers, size_t most) {
  if (peers.size() <= most) return;
  const auto heardLater = [](const TeamMap::Peer& a, const TeamMap::Peer& b) {
    return a.lastSeen != b.lastSeen ? a.lastSeen > b.lastSeen : a.name < b.name;
  };
  std::nth_element(peers.begin(), peers.begin() + static_cast<std::ptrdiff_t>(most), peers.end(), heardLater);
  peers.resize(most);
  std::sort(peers.begin(), peers.end(), [](const TeamMap::Peer& a, const TeamMap::Peer& b) { return a.name < b.name; });
}

}  // namespace

uint8_t shadeOf(MapCell cell) {
  switch (classify(cell)) {
    case CellClass::Obstacle: return MapTiles::OBSTACLE;
    case CellClass::Free:
    case CellClass::Unknown:
      if ((cell & (CELL_FOOTPRINT | CELL_OWN_FOOTPRINT)) != 0) return MapTiles::FOOTPRINT;
      return classify(cell) == CellClass::Free ? MapTiles::FREE : MapTiles::UNKNOWN;
  }
  return MapTiles::UNKNOWN;
}

void MapTiles::layOut(int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t res) {
  myX0 = x0;
  myY1 = y1;
  myWidth = x1 - x0 + 1;
  myHeight = y1 - y0 + 1;
  myResMm = res;
  myColumns = (myWidth + TILE - 1) / TILE;
  myRows = (myHeight + TILE - 1) / TILE;
  myShades.assign(static_cast<size_t>(myWidth) * static_cast<size_t>(myHeight), UNKNOWN);
  myLayoutVersion = ++myVersion;
  myTileVersions.assign(static_cast<size_t>(myColumns) * static_cast<size_t>(myRows), myLayoutVersion);
}

bool MapTiles::refresh(const OccupancyMap& map) {
  const RasterView view = RasterView::whole(map);
  const int32_t res = static_cast<int32_t>(map.res);
  const bool newLayout =
      view.x0 != myX0 || view.y1 != myY1 || view.width() != myWidth || view.height() != myHeight || res != myResMm;
  if (newLayout) layOut(view.x0, view.x1, view.y0, view.y1, res);
  const uint32_t next = myVersion + 1;
  bool cellChanged = false;
  for (int32_t row = 0; row < myHeight; ++row) {
    uint8_t* line = myShades.data() + static_cast<size_t>(row) * static_cast<size_t>(myWidth);
    const int32_t y = view.cellY(row);
    uint32_t* tileVersions = myTileVersions.data() + static_cast<size_t>(row / TILE) * static_cast<size_t>(myColumns);
    for (int32_t column = 0; column < myWidth; ++column) {
      const uint8_t shade = shadeOf(map.cellValue(view.cellX(column), y));
      if (shade == line[column]) continue;
      line[column] = shade;
      tileVersions[column / TILE] = next;
      cellChanged = true;
    }
  }
  if (cellChanged) myVersion = next;
  return newLayout || cellChanged;
}

void MapTiles::appendTile(std::string& out, int32_t column, int32_t row) const {
  appendU32(out, static_cast<uint32_t>(column));
  appendU32(out, static_cast<uint32_t>(row));
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(TILE) * TILE, static_cast<char>(UNKNOWN));
  const int32_t x = column * TILE, y = row * TILE;
  const int32_t width = std::min(TILE, myWidth - x), height = std::min(TILE, myHeight - y);
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* from = myShades.data() + static_cast<size_t>(y + r) * static_cast<size_t>(myWidth) + x;
    std::memcpy(out.data() + start + static_cast<size_t>(r) * TILE, from, static_cast<size_t>(width));
  }
}

std::string MapTiles::encode(uint32_t since) const {
  if (since < myLayoutVersion || since > myVersion) since = 0;
  std::string out = "MCV1";
  appendU32(out, myVersion);
  appendU32(out, myLayoutVersion);
  appendI32(out, myX0);
  appendI32(out, myY1);
  appendU32(out, static_cast<uint32_t>(myWidth));
  appendU32(out, static_cast<uint32_t>(myHeight));
  appendU32(out, TILE);
  appendU32(out, static_cast<uint32_t>(myResMm));
  const size_t countAt = out.size();
  appendU32(out, 0);
  uint32_t count = 0;
  for (int32_t row = 0; row < myRows; ++row) {
    for (int32_t column = 0; column < myColumns; ++column) {
      if (myTileVersions[static_cast<size_t>(row) * static_cast<size_t>(myColumns) + static_cast<size_t>(column)] <= since) continue;
      appendTile(out, column, row);
      ++count;
    }
  }
  for (int i = 0; i < 4; ++i) out[countAt + static_cast<size_t>(i)] = static_cast<char>((count >> (8 * i)) & 0xFF);
  return out;
}

void CommandsSeen::record(const Message& m, uint32_t now) {
  if (m.type != 'M' && m.type != 'G' && m.type != 'T') return;
  if (m.type == 'T' && m.name == ALL_AGENTS) return;  // "all" is never a sender
  Entry* entry = &myAll;
  if (m.name != ALL_AGENTS) {
    auto found = myByName.find(m.name);
    if (found == myByName.end()) {
      if (myByName.size() >= MOST_NAMES) return;
      found = myByName.emplace(std::string(m.name), Entry{}).first;
    }
    entry = &found->second;
  }
  ++myCount;
  if (m.type == 'T') {
    entry->hasWay = true;
    entry->way = m.values[0];
    std::copy_n(m.reals.begin(), 2, entry->wayPlace);
    entry->waySeen = now;
  } else if (m.type == 'M') {
    entry->mode = m.values[0];
    entry->modeAt = myCount;
  } else {
    std::copy_n(m.reals.begin(), 3, entry->goal);
    entry->goalAt = myCount;
  }
}

CommandsSeen::Latest CommandsSeen::latestFor(std::string_view name) const {
  Entry own;
  if (auto found = myByName.find(name); found != myByName.end()) own = found->second;
  const Entry& mode = own.modeAt >= myAll.modeAt ? own : myAll;
  const Entry& goal = own.goalAt >= myAll.goalAt ? own : myAll;
  Latest latest;
  latest.hasMode = mode.modeAt != 0;
  latest.mode = modeAfter(mode.mode);
  latest.hasGoal = goal.goalAt != 0;
  std::copy_n(goal.goal, 3, latest.goal);
  latest.hasWay = own.hasWay;
  latest.way = own.way;
  std::copy_n(own.wayPlace, 2, latest.wayPlace);
  latest.waySeen = own.waySeen;
  return latest;
}

void CorrectionsSeen::record(const Message& m) {
  if (m.type != 'C') return;
  auto found = myByName.find(m.name);
  if (found == myByName.end()) {
    if (myByName.size() >= MOST_NAMES) return;
    found = myByName.emplace(std::string(m.name), std::array<double, 3>{}).first;
  }
  std::copy_n(m.reals.begin(), 3, found->second.begin());
}

bool CorrectionsSeen::latestFor(std::string_view name, double (&correction)[3]) const {
  const auto found = myByName.find(name);
  if (found == myByName.end()) return false;
  std::copy(found->second.begin(), found->second.end(), correction);
  return true;
}

void LiveView::handleBatch(ReceiveBatch& batch, size_t count, uint32_t now) {
  readBatchInRuns(batch, count, [&](std::span<const Message> run) { handleMessages(run, now); });
}

void LiveView::handleMessages(std::span<const Message> messages, uint32_t now) {
  if (messages.empty()) return;
  myTeam.handleMessages(messages, now);
  {
    std::lock_guard hold(myMutex);
    for (const Message& m : messages) {
      myCommands.record(m, now);
      myCorrections.record(m);
    }
    ++myChanges;
  }
  myChanged.notify_all();
}

uint64_t LiveView::waitForChange(uint64_t since, int timeoutMs) {
  std::unique_lock hold(myMutex);
  myChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return myChanges != since; });
  return myChanges;
}

std::string LiveView::mapUpdate(uint32_t since) {
  std::lock_guard hold(myMutex);
  if (myChangesAtRefresh != myChanges) {
    myTeam.readMap([&](const OccupancyMap& map) { myTiles.refresh(map); });
    myChangesAtRefresh = myChanges;
  }
  return myTiles.encode(since);
}

std::string LiveView::stateJson(uint32_t now) const {
  std::vector<TeamMap::Peer> peers = myTeam.peers();
  const size_t total = peers.size();
  keepHeardLast(peers, MOST_LISTED);
  const long known = myTeam.knownCells();
  std::lock_guard hold(myMutex);
  char number[160];
  std::snprintf(number, sizeof number, "{\"changes\":%llu,\"knownCells\":%ld,\"robotCount\":%zu,\"robots\":[",
                static_cast<unsigned long long>(myChanges), known, total);
  std::string out = number;
  for (size_t i = 0; i < peers.size(); ++i) {
    const TeamMap::Peer& p = peers[i];
    const CommandsSeen::Latest latest = myCommands.latestFor(p.name);
    if (i > 0) out += ',';
    out += "{\"name\":" + jsonString(p.name);
    std::snprintf(number, sizeof number, ",\"x\":%.1f,\"y\":%.1f,\"th\":%.1f,\"age\":%ld,\"p\":%ld,\"e\":%ld,\"o\":%ld",
                  p.pose.getX(), p.pose.getY(), p.pose.getTh(), static_cast<long>(now) - static_cast<long>(p.lastSeen),
                  p.p, p.e, p.o);
    out += number;
    out += ",\"trail\":[";
    for (size_t t = 0; t < p.trail.size(); ++t) {
      std::snprintf(number, sizeof number, "%s[%.1f,%.1f]", t > 0 ? "," : "", p.trail[t].getX(), p.trail[t].getY());
      out += number;
    }
    out += "],\"mode\":";
    out += latest.hasMode ? std::to_string(latest.mode) : "null";
    out += ",\"modeName\":" + jsonString(latest.hasMode ? modeName(latest.mode) : "unknown");
    if (latest.hasGoal) {
      std::snprintf(number, sizeof number, ",\"goal\":[%.1f,%.1f,%.1f]", latest.goal[0], latest.goal[1], latest.goal[2]);
      out += number;
    } else {
      out += ",\"goal\":null";
    }
    if (latest.hasWay) {
      out += ",\"way\":{\"text\":" + jsonString(wayStatusText(static_cast<uint16_t>(latest.way)));
      std::snprintf(number, sizeof number, ",\"x\":%.1f,\"y\":%.1f,\"age\":%ld}", latest.wayPlace[0],
                    latest.wayPlace[1], static_cast<long>(now) - static_cast<long>(latest.waySeen));
      out += number;
    } else {
      out += ",\"way\":null";
    }
    double c[3];
    if (myCorrections.latestFor(p.name, c)) {
      std::snprintf(number, sizeof number, ",\"correction\":[%.1f,%.1f,%.2f]}", c[0], c[1], c[2]);
      out += number;
    } else {
      out += ",\"correction\":null}";
    }
  }
  out += "]}";
  return out;
}

std::string makeToken() {
  std::array<unsigned char, 16> bytes{};
  if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return "";
  std::string token;
  for (unsigned char b : bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

bool tokenMatches(std::string_view presented, std::string_view expected) {
  if (expected.empty() || presented.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    difference |= static_cast<unsigned char>(presented[i] ^ expected[i]);
  }
  return difference == 0;
}

std::string CommandGuard::refusal(std::string_view presentedToken, std::string_view host, std::string_view origin) const {
  if (!tokenMatches(presentedToken, token)) return "missing or wrong token";
  if (!serves(host)) return "the request is not addressed to this page's host";
  if (!origin.empty() && origin != "http://" + std::string(host)) return "the request comes from another site";
  return "";
}

bool CommandGuard::serves(std::string_view host) const { return std::find(hosts.begin(), hosts.end(), host) != hosts.end(); }

std::vector<std::string> servedHosts(const std::string& bind, int port) {
  std::vector<std::string> names = {bind};
  if (bind == "127.0.0.1") names.push_back("localhost");
  std::vector<std::string> hosts;
  for (const std::string& name : names) {
    hosts.push_back(name + ":" + std::to_string(port));
    if (port == 80) hosts.push_back(name);
  }
  return hosts;
}

bool readPageCommand(std::string_view kind, const std::map<std::string, std::string, std::less<>>& params,
                     std::vector<ToolCommand>& commands, std::string& error) {
  auto param = [&](const char* key) {
    auto found = params.find(key);
    return found == params.end() ? std::string() : found->second;
  };
  std::vector<std::string> args;
  if (kind == "mode") args = {"mode", param("robot"), param("value")};
  else if (kind == "goal") args = {"goal", param("robot"), param("x"), param("y")};
  else {
    error = "unknown command";
    return false;
  }
  if (std::any_of(args.begin() + 1, args.end(), [](const std::string& a) { return a.empty(); })) {
    error = kind == "mode" ? "the query needs robot=NAME&value=N" : "the query needs robot=NAME&x=X&y=Y";
    return false;
  }
  ToolCommand command;
  if (!parseToolCommand(args, command, error)) return false;
  if (command.action != ToolAction::Send) {
    error = "not a command to agents";
    return false;
  }
  commands = {command};
  if (kind == "goal") {
    ToolCommand path = command;
    path.type = 'M';
    path.reals = {};
    path.values = {MODE_PATH, 0};
    commands.push_back(path);
  }
  return true;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}
