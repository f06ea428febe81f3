#pragma once
// Maps as plain PPM ("P3") files with the map parameters in comment lines.
#include <cstddef>
#include <string>

#include "map/occupancy_map.h"

// Finest cell size a map file may carry. With the coordinate bound it keeps every map
// that growth can reach within 2 x 20000 cells per axis.
constexpr double MAP_FILE_MIN_RES_MM = 10.0;
// Largest robot radius or corridor reach (cells) a map file may carry.
constexpr int32_t MAP_FILE_MAX_ROBOT_CELLS = 500;
// Map files larger than this are refused without being read.
constexpr size_t MAP_FILE_MAX_BYTES = size_t{1} << 30;

// Writes the map to fileName through a temporary file in the same directory that
// replaces the target only after a complete, flushed, closed write, so a failed save
// never destroys the previous file. True on success; on failure errno says why. The
// temporary file is named after the target and the writing process ("NAME.tmp.PID"), so
// one left by a process that no longer exists can be told from one being written. The
// caller holds map.mutex.
bool writeMapFile(const OccupancyMap& map, const char* fileName);

// Reads a map file into map. On any failure (unreadable, malformed, truncated, or a
// header that would make an unusable or unbounded map) returns false and leaves the
// map exactly as it was. The caller holds map.mutex.
bool readMapFile(OccupancyMap& map, const char* fileName);

// As readMapFile, from the bytes of a map file already in memory.
bool readMapBuffer(OccupancyMap& map, const char* data, size_t size);

// Why a map file was refused: the first problem the reader met and the line of the file
// it is on (1 for the first line, 0 when it concerns the file as a whole).
struct MapFileProblem {
  size_t line = 0;
  std::string what;

  // "line 12: what", or what alone for the whole file.
  std::string text() const { return line == 0 ? what : "line " + std::to_string(line) + ": " + what; }
};

// As readMapFile and readMapBuffer, and on failure says why in problem. They accept and
// refuse exactly the same files.
bool readMapFile(OccupancyMap& map, const char* fileName, MapFileProblem& problem);
bool readMapBuffer(OccupancyMap& map, const char* data, size_t size, MapFileProblem& problem);

// As readMapFile, but this agent's footprints stay this agent's (blue bit 5 is kept), for
// tools that show a saved map as it was; the agent itself loads them as some robot's.
bool readMapFileAsSaved(OccupancyMap& map, const char* fileName, MapFileProblem& problem);
