#pragma once
// A map as a PNG picture for people: +x to the right and +y up (as RViz and map_server
// show maps), free, obstacle and unknown cells, this robot's and other robots' tracks
// (or each robot's track in its own colour), the origin, a scale bar and a legend of
// what is shown.
#include <string>
#include <utility>
#include <vector>

#include "map/occupancy_map.h"

// One robot's way through the map: its poses (x, y in mm, in the map's frame) in order.
struct RobotTrack {
  std::string name;
  std::vector<std::pair<double, double>> points;
};

struct PictureOptions {
  std::string title;      // the first line above the map, for example the file's name
  int scale = 0;          // pixels per cell; 0 chooses one for the map's size
  bool wholeMap = false;  // every addressable cell instead of the observed ones and a border
  // Drawn as lines, each robot in the colour the live map page gives it (the page's
  // palette in name order); the footprints are then one shade, as on the page.
  std::vector<RobotTrack> tracks;
};

// Largest pixels per cell that --scale accepts.
constexpr int PICTURE_MAX_SCALE = 32;

// Draws the map into pngPath. The map should be read with its own footprints kept
// (readMapFileAsSaved) for this robot's track to show. False with a one-line reason.
bool writeMapPicture(const OccupancyMap& map, const std::string& pngPath, const PictureOptions& options,
                     std::string& error);

// The legend's entries for this map and these options: only what the picture shows.
std::vector<std::string> pictureLegend(const OccupancyMap& map, const PictureOptions& options);

// Frees what the drawing and font libraries keep between pictures (their font caches). Call it once
// no picture is being drawn any more, before the program ends, so that memory checkers
// see nothing left behind.
void releasePictureCaches();
