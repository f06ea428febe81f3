#include "tools/lib/map_picture.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/lib/map_raster.h"

namespace {

// ---------------------------------------------------------------- what is drawn

enum class Shown { Unknown, Free, Obstacle, OwnTrack, PeerTrack, Footprint };

struct Colour {
  double r, g, b;
};

constexpr Colour hex(uint32_t rgb) {
  return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0};
}

constexpr Colour FREE_COLOUR{1.0, 1.0, 1.0};
constexpr Colour OBSTACLE_COLOUR{0.08, 0.08, 0.08};
constexpr Colour UNKNOWN_COLOUR{205 / 255.0, 205 / 255.0, 205 / 255.0};
constexpr Colour OWN_TRACK_COLOUR{0.13, 0.42, 0.85};
constexpr Colour PEER_TRACK_COLOUR{0.95, 0.55, 0.10};
constexpr Colour FOOTPRINT_COLOUR = hex(0xA0C8E6);  // the live map page's footprint shade
// The live map page's robot colours, given in name order.
constexpr Colour ROBOT_COLOURS[] = {hex(0xd62728), hex(0x1f77b4), hex(0x2ca02c), hex(0xff7f0e),
                                    hex(0x9467bd), hex(0x8c564b), hex(0xe377c2), hex(0x17becf)};
constexpr Colour ORIGIN_COLOUR{0.85, 0.10, 0.10};
constexpr Colour TEXT_COLOUR{0.1, 0.1, 0.1};
constexpr Colour FRAME_COLOUR{0.55, 0.55, 0.55};

// With the robots' tracks drawn as lines, the footprints are one shade whoever left them.
Shown shownAs(MapCell c, bool tracksDrawn) {
  const CellClass cls = classify(c);
  if (cls != CellClass::Free) return cls == CellClass::Obstacle ? Shown::Obstacle : Shown::Unknown;
  if ((c & (CELL_OWN_FOOTPRINT | CELL_FOOTPRINT)) != 0 && tracksDrawn) return Shown::Footprint;
  if (c & CELL_OWN_FOOTPRINT) return Shown::OwnTrack;
  if (c & CELL_FOOTPRINT) return Shown::PeerTrack;
  return Shown::Free;
}

Colour robotColour(size_t nameOrder) { return ROBOT_COLOURS[nameOrder % std::size(ROBOT_COLOURS)]; }

Colour colourOf(Shown s) {
  switch (s) {
    case Shown::Free: return FREE_COLOUR;
    case Shown::Obstacle: return OBSTACLE_COLOUR;
    case Shown::OwnTrack: return OWN_TRACK_COLOUR;
    case Shown::PeerTrack: return PEER_TRACK_COLOUR;
    case Shown::Footprint: return FOOTPRINT_COLOUR;
    default: return UNKNOWN_COLOUR;
  }
}

uint32_t packed(Colour c) {
  auto byte = [](double v) { return static_cast<uint32_t>(std::lround(v * 255)); };
  return byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

// The observed cells and a border of a few cells, or the whole map when nothing is known.
RasterView viewOf(const OccupancyMap& map, bool wholeMap) {
  constexpr int32_t BORDER = 5;
  const RasterView whole = RasterView::whole(map);
  if (wholeMap) return whole;
  RasterView known{whole.x1 + 1, whole.x0 - 1, whole.y1 + 1, whole.y0 - 1};
  for (int32_t x = whole.x0; x <= whole.x1; ++x) {
    for (int32_t y = whole.y0; y <= whole.y1; ++y) {
      if (map.cellValue(x, y) & CELL_UNKNOWN) continue;
      known = {std::min(known.x0, x), std::max(known.x1, x), std::min(known.y0, y), std::max(known.y1, y)};
    }
  }
  if (known.x0 > known.x1) return whole;
  return {std::max(whole.x0, known.x0 - BORDER), std::min(whole.x1, known.x1 + BORDER),
          std::max(whole.y0, known.y0 - BORDER), std::min(whole.y1, known.y1 + BORDER)};
}

// ---------------------------------------------------------------- cairo helpers

struct SurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;

constexpr double FONT_SIZE = 13;
constexpr double TITLE_SIZE = 15;
constexpr double PAD = 14;
constexpr double SWATCH = 12;
constexpr double LEGEND_GAP = 18;
constexpr int MAX_PICTURE_SIDE = 1600;  // pixels of the map itself when the scale is chosen

void useFont(cairo_t* cr, double size, bool bold = false) {
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
}

void setColour(cairo_t* cr, Colour c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

double textWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  return e.x_advance;
}

void text(cairo_t* cr, double x, double baseline, const std::string& s, Colour c = TEXT_COLOUR) {
  setColour(cr, c);
  cairo_move_to(cr, x, baseline);
  cairo_show_text(cr, s.c_str());
}

std::string metres(double m) {
  char t[32];
  std::snprintf(t, sizeof t, m >= 10 ? "%.0f m" : "%.1f m", m);
  return t;
}

// ---------------------------------------------------------------- layout

enum class Swatch { Square, Line, Origin };

struct LegendItem {
  std::string label;
  Colour colour;
  Swatch swatch;
};

bool originShown(const RasterView& view) { return view.x0 <= 0 && view.x1 >= 0 && view.y0 <= 0 && view.y1 >= 0; }

// What the picture shows, in a fixed order: the kinds of cells in the view, each robot's
// track, the origin.
std::vector<LegendItem> legendItems(const OccupancyMap& map, const RasterView& view, const PictureOptions& options) {
  static const std::pair<Shown, const char*> CELLS[] = {
      {Shown::Free, "free"}, {Shown::Obstacle, "obstacle"}, {Shown::Unknown, "unknown"},
      {Shown::OwnTrack, "this robot's track"}, {Shown::PeerTrack, "other robots' tracks"},
      {Shown::Footprint, "footprints (where robots went)"}};
  bool present[std::size(CELLS)] = {};
  const bool tracksDrawn = !options.tracks.empty();
  for (int32_t x = view.x0; x <= view.x1; ++x) {
    for (int32_t y = view.y0; y <= view.y1; ++y) present[static_cast<size_t>(shownAs(map.cellValue(x, y), tracksDrawn))] = true;
  }
  std::vector<LegendItem> items;
  for (const auto& [shown, label] : CELLS) {
    if (present[static_cast<size_t>(shown)]) items.push_back({label, colourOf(shown), Swatch::Square});
  }
  for (size_t i = 0; i < options.tracks.size(); ++i) items.push_back({options.tracks[i].name, robotColour(i), Swatch::Line});
  if (originShown(view)) items.push_back({"origin (0, 0)", ORIGIN_COLOUR, Swatch::Origin});
  return items;
}

// Where each part of the picture goes.
struct Layout {
  int scale;
  double width, height;
  double mapX, mapY, mapW, mapH;
  double scaleBarY, legendY;
  std::vector<double> legendX, legendRowY;
};

// Legend items left to right, wrapping to a new row when the width is used up.
void placeLegend(cairo_t* cr, double available, const std::vector<LegendItem>& items, Layout& l) {
  useFont(cr, FONT_SIZE);
  double x = 0, row = 0;
  for (const LegendItem& item : items) {
    const double w = SWATCH + 6 + textWidth(cr, item.label);
    if (x > 0 && x + w > available) {
      x = 0;
      row += FONT_SIZE + 8;
    }
    l.legendX.push_back(PAD + x);
    l.legendRowY.push_back(row);
    x += w + LEGEND_GAP;
  }
}

Layout layOut(cairo_t* measure, const RasterView& view, int requestedScale, const std::vector<LegendItem>& items) {
  Layout l{};
  const int side = std::max(view.width(), view.height());
  l.scale = requestedScale > 0 ? requestedScale : std::clamp(MAX_PICTURE_SIDE / side, 1, 8);
  l.mapW = double(view.width()) * l.scale;
  l.mapH = double(view.height()) * l.scale;
  l.width = std::max(l.mapW, 420.0) + 2 * PAD;
  l.mapX = PAD;
  l.mapY = PAD + TITLE_SIZE + 6 + FONT_SIZE + 10;
  l.scaleBarY = l.mapY + l.mapH + 12;
  l.legendY = l.scaleBarY + 30;
  placeLegend(measure, l.width - 2 * PAD, items, l);
  l.height = l.legendY + (l.legendRowY.empty() ? 0 : l.legendRowY.back()) + FONT_SIZE + PAD;
  return l;
}

// ---------------------------------------------------------------- drawing

void drawHeading(cairo_t* cr, const OccupancyMap& map, const RasterView& view, const std::string& title) {
  useFont(cr, TITLE_SIZE, true);
  text(cr, PAD, PAD + TITLE_SIZE, title);
  char line[160];
  std::snprintf(line, sizeof line, "%.1f m x %.1f m shown, %g mm cells; +x to the right, +y up",
                view.width() * map.res / 1000, view.height() * map.res / 1000, map.res);
  useFont(cr, FONT_SIZE);
  text(cr, PAD, PAD + TITLE_SIZE + 6 + FONT_SIZE, line);
}

// One pixel per cell in an image surface, painted enlarged without smoothing.
bool drawCells(cairo_t* cr, const OccupancyMap& map, const RasterView& view, const Layout& l, bool tracksDrawn) {
  Surface cells(cairo_image_surface_create(CAIRO_FORMAT_RGB24, view.width(), view.height()));
  if (cairo_surface_status(cells.get()) != CAIRO_STATUS_SUCCESS) return false;
  cairo_surface_flush(cells.get());
  unsigned char* data = cairo_image_surface_get_data(cells.get());
  const int stride = cairo_image_surface_get_stride(cells.get());
  for (int32_t row = 0; row < view.height(); ++row) {
    auto* out = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(row) * stride);
    for (int32_t column = 0; column < view.width(); ++column) {
      out[column] = packed(colourOf(shownAs(map.cellValue(view.cellX(column), view.cellY(row)), tracksDrawn)));
    }
  }
  cairo_surface_mark_dirty(cells.get());
  cairo_save(cr);
  cairo_translate(cr, l.mapX, l.mapY);
  cairo_scale(cr, l.scale, l.scale);
  cairo_set_source_surface(cr, cells.get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
  setColour(cr, FRAME_COLOUR);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, l.mapX - 0.5, l.mapY - 0.5, l.mapW + 1, l.mapH + 1);
  cairo_stroke(cr);
  return true;
}

void originMark(cairo_t* cr, double x, double y, double r) {
  setColour(cr, ORIGIN_COLOUR);
  cairo_set_line_width(cr, 2);
  cairo_move_to(cr, x - r, y);
  cairo_line_to(cr, x + r, y);
  cairo_move_to(cr, x, y - r);
  cairo_line_to(cr, x, y + r);
  cairo_stroke(cr);
  cairo_arc(cr, x, y, r * 0.6, 0, 2 * M_PI);
  cairo_stroke(cr);
}

void drawOrigin(cairo_t* cr, const RasterView& view, const Layout& l) {
  if (!originShown(view)) return;
  const double x = l.mapX + (0 - view.x0 + 0.5) * l.scale, y = l.mapY + (view.y1 - 0 + 0.5) * l.scale;
  originMark(cr, x, y, std::max(5.0, 1.5 * l.scale));
}

// Each robot's poses joined by lines in its colour, within the map's frame.
void drawTracks(cairo_t* cr, const OccupancyMap& map, const RasterView& view, const Layout& l,
                const std::vector<RobotTrack>& tracks) {
  cairo_save(cr);
  cairo_rectangle(cr, l.mapX, l.mapY, l.mapW, l.mapH);
  cairo_clip(cr);
  cairo_set_line_width(cr, std::max(1.5, 0.4 * l.scale));
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  for (size_t i = 0; i < tracks.size(); ++i) {
    for (const auto& [x, y] : tracks[i].points) {
      cairo_line_to(cr, l.mapX + (x / map.res - view.x0 + 0.5) * l.scale, l.mapY + (view.y1 - y / map.res + 0.5) * l.scale);
    }
    setColour(cr, robotColour(i));
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

// A bar of a round length, in four alternating segments, with its length written beside.
void drawScaleBar(cairo_t* cr, const OccupancyMap& map, const Layout& l) {
  static const double LENGTHS[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200};
  const double pixelsPerMetre = 1000.0 / map.res * l.scale;
  double length = LENGTHS[0];
  for (double candidate : LENGTHS) {
    if (candidate * pixelsPerMetre <= std::max(l.mapW / 3, 80.0)) length = candidate;
  }
  const double w = length * pixelsPerMetre, h = 6, x = PAD, y = l.scaleBarY;
  cairo_set_line_width(cr, 1);
  for (int i = 0; i < 4; ++i) {
    cairo_rectangle(cr, x + i * w / 4, y, w / 4, h);
    setColour(cr, i % 2 == 0 ? OBSTACLE_COLOUR : FREE_COLOUR);
    cairo_fill_preserve(cr);
    setColour(cr, OBSTACLE_COLOUR);
    cairo_stroke(cr);
  }
  useFont(cr, FONT_SIZE);
  text(cr, x + w + 8, y + h + 4, metres(length));
}

void drawLegend(cairo_t* cr, const Layout& l, const std::vector<LegendItem>& items) {
  useFont(cr, FONT_SIZE);
  for (size_t i = 0; i < items.size(); ++i) {
    const double x = l.legendX[i], top = l.legendY + l.legendRowY[i];
    if (items[i].swatch == Swatch::Origin) {
      originMark(cr, x + SWATCH / 2, top + SWATCH / 2, SWATCH / 2);
    } else if (items[i].swatch == Swatch::Line) {
      setColour(cr, items[i].colour);
      cairo_set_line_width(cr, 3);
      cairo_move_to(cr, x, top + SWATCH / 2);
      cairo_line_to(cr, x + SWATCH, top + SWATCH / 2);
      cairo_stroke(cr);
    } else {
      cairo_rectangle(cr, x + 0.5, top + 0.5, SWATCH - 1, SWATCH - 1);
      setColour(cr, items[i].colour);
      cairo_fill_preserve(cr);
      setColour(cr, FRAME_COLOUR);
      cairo_set_line_width(cr, 1);
      cairo_stroke(cr);
    }
    text(cr, x + SWATCH + 6, top + SWATCH - 1, items[i].label);
  }
}

// PNG bytes go through stdio so that a failed write can say why.
struct PngSink {
  FILE* file;
  int error = 0;
};

cairo_status_t writePngBytes(void* closure, const unsigned char* data, unsigned int length) {
  auto* sink = static_cast<PngSink*>(closure);
  if (std::fwrite(data, 1, length, sink->file) == length) return CAIRO_STATUS_SUCCESS;
  sink->error = errno;
  return CAIRO_STATUS_WRITE_ERROR;
}

bool savePng(cairo_surface_t* surface, const std::string& path, std::string& error) {
  PngSink sink{std::fopen(path.c_str(), "wb")};
  if (sink.file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  const cairo_status_t status = cairo_surface_write_to_png_stream(surface, writePngBytes, &sink);
  if (std::fclose(sink.file) != 0 && sink.error == 0) sink.error = errno;
  if (status == CAIRO_STATUS_SUCCESS && sink.error == 0) return true;
  error = path + ": " + (sink.error != 0 ? std::strerror(sink.error) : cairo_status_to_string(status));
  return false;
}

}  // namespace

bool writeMapPicture(const OccupancyMap& map, const std::string& pngPath, const PictureOptions& options,
                     std::string& error) {
  constexpr double MAX_SIDE = 32000;  // cairo's image surfaces end at 32767 pixels
  const RasterView view = viewOf(map, options.wholeMap);
  Surface scratch(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
  Context measure(cairo_create(scratch.get()));
  const std::vector<LegendItem> items = legendItems(map, view, options);
  const Layout l = layOut(measure.get(), view, options.scale, items);
  if (l.width > MAX_SIDE || l.height > MAX_SIDE) {
    error = "the picture would be larger than 32000 pixels; choose a smaller --scale";
    return false;
  }
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(std::ceil(l.width)),
                                             static_cast<int>(std::ceil(l.height))));
  Context cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
    error = std::string("cannot draw: ") + cairo_status_to_string(cairo_status(cr.get()));
    return false;
  }
  setColour(cr.get(), FREE_COLOUR);
  cairo_paint(cr.get());
  drawHeading(cr.get(), map, view, options.title);
  if (!drawCells(cr.get(), map, view, l, !options.tracks.empty())) {
    error = "cannot draw the map's cells";
    return false;
  }
  drawTracks(cr.get(), map, view, l, options.tracks);
  drawOrigin(cr.get(), view, l);
  drawScaleBar(cr.get(), map, l);
  drawLegend(cr.get(), l, items);
  cairo_surface_flush(surface.get());
  return savePng(surface.get(), pngPath, error);
}

std::vector<std::string> pictureLegend(const OccupancyMap& map, const PictureOptions& options) {
  std::vector<std::string> labels;
  for (const LegendItem& item : legendItems(map, viewOf(map, options.wholeMap), options)) labels.push_back(item.label);
  return labels;
}

void releasePictureCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}
