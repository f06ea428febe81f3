#include "tools/lib/ros_map.h"

#include <cairo.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>

#include <sys/stat.h>

#include "map/map_file.h"

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- files

bool writeWholeFile(const std::string& path, const std::string& bytes, std::string& error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int writeErrno = errno;
  if (std::fclose(f) != 0 || !written) {
    error = path + ": " + std::strerror(written ? errno : writeErrno);
    return false;
  }
  return true;
}

// A regular file of at most maxBytes, read whole: no device (/dev/zero never ends), no
// pipe, nothing larger than what an import can use.
bool readWholeFile(const std::string& path, size_t maxBytes, std::string& bytes, std::string& error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  std::string refusal;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) refusal = "not a regular file";
  else if (static_cast<uint64_t>(st.st_size) > maxBytes) refusal = "larger than " + std::to_string(maxBytes >> 20) + " MiB";
  if (!refusal.empty()) {
    std::fclose(f);
    error = path + ": " + refusal;
    return false;
  }
  bytes.resize(static_cast<size_t>(st.st_size));
  const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
  const bool failed = std::ferror(f) != 0;
  const int readErrno = errno;
  std::fclose(f);
  bytes.resize(n);
  if (failed) error = path + ": " + std::strerror(readErrno);
  return !failed;
}

// The shortest text that reads back as the same double ("0.1", not "0.10000000000000001").
std::string shortest(double v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return ec == std::errc() ? std::string(text, end) : std::string("0");
}

// ---------------------------------------------------------------- export

uint8_t pgmValue(CellClass c) {
  switch (c) {
    case CellClass::Free: return PGM_FREE;
    case CellClass::Obstacle: return PGM_OBSTACLE;
    default: return PGM_UNKNOWN;
  }
}

std::string pgmBytes(const OccupancyMap& map, const RasterView& view) {
  std::string bytes = "P5\n# mcagent map, " + shortest(map.res) + " mm cells\n" + std::to_string(view.width()) + " " +
                      std::to_string(view.height()) + "\n255\n";
  const size_t header = bytes.size();
  bytes.resize(header + static_cast<size_t>(view.width()) * static_cast<size_t>(view.height()));
  char* out = bytes.data() + header;
  for (int32_t row = 0; row < view.height(); ++row) {
    for (int32_t column = 0; column < view.width(); ++column) {
      *out++ = static_cast<char>(pgmValue(classify(map.cellValue(view.cellX(column), view.cellY(row)))));
    }
  }
  return bytes;
}

// The image as the YAML file should name it: its file name beside the YAML file,
// otherwise its absolute path.
std::string imageReference(const std::string& pgmPath, const std::string& yamlPath) {
  const fs::path image = fs::absolute(pgmPath).lexically_normal();
  const fs::path yaml = fs::absolute(yamlPath).lexically_normal();
  return image.parent_path() == yaml.parent_path() ? image.filename().string() : image.string();
}

std::string yamlText(const OccupancyMap& map, const RasterView& view, const std::string& image) {
  YAML::Emitter out;
  out << YAML::BeginMap;
  out << YAML::Key << "image" << YAML::Value << image;
  out << YAML::Key << "mode" << YAML::Value << "trinary";
  out << YAML::Key << "resolution" << YAML::Value << shortest(map.res / 1000.0);
  out << YAML::Key << "origin" << YAML::Value << YAML::Flow << YAML::BeginSeq << shortest(lowerLeftMetres(view.x0, map.res))
      << shortest(lowerLeftMetres(view.y0, map.res)) << "0" << YAML::EndSeq;
  out << YAML::Key << "negate" << YAML::Value << "0";
  out << YAML::Key << "occupied_thresh" << YAML::Value << shortest(EXPORT_OCCUPIED_THRESH);
  out << YAML::Key << "free_thresh" << YAML::Value << shortest(EXPORT_FREE_THRESH);
  out << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

// ---------------------------------------------------------------- import: images

// An image as 8-bit grey shades, row-major from the top row.
struct GreyImage {
  int32_t width = 0, height = 0;
  std::vector<double> shade;
};

constexpr int64_t MAX_IMAGE_PIXELS = int64_t{1} << 28;
// Largest files an import reads: a map description, and an image (a plain PGM of the
// most pixels takes up to four bytes a pixel).
constexpr size_t MAX_YAML_BYTES = size_t{1} << 20;
constexpr size_t MAX_IMAGE_BYTES = size_t{4} * MAX_IMAGE_PIXELS + 4096;

// Says whether an image of width x height pixels can become an agent's map; the reason
// in error when it cannot. Asked before any pixel is stored.
using SizeCheck = std::function<bool(int64_t width, int64_t height, std::string& error)>;

// Reads the header of a PGM: magic, then width, height and maxval separated by blanks
// and comments. Leaves p on the single blank after maxval.
class PgmHeader {
 public:
  explicit PgmHeader(const std::string& bytes) : myBytes(bytes) {}

  bool read(std::string& error) {
    myPos = 2;
    if (!number(width) || !number(height) || !number(maxval)) {
      error = "the PGM header has no width, height and largest value";
      return false;
    }
    if (width < 1 || height < 1 || width * height > MAX_IMAGE_PIXELS || maxval < 1 || maxval > 65535) {
      error = "the PGM header's size or largest value is out of range";
      return false;
    }
    ++myPos;  // the one blank before the samples
    return true;
  }
  size_t samplesStart() const { return myPos; }

  int64_t width = 0, height = 0, maxval = 0;

 private:
  bool number(int64_t& value) {
    for (;;) {
      while (myPos < myBytes.size() && std::isspace(static_cast<unsigned char>(myBytes[myPos]))) ++myPos;
      if (myPos >= myBytes.size() || myBytes[myPos] != '#') break;
      while (myPos < myBytes.size() && myBytes[myPos] != '\n') ++myPos;
    }
    const char* begin = myBytes.data() + myPos;
    const auto [end, ec] = std::from_chars(begin, myBytes.data() + myBytes.size(), value);
    if (ec != std::errc() || end == begin || value > MAX_IMAGE_PIXELS) return false;
    myPos += static_cast<size_t>(end - begin);
    return true;
  }

  const std::string& myBytes;
  size_t myPos = 0;
};

bool readPgm(const std::string& bytes, const SizeCheck& fits, GreyImage& image, std::string& error) {
  PgmHeader h(bytes);
  if (!h.read(error) || !fits(h.width, h.height, error)) return false;
  const size_t pixels = static_cast<size_t>(h.width * h.height);
  size_t at = h.samplesStart();
  const bool binary = bytes[1] == '5';
  const size_t sampleBytes = h.maxval > 255 ? 2 : 1;
  // A plain sample takes a digit and a blank at least (the last one no blank).
  if (bytes.size() < (binary ? at + pixels * sampleBytes : at + 2 * pixels - 1)) {
    error = "the PGM image holds fewer samples than its size";
    return false;
  }
  image.width = static_cast<int32_t>(h.width);
  image.height = static_cast<int32_t>(h.height);
  image.shade.resize(pixels);
  const double scale = 255.0 / static_cast<double>(h.maxval);
  if (binary) {
    for (size_t i = 0; i < pixels; ++i, at += sampleBytes) {
      const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
      const unsigned v = sampleBytes == 2 ? (b[0] << 8 | b[1]) : b[0];
      image.shade[i] = v * scale;
    }
    return true;
  }
  for (size_t i = 0; i < pixels; ++i) {
    while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(bytes.data() + at, bytes.data() + bytes.size(), v);
    if (ec != std::errc() || v > h.maxval) {
      error = "sample " + std::to_string(i + 1) + " of the plain PGM image is missing or out of range";
      return false;
    }
    at = static_cast<size_t>(end - bytes.data());
    image.shade[i] = v * scale;
  }
  return true;
}

// A PNG's size from its header chunk (IHDR, first after the signature), before cairo
// decodes every pixel.
bool pngSize(const std::string& bytes, int64_t& width, int64_t& height) {
  if (bytes.size() < 24 || bytes.compare(12, 4, "IHDR") != 0) return false;
  auto u32 = [&](size_t at) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return int64_t{b[0]} << 24 | int64_t{b[1]} << 16 | int64_t{b[2]} << 8 | int64_t{b[3]};
  };
  width = u32(16);
  height = u32(20);
  return width > 0 && height > 0;
}

// A PNG through cairo: the shade of a pixel is the mean of its colour channels, as the
// map_server takes it. Transparent pixels have no colour left to classify.
bool readPng(const std::string& path, const std::string& bytes, const SizeCheck& fits, GreyImage& image,
             std::string& error) {
  int64_t width = 0, height = 0;
  if (!pngSize(bytes, width, height)) {
    error = "the PNG image has no header with its size";
    return false;
  }
  if (!fits(width, height, error)) return false;
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  const cairo_status_t status = cairo_surface_status(surface);
  const cairo_format_t format = cairo_image_surface_get_format(surface);
  bool ok = status == CAIRO_STATUS_SUCCESS && (format == CAIRO_FORMAT_RGB24 || format == CAIRO_FORMAT_ARGB32);
  if (status != CAIRO_STATUS_SUCCESS) error = std::string("the PNG image cannot be read: ") + cairo_status_to_string(status);
  else if (!ok) error = "the PNG image has no colour channels";
  if (ok) {
    image.width = cairo_image_surface_get_width(surface);
    image.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    image.shade.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    for (int32_t row = 0; row < image.height && ok; ++row) {
      for (int32_t column = 0; column < image.width; ++column) {
        uint32_t px;
        std::memcpy(&px, data + static_cast<ptrdiff_t>(row) * stride + 4 * column, sizeof px);
        if (format == CAIRO_FORMAT_ARGB32 && (px >> 24) != 0xFF) {
          error = "the PNG image has transparent pixels, which trinary maps cannot hold";
          ok = false;
          break;
        }
        const double mean = (((px >> 16) & 0xFF) + ((px >> 8) & 0xFF) + (px & 0xFF)) / 3.0;
        image.shade[static_cast<size_t>(row) * static_cast<size_t>(image.width) + static_cast<size_t>(column)] = mean;
      }
    }
  }
  cairo_surface_destroy(surface);
  return ok;
}

bool readImage(const std::string& path, const SizeCheck& fits, GreyImage& image, std::string& error) {
  std::string bytes;
  if (!readWholeFile(path, MAX_IMAGE_BYTES, bytes, error)) return false;
  bool ok;
  if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '2')) ok = readPgm(bytes, fits, image, error);
  else if (bytes.rfind("\x89PNG", 0) == 0) ok = readPng(path, bytes, fits, image, error);
  else {
    error = "not a PGM or PNG image";
    ok = false;
  }
  if (!ok) error = path + ": " + error;
  return ok;
}

// ---------------------------------------------------------------- import: the YAML file

// The fields of a map_server YAML file that an import uses.
struct RosMapYaml {
  std::string image, mode = "trinary";
  double resolution = 0, occupiedThresh = 0, freeThresh = 0;
  std::vector<double> origin;
  int negate = 0;
};

template <typename T>
bool field(const YAML::Node& doc, const char* key, T& value, std::string& error) {
  const YAML::Node node = doc[key];
  if (!node) {
    error = std::string("no ") + key;
    return false;
  }
  try {
    value = node.as<T>();
    return true;
  } catch (const YAML::Exception&) {
    error = "line " + std::to_string(node.Mark().line + 1) + ": " + key + " cannot be read";
    return false;
  }
}

bool readYamlFields(const YAML::Node& doc, RosMapYaml& y, std::string& error) {
  if (!doc.IsMap()) {
    error = "not a map_server map description (no key: value pairs)";
    return false;
  }
  if (!field(doc, "image", y.image, error) || !field(doc, "resolution", y.resolution, error) ||
      !field(doc, "origin", y.origin, error) || !field(doc, "negate", y.negate, error) ||
      !field(doc, "occupied_thresh", y.occupiedThresh, error) || !field(doc, "free_thresh", y.freeThresh, error)) {
    return false;
  }
  return !doc["mode"] || field(doc, "mode", y.mode, error);
}

bool isFraction(double v) { return std::isfinite(v) && v >= 0 && v <= 1; }

// Refuses what the agent's maps cannot hold or what a map_server would not load.
bool checkYamlFields(const RosMapYaml& y, std::string& error) {
  if (y.mode != "trinary") error = "mode " + y.mode + ": only trinary maps (free, occupied, unknown) can be imported";
  else if (!std::isfinite(y.resolution) || y.resolution * 1000.0 < MAP_FILE_MIN_RES_MM)
    error = "resolution " + shortest(y.resolution) + ": the cells must be at least " + shortest(MAP_FILE_MIN_RES_MM / 1000) + " m";
  else if (y.origin.size() != 3 || !std::isfinite(y.origin[0]) || !std::isfinite(y.origin[1]))
    error = "origin must be [x, y, yaw] in metres";
  else if (!std::isfinite(y.origin[2]) || std::fabs(y.origin[2]) > 1e-9)
    error = "origin yaw " + shortest(y.origin[2]) + ": the agent's maps are not rotated, only yaw 0 can be imported";
  else if (y.negate != 0 && y.negate != 1) error = "negate must be 0 or 1";
  else if (!isFraction(y.occupiedThresh) || !isFraction(y.freeThresh))
    error = "occupied_thresh and free_thresh must lie between 0 and 1";
  else return true;
  return false;
}

// The map_server's trinary reading of a shade.
CellClass trinary(double shade, const RosMapYaml& y) {
  const double p = y.negate ? shade / 255.0 : (255.0 - shade) / 255.0;
  if (p > y.occupiedThresh) return CellClass::Obstacle;
  if (p < y.freeThresh) return CellClass::Free;
  return CellClass::Unknown;
}

fs::path imagePath(const std::string& yamlPath, const std::string& image) {
  const fs::path p(image);
  return p.is_absolute() ? p : fs::path(yamlPath).parent_path() / p;
}

// A resolution in mm as the map file will carry it (%g), so the map in memory and the
// file written from it agree.
double fileResolutionMm(double metres) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", metres * 1000.0);
  return std::strtod(text, nullptr);
}

// Fewest bytes a cell takes in a map file ("0 0 0\n").
constexpr int64_t MIN_CELL_TEXT = 6;

// Whether width x height pixels from the origin (the lower-left pixel's lower-left corner)
// lie within the coordinate bound of the agent's maps and make a map file the agents
// read; the reason in error otherwise.
bool withinAgentBounds(double originXMm, double originYMm, double resMm, int64_t width, int64_t height,
                       std::string& error) {
  // The lower-left pixel's centre in cells; the nearest cell takes it.
  const double fx = originXMm / resMm + 0.5, fy = originYMm / resMm + 0.5;
  const double bound = std::floor(MAP_COORD_BOUND_MM / resMm);
  const bool inBounds = std::fabs(fx) <= bound && std::fabs(fy) <= bound &&
                        std::fabs(fx + static_cast<double>(width) - 1) <= bound &&
                        std::fabs(fy + static_cast<double>(height) - 1) <= bound;
  const std::string size = std::to_string(width) + " x " + std::to_string(height) + " cells of " + shortest(resMm) + " mm";
  if (!inBounds) {
    error = "the map (" + size + ") reaches farther than " + shortest(MAP_COORD_BOUND_MM / 1000) +
            " m from its origin, beyond what the agent's maps can hold";
    return false;
  }
  if (width * height > static_cast<int64_t>(MAP_FILE_MAX_BYTES) / MIN_CELL_TEXT) {
    error = "the map (" + size + ") would make a map file larger than the agents read (1 GiB)";
    return false;
  }
  return true;
}

// Widens a new map's extents just enough for the cells from (x0, y0) to (x1, y1), all
// unknown, so that a map exported and imported again keeps its extents.
bool holdCells(OccupancyMap& map, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  const QuadrantGrid::Extents e{std::max(map.minx, 1 - x0), std::max(map.maxx, x1 + 1), std::max(map.miny, 1 - y0),
                                std::max(map.maxy, y1 + 1)};
  auto store = [](int32_t rows, int32_t cells) {
    return QuadrantGrid::Store(static_cast<size_t>(rows), QuadrantGrid::Row(static_cast<size_t>(cells), CELL_UNKNOWN));
  };
  QuadrantGrid::Stores s{store(e.maxx, e.maxy), store(e.minx, e.maxy), store(e.minx, e.miny), store(e.maxx, e.miny)};
  return map.adopt(e, s);
}

}  // namespace

bool exportRosMap(const OccupancyMap& map, const std::string& pgmPath, const std::string& yamlPath, std::string& error) {
  const RasterView view = RasterView::whole(map);
  return writeWholeFile(pgmPath, pgmBytes(map, view), error) &&
         writeWholeFile(yamlPath, yamlText(map, view, imageReference(pgmPath, yamlPath)), error);
}

bool readRosMap(const std::string& yamlPath, RosMap& out, std::string& error) {
  std::string text;
  if (!readWholeFile(yamlPath, MAX_YAML_BYTES, text, error)) return false;
  RosMapYaml y;
  try {
    if (!readYamlFields(YAML::Load(text), y, error) || !checkYamlFields(y, error)) {
      error = yamlPath + ": " + error;
      return false;
    }
  } catch (const YAML::Exception& e) {
    error = yamlPath + ": line " + std::to_string(e.mark.line + 1) + ": " + e.msg;
    return false;
  }
  out.resMm = fileResolutionMm(y.resolution);
  out.originXMm = y.origin[0] * 1000.0;
  out.originYMm = y.origin[1] * 1000.0;
  const SizeCheck fits = [&](int64_t width, int64_t height, std::string& why) {
    return withinAgentBounds(out.originXMm, out.originYMm, out.resMm, width, height, why);
  };
  GreyImage image;
  if (!readImage(imagePath(yamlPath, y.image).string(), fits, image, error)) return false;
  out.width = image.width;
  out.height = image.height;
  out.cells.resize(image.shade.size());
  for (size_t i = 0; i < image.shade.size(); ++i) out.cells[i] = trinary(image.shade[i], y);
  return true;
}

std::unique_ptr<OccupancyMap> toAgentMap(const RosMap& ros, ImportSummary& summary, std::string& error) {
  if (!withinAgentBounds(ros.originXMm, ros.originYMm, ros.resMm, ros.width, ros.height, error)) return nullptr;
  const double fx = ros.originXMm / ros.resMm + 0.5, fy = ros.originYMm / ros.resMm + 0.5;
  const int32_t x0 = static_cast<int32_t>(std::lround(fx)), y0 = static_cast<int32_t>(std::lround(fy));
  summary = ImportSummary{};
  summary.firstCellX = x0;
  summary.firstCellY = y0;
  // Below a micrometre the shift is the rounding of the origin's decimal text.
  auto shift = [&](double cells) { return std::fabs(cells * ros.resMm) < 1e-3 ? 0.0 : cells * ros.resMm; };
  summary.shiftXMm = shift(x0 - fx);
  summary.shiftYMm = shift(y0 - fy);
  auto map = std::make_unique<OccupancyMap>(ros.resMm, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  if (!holdCells(*map, x0, y0, x0 + ros.width - 1, y0 + ros.height - 1)) {
    error = "the map's cells cannot be held";
    return nullptr;
  }
  for (int32_t row = 0; row < ros.height; ++row) {
    for (int32_t column = 0; column < ros.width; ++column) {
      const CellClass c = ros.cells[static_cast<size_t>(row) * static_cast<size_t>(ros.width) + static_cast<size_t>(column)];
      MapCell& cell = map->cellAt(x0 + column, y0 + ros.height - 1 - row);
      if (c == CellClass::Free) {
        cell = 0;
        ++summary.free;
      } else if (c == CellClass::Obstacle) {
        cell = IMPORTED_OBSTACLE;
        ++summary.obstacles;
      } else {
        ++summary.unknown;
      }
    }
  }
  return map;
}
