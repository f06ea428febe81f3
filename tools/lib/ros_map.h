#pragma once
// Maps in the file format of the ROS map_server (ROS 1 and Nav2): an image of the grid
// and a YAML file that names it and gives its resolution, origin and thresholds.
//
// Export writes a binary PGM, +x to the right and +y up, in trinary mode: free 254,
// obstacle 0, unknown 205 (see map_raster.h for which cells are which), and a YAML file
// with image, mode: trinary, resolution (metres per cell), origin (the lower-left pixel's
// lower-left corner in metres, yaw 0), negate: 0, occupied_thresh and free_thresh.
//
// A map_server reads a pixel of value v (negate 0) as the occupancy p = (255 - v) / 255
// and, in trinary mode, as occupied when p > occupied_thresh, free when p < free_thresh
// and unknown otherwise. Our pixels give p = 0.004 (free), 1.0 (obstacle) and 0.196
// (unknown), so the thresholds written are 0.65 and 0.1: 0.25, the default of Nav2's map
// saver, would read unknown 205 as free.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "map/occupancy_map.h"
#include "tools/lib/map_raster.h"

constexpr uint8_t PGM_FREE = 254;
constexpr uint8_t PGM_OBSTACLE = 0;
constexpr uint8_t PGM_UNKNOWN = 205;
constexpr double EXPORT_OCCUPIED_THRESH = 0.65;
constexpr double EXPORT_FREE_THRESH = 0.1;

// Writes the whole map (every addressable cell) as pgmPath and yamlPath. The YAML names
// the image by its file name when both are in one folder, else by its absolute path.
// False with a one-line reason.
bool exportRosMap(const OccupancyMap& map, const std::string& pgmPath, const std::string& yamlPath, std::string& error);

// A map_server map as read: the cells of its image by class.
struct RosMap {
  double resMm = 0;                 // cell edge
  double originXMm = 0, originYMm = 0;  // lower-left corner of the lower-left pixel
  int32_t width = 0, height = 0;    // pixels
  std::vector<CellClass> cells;     // row-major, row 0 at the top (largest y)
};

// Reads a map_server YAML file and the image it names (binary or plain PGM, or PNG,
// relative to the YAML file's folder unless absolute), classifying each pixel with the
// file's negate and thresholds. Only trinary maps with yaw 0 can be held by the agent's
// maps; anything else is refused with a one-line reason.
bool readRosMap(const std::string& yamlPath, RosMap& out, std::string& error);

// What an import made of a map_server map.
struct ImportSummary {
  long free = 0, obstacles = 0, unknown = 0;
  int32_t firstCellX = 0, firstCellY = 0;  // cell of the lower-left pixel
  double shiftXMm = 0, shiftYMm = 0;       // how far the origin moved onto the agent's cells
};

// Occupancy of an imported obstacle: what repeated hits give the agent's own obstacle
// cells, so the agent treats it as one of its own (one free observation takes it below
// the obstacle threshold).
constexpr MapCell IMPORTED_OBSTACLE = 254;

// The agent map of a map_server map: the image's resolution, the agent's robot radius
// and corridor reach, free cells 0 and obstacles IMPORTED_OBSTACLE (both observed, no
// footprint), unknown cells unknown. Each pixel becomes the cell whose square (as
// map_raster.h draws it) is nearest; a map whose cells would lie beyond the coordinate
// bound is refused.
std::unique_ptr<OccupancyMap> toAgentMap(const RosMap& ros, ImportSummary& summary, std::string& error);
