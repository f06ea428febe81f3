#pragma once
// Maps as plain PPM ("P3") files with the map parameters in comment lines.
#include "map/occupancy_map.h"

// Writes the map to fileName through a temporary file in the same directory that
// replaces the target only after a complete, flushed, closed write, so a failed save
// never destroys the previous file. True on success. The caller holds map.mutex.
bool writeMapFile(const OccupancyMap& map, const char* fileName);

// Reads a map file into map. On any failure (unreadable, malformed, truncated, or a
// header that would make an unusable or unbounded map) returns false and leaves the
// map exactly as it was. The caller holds map.mutex.
bool readMapFile(OccupancyMap& map, const char* fileName);
