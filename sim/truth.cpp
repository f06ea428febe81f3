#include "sim/truth.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "map/map_file.h"
#include "map/occupancy_map.h"

namespace sim {
namespace {

constexpr MapCell kWallCell = 254;
constexpr MapCell kFreeCell = 0;

struct Frame {
  double x, y, cosTh, sinTh;

  // World point to the frame of a robot that starts at this pose.
  void toLocal(double wx, double wy, double& lx, double& ly) const {
    const double dx = wx - x, dy = wy - y;
    lx = cosTh * dx + sinTh * dy;
    ly = -sinTh * dx + cosTh * dy;
  }
};

Frame frameOf(const StartPose& pose) {
  const double rad = pose.thDeg * std::numbers::pi / 180.0;
  return {pose.x, pose.y, std::cos(rad), std::sin(rad)};
}

// Cells inside the local bounding box of every wall end, mm.
struct Box {
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
};

Box localBounds(const World& world, const Frame& frame) {
  Box box;
  bool first = true;
  for (const Segment& s : world.walls) {
    for (int end = 0; end < 2; ++end) {
      double lx, ly;
      frame.toLocal(end == 0 ? s.x1 : s.x2, end == 0 ? s.y1 : s.y2, lx, ly);
      box.minX = first ? lx : std::min(box.minX, lx);
      box.maxX = first ? lx : std::max(box.maxX, lx);
      box.minY = first ? ly : std::min(box.minY, ly);
      box.maxY = first ? ly : std::max(box.maxY, ly);
      first = false;
    }
  }
  return box;
}

// Maps cannot reach past MAP_COORD_BOUND_MM, so a larger world is cut off there.
double bounded(double mm) { return std::clamp(mm, -MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM); }

void fillFree(OccupancyMap& map, Box box) {
  box = {bounded(box.minX), bounded(box.maxX), bounded(box.minY), bounded(box.maxY)};
  const int32_t x0 = map.toCell(box.minX), x1 = map.toCell(box.maxX);
  const int32_t y0 = map.toCell(box.minY), y1 = map.toCell(box.maxY);
  map.growToCover(x0, y0);
  map.growToCover(x1, y1);
  for (int32_t x = x0; x <= x1; ++x) {
    for (int32_t y = y0; y <= y1; ++y) map.cellAt(x, y) = kFreeCell;
  }
}

// Marks every cell a wall passes through, sampling it at a quarter cell.
void drawWall(OccupancyMap& map, const Frame& frame, const Segment& s) {
  double ax, ay, bx, by;
  frame.toLocal(s.x1, s.y1, ax, ay);
  frame.toLocal(s.x2, s.y2, bx, by);
  const double length = std::hypot(bx - ax, by - ay);
  const int samples = static_cast<int>(length / (map.res / 4)) + 1;
  for (int i = 0; i <= samples; ++i) {
    const double t = static_cast<double>(i) / samples;
    const double px = ax + t * (bx - ax), py = ay + t * (by - ay);
    if (!pointInBounds(px, py)) continue;
    const int32_t cx = map.toCell(px), cy = map.toCell(py);
    map.growToCover(cx, cy);
    map.cellAt(cx, cy) = kWallCell;
  }
}

bool writeTruthMap(const World& world, const StartPose& pose, const std::string& file, std::string& error) {
  OccupancyMap map(kTruthResMm, kTruthRobotRadiusMm, kTruthCorridorMm);
  ArLockGuard lock(map.mutex);
  drawTruthMap(world, pose, map);
  if (writeMapFile(map, file.c_str())) return true;
  error = file + ": cannot write the truth map";
  return false;
}

}  // namespace

void drawTruthMap(const World& world, const StartPose& pose, OccupancyMap& map) {
  const Frame frame = frameOf(pose);
  if (!world.walls.empty()) fillFree(map, localBounds(world, frame));
  for (const Segment& s : world.walls) drawWall(map, frame, s);
}

std::string truthFileName(const std::string& file, size_t index) {
  const size_t slash = file.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = file.find_last_of('.');
  // A leading dot names a hidden file, not an extension.
  const bool hasExtension = dot != std::string::npos && dot > nameStart;
  // Built by appending only: GCC 12 gives a false -Wrestrict on "." + std::string.
  std::string name = hasExtension ? file.substr(0, dot) : file;
  name += '.';
  name += std::to_string(index);
  if (hasExtension) name += file.substr(dot);
  return name;
}

bool writeTruthMaps(const World& world, bool ghosts, TruthFrame frame, const std::string& file, std::string& error) {
  if (frame == TruthFrame::World) return writeTruthMap(world, StartPose{0, 0, 0}, file, error);
  const std::vector<StartPose> starts = startPoses(world);
  if (ghosts || starts.size() == 1) return writeTruthMap(world, starts[0], file, error);
  for (size_t i = 0; i < starts.size(); ++i) {
    if (!writeTruthMap(world, starts[i], truthFileName(file, i), error)) return false;
  }
  return true;
}

}  // namespace sim
