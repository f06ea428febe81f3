#include "map/map_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/text.h"

namespace {

// ---------------------------------------------------------------- pixel order

// One image row: y from maxy - 1 down to 0, then -1 down to -(miny - 1).
template <typename RowT, typename Visit>
bool visitRow(RowT& nonNegativeY, RowT& negativeY, int32_t maxy, int32_t miny, Visit& visit) {
  for (int32_t y = maxy - 1; y >= 0; --y) {
    if (!visit(nonNegativeY[static_cast<size_t>(y)])) return false;
  }
  for (int32_t y = 1; y < miny; ++y) {
    if (!visit(negativeY[static_cast<size_t>(y)])) return false;
  }
  return true;
}

// Every addressable cell of the four stores of `grid` in file order: image rows from
// x = maxx - 1 at the top down to -(minx - 1). Stops at the first visit that gives false.
template <typename Grid, typename Visit>
bool visitInFileOrder(Grid& grid, int32_t minx, int32_t maxx, int32_t miny, int32_t maxy, Visit visit) {
  for (int32_t x = maxx - 1; x >= 0; --x) {
    const size_t row = static_cast<size_t>(x);
    if (!visitRow(grid.posXposY[row], grid.posXnegY[row], maxy, miny, visit)) return false;
  }
  for (int32_t x = 1; x < minx; ++x) {
    const size_t row = static_cast<size_t>(x);
    if (!visitRow(grid.negXposY[row], grid.negXnegY[row], maxy, miny, visit)) return false;
  }
  return true;
}

// ---------------------------------------------------------------- writing

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Decimal text of 0..255: up to three digits and the length.
struct SmallDecimal {
  char text[4];
  uint8_t length;
};

constexpr std::array<SmallDecimal, 256> makeDecimalTable() {
  std::array<SmallDecimal, 256> table{};
  for (int v = 0; v < 256; ++v) {
    SmallDecimal& d = table[static_cast<size_t>(v)];
    if (v >= 100) d.text[d.length++] = static_cast<char>('0' + v / 100);
    if (v >= 10) d.text[d.length++] = static_cast<char>('0' + v / 10 % 10);
    d.text[d.length++] = static_cast<char>('0' + v % 10);
  }
  return table;
}
constexpr std::array<SmallDecimal, 256> DECIMALS = makeDecimalTable();

// Longest pixel line: "255 63 127\n".
constexpr size_t MAX_PIXEL_TEXT = 11;
constexpr size_t WRITE_BUFFER_BYTES = size_t{1} << 20;

char* appendDecimal(char* out, unsigned v) {
  const SmallDecimal& d = DECIMALS[v];
  std::memcpy(out, d.text, sizeof d.text);
  return out + d.length;
}

char* formatPixel(char* out, MapCell c) {
  static constexpr char UNKNOWN_GREEN[4] = {' ', '0', ' ', ' '};
  static constexpr char KNOWN_GREEN[4] = {' ', '6', '3', ' '};
  const bool unknown = (c & CELL_UNKNOWN) != 0;
  out = appendDecimal(out, c & CELL_OCCUPANCY);
  std::memcpy(out, unknown ? UNKNOWN_GREEN : KNOWN_GREEN, 4);
  out += unknown ? 3 : 4;
  out = appendDecimal(out, (c >> 8) & 0x7F);
  *out++ = '\n';
  return out;
}

// Pixel text collected in a large buffer and written in big blocks. Maps hold long runs
// of equal cells (unknown, free), so the text of the last cell is kept and reused.
class PixelWriter {
 public:
  PixelWriter(FILE* f, uint64_t pixels)
      : myFile(f),
        myCapacity(pixels * MAX_PIXEL_TEXT < WRITE_BUFFER_BYTES ? pixels * MAX_PIXEL_TEXT : WRITE_BUFFER_BYTES),
        myBuffer(std::make_unique_for_overwrite<char[]>(myCapacity + sizeof myLastText)),
        myEnd(myBuffer.get()) {
    myLastLength = static_cast<size_t>(formatPixel(myLastText, myLastCell) - myLastText);
  }

  void put(MapCell c) {
    if (c != myLastCell) {
      myLastCell = c;
      myLastLength = static_cast<size_t>(formatPixel(myLastText, c) - myLastText);
    }
    std::memcpy(myEnd, myLastText, sizeof myLastText);
    myEnd += myLastLength;
    if (static_cast<size_t>(myEnd - myBuffer.get()) >= myCapacity) flush();
  }
  bool flush() {
    const size_t n = static_cast<size_t>(myEnd - myBuffer.get());
    myEnd = myBuffer.get();
    if (n > 0 && std::fwrite(myBuffer.get(), 1, n, myFile) != n) myOk = false;
    return myOk;
  }

 private:
  FILE* myFile;
  size_t myCapacity;
  std::unique_ptr<char[]> myBuffer;
  char* myEnd;
  MapCell myLastCell = CELL_UNKNOWN;
  char myLastText[16];
  size_t myLastLength = 0;
  bool myOk = true;
};

bool writeHeader(FILE* f, const OccupancyMap& map) {
  char header[512];
  int n = std::snprintf(header, sizeof header,
                        "P3\n# processed by Tarnwick\n# Data: composit map\n# Resol: res=%g\n"
                        "# Sizes: minx=%d maxx=%d miny=%d maxy=%d\n# Robot: rradius=%d ssrange=%d\n%d %d 255\n",
                        map.res, map.minx, map.maxx, map.miny, map.maxy, map.rradius, map.ssrange,
                        map.miny + map.maxy - 1, map.minx + map.maxx - 1);
  if (n < 0 || static_cast<size_t>(n) >= sizeof header) return false;
  return std::fwrite(header, 1, static_cast<size_t>(n), f) == static_cast<size_t>(n);
}

bool writePixels(FILE* f, const OccupancyMap& map) {
  const uint64_t pixels = (uint64_t{static_cast<uint32_t>(map.minx)} + static_cast<uint32_t>(map.maxx) - 1) *
                          (uint64_t{static_cast<uint32_t>(map.miny)} + static_cast<uint32_t>(map.maxy) - 1);
  PixelWriter out(f, pixels);
  visitInFileOrder(map, map.minx, map.maxx, map.miny, map.maxy, [&out](uint16_t cell) {
    out.put(cell);
    return true;
  });
  return out.flush();
}

// Writes, flushes to the disk and closes; false when any step failed.
bool writeAndClose(FilePtr file, const OccupancyMap& map) {
  bool ok = writeHeader(file.get(), map) && writePixels(file.get(), map);
  ok = std::fflush(file.get()) == 0 && ok;
  ok = ok && fsync(fileno(file.get())) == 0;
  return std::fclose(file.release()) == 0 && ok;
}

// ---------------------------------------------------------------- reading: problems

// Notes the first problem met, with the line of the file it lies on. Every note returns
// false so that a failing step reads `return problems.at(...)`. Lines are counted from
// data, which may be null for problems of the whole file.
class Problems {
 public:
  Problems(const char* data, MapFileProblem& out) : myData(data), myOut(out) {}

  size_t lineOf(const char* where) const {
    return 1 + static_cast<size_t>(std::count(myData, where, '\n'));
  }
  bool at(const char* where, std::string what) { return onLine(lineOf(where), std::move(what)); }
  // Line 0: the problem concerns the file as a whole.
  bool onLine(size_t line, std::string what) {
    myOut.line = line;
    myOut.what = std::move(what);
    return false;
  }

 private:
  const char* myData;
  MapFileProblem& myOut;
};

// A short quote of the text at p for a message, unprintable bytes shown as '?'.
std::string quoteAt(const char* p, const char* end) {
  std::string q = "\"";
  for (size_t i = 0; p + i < end && i < 12 && !isBlank(p[i]); ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    q += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return q + "\"";
}

std::string decimal(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// ---------------------------------------------------------------- reading: text scanning

// 0..9 for a digit, larger for anything else.
unsigned digitValue(char c) { return static_cast<unsigned char>(c) - static_cast<unsigned>('0'); }

const char* skipBlanks(const char* p, const char* end) {
  while (p < end && isBlank(*p)) ++p;
  return p;
}

// Longest decimal floating-point prefix after optional blanks; no prefix gives 0, a
// value out of the double range gives NaN so that it is refused later.
double floatPrefix(const char* p, const char* end) {
  p = skipBlanks(p, end);
  if (p < end && *p == '+') {
    ++p;
    if (p < end && *p == '-') return 0;
  }
  double v = 0;
  std::errc ec = std::from_chars(p, end, v, std::chars_format::general).ec;
  if (ec == std::errc::invalid_argument) return 0;
  if (ec == std::errc::result_out_of_range) return std::nan("");
  return v;
}

// Longest decimal integer prefix after optional blanks, saturating far beyond any
// acceptable value; no prefix gives 0.
constexpr int64_t SATURATED_INTEGER = int64_t{1} << 40;
int64_t integerPrefix(const char* p, const char* end) {
  p = skipBlanks(p, end);
  bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  int64_t v = 0;
  for (; p < end && isDigit(*p); ++p) v = v < SATURATED_INTEGER ? v * 10 + (*p - '0') : SATURATED_INTEGER;
  return negative ? -v : v;
}

// Blue bits kept in a loaded cell. Bit 5 of blue (this agent's footprint) is dropped when
// the agent loads a map: a loaded footprint counts as some robot's, never as this
// agent's. Tools that show a saved map keep it.
constexpr uint32_t BLUE_AS_LOADED = 0x5F;
constexpr uint32_t BLUE_AS_SAVED = 0x7F;

MapCell decodePixel(uint32_t r, uint32_t g, uint32_t b, uint32_t blueMask) {
  return static_cast<MapCell>((r & 0xFF) | ((b & blueMask) << 8) | (g == 0 ? CELL_UNKNOWN : 0));
}

// A read position in the file's bytes.
class Cursor {
 public:
  Cursor(const char* data, size_t size, uint32_t blueMask) : myP(data), myEnd(data + size), myBlueMask(blueMask) {}

  const char* position() const { return myP; }
  const char* end() const { return myEnd; }
  size_t remaining() const { return static_cast<size_t>(myEnd - myP); }
  bool startsWith(std::string_view s) const { return remaining() >= s.size() && std::memcmp(myP, s.data(), s.size()) == 0; }
  void advance(size_t n) { myP += n; }
  // Which sample (0 red, 1 green, 2 blue) the last failed readCell could not read; the
  // position is then just after the samples it did read.
  int failedSample() const { return myFailedSample; }

  // Skips at most `limit` characters, stopping after a line feed.
  void skipLine(size_t limit) {
    for (size_t i = 0; i < limit && myP < myEnd; ++i) {
      if (*myP++ == '\n') return;
    }
  }

  // A line of at most `limit` characters before its line feed; false when it is longer
  // or the file ends inside it.
  bool takeLine(size_t limit, std::string_view& line) {
    size_t window = remaining() < limit + 1 ? remaining() : limit + 1;
    const char* lf = static_cast<const char*>(std::memchr(myP, '\n', window));
    if (lf == nullptr) return false;
    line = std::string_view(myP, static_cast<size_t>(lf - myP));
    myP = lf + 1;
    return true;
  }

  // A signed decimal integer after blanks that fits 32 bits.
  bool readInt(int64_t& value) {
    myP = skipBlanks(myP, myEnd);
    bool negative = myP < myEnd && *myP == '-';
    if (myP < myEnd && (*myP == '-' || *myP == '+')) ++myP;
    if (myP == myEnd || !isDigit(*myP)) return false;
    int64_t v = 0;
    for (; myP < myEnd && isDigit(*myP); ++myP) {
      v = v * 10 + (*myP - '0');
      if (v > INT32_MAX) return false;
    }
    value = negative ? -v : v;
    return true;
  }

  // An unsigned decimal sample after blanks, at most 65535.
  bool readSample(uint32_t& value) {
    const char* p = skipBlanks(myP, myEnd);
    unsigned digit;
    if (p == myEnd || (digit = digitValue(*p)) > 9) return false;
    uint32_t v = digit;
    while (++p < myEnd && (digit = digitValue(*p)) <= 9) {
      v = v * 10 + digit;
      if (v > 65535) return false;
    }
    myP = p;
    value = v;
    return true;
  }

  // A pixel as three samples. Maps hold long runs of equal cells, so when the text up to
  // the next pixel's last digit repeats the previous pixel's byte for byte (and no digit
  // follows), the previous cell is taken without parsing.
  bool readCell(uint16_t& cell) {
    if (repeatsLastPixel()) {
      myP += myLastLength;
      cell = myLastCell;
      return true;
    }
    const char* start = myP;
    uint32_t r, g, b;
    if (!readSample(r)) return sampleFailed(0);
    if (!readSample(g)) return sampleFailed(1);
    if (!readSample(b)) return sampleFailed(2);
    cell = decodePixel(r, g, b, myBlueMask);
    rememberPixel(start, cell);
    return true;
  }

 private:
  // Compares 16 bytes under a mask of the remembered length: no call, no loop.
  bool repeatsLastPixel() const {
    if (myLastLength == 0 || remaining() <= sizeof myLastText) return false;
    uint64_t next[2], last[2], mask[2];
    std::memcpy(next, myP, sizeof next);
    std::memcpy(last, myLastText, sizeof last);
    std::memcpy(mask, myLastMask, sizeof mask);
    return (((next[0] ^ last[0]) & mask[0]) | ((next[1] ^ last[1]) & mask[1])) == 0 &&
           digitValue(myP[myLastLength]) > 9;
  }
  void rememberPixel(const char* start, MapCell cell) {
    const size_t length = static_cast<size_t>(myP - start);
    myLastLength = length <= sizeof myLastText ? length : 0;
    if (myLastLength == 0) return;
    std::memcpy(myLastText, start, length);
    std::memset(myLastMask, 0xFF, length);
    std::memset(myLastMask + length, 0, sizeof myLastMask - length);
    myLastCell = cell;
  }
  bool sampleFailed(int sample) {
    myFailedSample = sample;
    return false;
  }

  const char* myP;
  const char* myEnd;
  uint32_t myBlueMask;
  char myLastText[16] = {};
  unsigned char myLastMask[16] = {};
  size_t myLastLength = 0;
  MapCell myLastCell = 0;
  int myFailedSample = 0;
};

// ---------------------------------------------------------------- reading: header

// The keys of the comment lines, in the order of RawHeader::line.
enum HeaderKey { KEY_RES, KEY_MINX, KEY_MAXX, KEY_MINY, KEY_MAXY, KEY_RRADIUS, KEY_SSRANGE, KEY_COUNT };
constexpr std::string_view KEY_TEXT[KEY_COUNT] = {"res=", "minx=", "maxx=", "miny=", "maxy=", "rradius=", "ssrange="};

// Header values as found in the comment lines, before they are checked, and the line each
// key was last found on (0: not in the file, the map's own value is kept).
struct RawHeader {
  double res, rradius, ssrange;
  int64_t minx, maxx, miny, maxy;
  size_t line[KEY_COUNT] = {};
};

// Checked map parameters, ready to be installed.
struct MapParams {
  double res;
  int32_t minx, maxx, miny, maxy, rradius, ssrange, margin, growStep;
};

RawHeader currentHeader(const OccupancyMap& map) {
  return {map.res, static_cast<double>(map.rradius), static_cast<double>(map.ssrange),
          map.minx, map.maxx, map.miny, map.maxy};
}

// Looks for every key in one comment line; the first occurrence in the line counts.
void applyCommentLine(std::string_view line, size_t lineNumber, RawHeader& h) {
  const char* end = line.data() + line.size();
  double* const reals[KEY_COUNT] = {&h.res, nullptr, nullptr, nullptr, nullptr, &h.rradius, &h.ssrange};
  int64_t* const integers[KEY_COUNT] = {nullptr, &h.minx, &h.maxx, &h.miny, &h.maxy, nullptr, nullptr};
  for (int k = 0; k < KEY_COUNT; ++k) {
    const size_t at = line.find(KEY_TEXT[k]);
    if (at == std::string_view::npos) continue;
    const char* value = line.data() + at + KEY_TEXT[k].size();
    if (reals[k] != nullptr) *reals[k] = floatPrefix(value, end);
    else *integers[k] = integerPrefix(value, end);
    h.line[k] = lineNumber;
  }
}

// Comment lines start directly after the first line, each with '#' first.
bool readCommentLines(Cursor& in, RawHeader& h, Problems& problems) {
  constexpr size_t MAX_COMMENT_LINE = 511;
  size_t lineNumber = problems.lineOf(in.position());
  for (; in.startsWith("#"); ++lineNumber) {
    std::string_view line;
    if (!in.takeLine(MAX_COMMENT_LINE, line)) {
      return problems.onLine(lineNumber, in.remaining() > MAX_COMMENT_LINE ? "comment line longer than 511 characters"
                                                                          : "the file ends inside a comment line");
    }
    applyCommentLine(line, lineNumber, h);
  }
  return true;
}

bool robotCellsUsable(double v) { return std::isfinite(v) && v >= 0 && v < MAP_FILE_MAX_ROBOT_CELLS + 1.0; }

// Largest extent that growth from observations inside the coordinate bound can reach.
int64_t extentLimit(const MapParams& p) { return static_cast<int64_t>(MAP_COORD_BOUND_MM / p.res) + p.margin + p.growStep; }

// An extent must leave margin cells around the origin and stay within what growth from
// observations inside the coordinate bound can reach.
bool extentUsable(int64_t extent, const MapParams& p) {
  return extent >= 1 && extent > p.margin && extent <= extentLimit(p);
}

bool badRobotCells(const RawHeader& h, HeaderKey key, double value, Problems& problems) {
  return problems.onLine(h.line[key], std::string(KEY_TEXT[key]) + decimal(value) + ": must be 0 to " +
                                          std::to_string(MAP_FILE_MAX_ROBOT_CELLS) + " cells");
}

bool badExtent(const RawHeader& h, HeaderKey key, int64_t value, const MapParams& p, Problems& problems) {
  const std::string given = std::llabs(value) >= SATURATED_INTEGER ? "(too large)" : std::to_string(value);
  return problems.onLine(h.line[key], std::string(KEY_TEXT[key]) + given + ": an extent must be " +
                                          std::to_string(p.margin + 1) + " to " + std::to_string(extentLimit(p)) +
                                          " cells (more than the margin, within the coordinate bound)");
}

// Refuses headers that would make an unusable or unbounded map; derives margin and
// growStep from the robot sizes the way every map is grown.
bool checkHeader(const RawHeader& h, MapParams& p, Problems& problems) {
  if (!std::isfinite(h.res) || h.res < MAP_FILE_MIN_RES_MM) {
    return problems.onLine(h.line[KEY_RES], "res=" + decimal(h.res) + ": the cell size must be at least " +
                                                decimal(MAP_FILE_MIN_RES_MM) + " mm");
  }
  if (!robotCellsUsable(h.rradius)) return badRobotCells(h, KEY_RRADIUS, h.rradius, problems);
  if (!robotCellsUsable(h.ssrange)) return badRobotCells(h, KEY_SSRANGE, h.ssrange, problems);
  p.res = h.res;
  p.rradius = static_cast<int32_t>(h.rradius);
  p.ssrange = static_cast<int32_t>(h.ssrange);
  p.margin = (p.rradius > p.ssrange ? p.rradius : p.ssrange) + 10;
  p.growStep = p.margin + 100;
  const int64_t extents[] = {h.minx, h.maxx, h.miny, h.maxy};
  const HeaderKey keys[] = {KEY_MINX, KEY_MAXX, KEY_MINY, KEY_MAXY};
  for (int i = 0; i < 4; ++i) {
    if (!extentUsable(extents[i], p)) return badExtent(h, keys[i], extents[i], p, problems);
  }
  p.minx = static_cast<int32_t>(h.minx);
  p.maxx = static_cast<int32_t>(h.maxx);
  p.miny = static_cast<int32_t>(h.miny);
  p.maxy = static_cast<int32_t>(h.maxy);
  return true;
}

bool readSizeLine(Cursor& in, const MapParams& p, Problems& problems) {
  static const char* const NAMES[3] = {"width", "height", "largest sample value"};
  int64_t values[3];
  for (int i = 0; i < 3; ++i) {
    if (in.readInt(values[i])) continue;
    if (in.remaining() == 0) return problems.at(in.position(), std::string("the file ends before the size line's ") + NAMES[i]);
    return problems.at(in.position(), std::string("size line: the ") + NAMES[i] + " " + quoteAt(in.position(), in.end()) +
                                          " is not a whole number below 2^31");
  }
  const int64_t width = int64_t{p.miny} + p.maxy - 1, height = int64_t{p.minx} + p.maxx - 1;
  if (values[0] != width) {
    return problems.at(in.position(), "size line: width " + std::to_string(values[0]) +
                                          " differs from miny + maxy - 1 = " + std::to_string(width));
  }
  if (values[1] != height) {
    return problems.at(in.position(), "size line: height " + std::to_string(values[1]) +
                                          " differs from minx + maxx - 1 = " + std::to_string(height));
  }
  if (values[2] != 255) {
    return problems.at(in.position(), "size line: largest sample value " + std::to_string(values[2]) + ", not 255");
  }
  return true;
}

// ---------------------------------------------------------------- reading: pixels

void sizeStore(QuadrantGrid::Store& store, int32_t rows, int32_t cells) {
  store.assign(static_cast<size_t>(rows), QuadrantGrid::Row(static_cast<size_t>(cells), CELL_UNKNOWN));
}

QuadrantGrid::Stores makeStores(const MapParams& p) {
  QuadrantGrid::Stores s;
  sizeStore(s.posXposY, p.maxx, p.maxy);
  sizeStore(s.negXposY, p.minx, p.maxy);
  sizeStore(s.negXnegY, p.minx, p.miny);
  sizeStore(s.posXnegY, p.maxx, p.miny);
  return s;
}

// Names the pixel a read stopped at: its number, its cell and what was wrong.
bool badPixel(const Cursor& in, const MapParams& p, uint64_t index, Problems& problems) {
  static const char* const SAMPLES[3] = {"red", "green", "blue"};
  const uint64_t width = static_cast<uint64_t>(p.miny) + static_cast<uint64_t>(p.maxy) - 1;
  const uint64_t height = static_cast<uint64_t>(p.minx) + static_cast<uint64_t>(p.maxx) - 1;
  const int64_t row = static_cast<int64_t>(index / width), column = static_cast<int64_t>(index % width);
  // Rows run from x = maxx - 1 down, columns from y = maxy - 1 down, across the origin.
  const int64_t x = p.maxx - 1 - row, y = p.maxy - 1 - column;
  const std::string pixel = "pixel " + std::to_string(index + 1) + " of " + std::to_string(width * height) +
                            " (cell x " + std::to_string(x) + ", y " + std::to_string(y) + "): ";
  const char* at = skipBlanks(in.position(), in.end());
  const std::string sample = SAMPLES[in.failedSample()];
  if (at == in.end()) return problems.at(at, pixel + "the file ends before its " + sample + " sample");
  if (!isDigit(*at)) return problems.at(at, pixel + "its " + sample + " sample " + quoteAt(at, in.end()) + " is not a number");
  return problems.at(at, pixel + "its " + sample + " sample is above 65535");
}

bool readPixels(Cursor& in, const MapParams& p, QuadrantGrid::Stores& s, Problems& problems) {
  uint64_t read = 0;
  auto readOne = [&in, &read](uint16_t& cell) {
    if (!in.readCell(cell)) return false;
    ++read;
    return true;
  };
  return visitInFileOrder(s, p.minx, p.maxx, p.miny, p.maxy, readOne) || badPixel(in, p, read, problems);
}

// Every pixel needs at least three digits and three separating blanks, so a file too
// short for the size it claims is refused before any cell store is allocated.
bool holdsPixels(const Cursor& in, const MapParams& p, Problems& problems) {
  const uint64_t height = static_cast<uint64_t>(p.minx) + static_cast<uint64_t>(p.maxx) - 1;
  const uint64_t width = static_cast<uint64_t>(p.miny) + static_cast<uint64_t>(p.maxy) - 1;
  const uint64_t pixels = height * width;
  if (in.remaining() / 6 >= pixels) return true;
  return problems.at(in.position(), "the file is too short for the " + std::to_string(width) + " x " +
                                        std::to_string(height) + " pixels of its size line");
}

// The grid takes the extents with their stores; the other parameters follow only then.
bool install(OccupancyMap& map, const MapParams& p, QuadrantGrid::Stores& s) {
  if (!map.adopt({p.minx, p.maxx, p.miny, p.maxy}, s)) return false;
  map.res = p.res;
  map.rradius = p.rradius;
  map.ssrange = p.ssrange;
  map.margin = p.margin;
  map.growStep = p.growStep;
  return true;
}

// The whole file in memory, or false when it cannot be read or is too large. A regular
// file is read in one piece of its size (plus one byte to see that it ended).
bool loadFile(const char* fileName, std::string& bytes, MapFileProblem& problem) {
  Problems problems(nullptr, problem);
  constexpr const char* TOO_LARGE = "larger than 1 GiB";
  FilePtr file(std::fopen(fileName, "rb"));
  if (!file) return problems.onLine(0, std::strerror(errno));
  struct stat st {};
  size_t chunk = size_t{1} << 20;
  if (fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode)) {
    if (static_cast<uint64_t>(st.st_size) > MAP_FILE_MAX_BYTES) return problems.onLine(0, TOO_LARGE);
    chunk = static_cast<size_t>(st.st_size) + 1;
  }
  size_t used = 0;
  while (used <= MAP_FILE_MAX_BYTES) {
    bytes.resize(used + chunk);
    const size_t n = std::fread(bytes.data() + used, 1, chunk, file.get());
    used += n;
    if (n < chunk) {
      bytes.resize(used);
      if (std::ferror(file.get()) != 0) return problems.onLine(0, std::strerror(errno));
      return used <= MAP_FILE_MAX_BYTES || problems.onLine(0, TOO_LARGE);
    }
    chunk = size_t{1} << 20;
  }
  return problems.onLine(0, TOO_LARGE);
}

}  // namespace

bool writeMapFile(const OccupancyMap& map, const char* fileName) {
  const std::string temp = std::string(fileName) + ".tmp." + std::to_string(getpid());
  FilePtr file(std::fopen(temp.c_str(), "wb"));
  if (!file) return false;
  if (writeAndClose(std::move(file), map) && std::rename(temp.c_str(), fileName) == 0) return true;
  const int reason = errno;
  std::remove(temp.c_str());
  errno = reason;
  return false;
}

namespace {

bool readBuffer(OccupancyMap& map, const char* data, size_t size, uint32_t blueMask, MapFileProblem& problem) {
  constexpr size_t MAX_FIRST_LINE_REST = 256;
  Problems problems(data, problem);
  Cursor in(data, size, blueMask);
  if (!in.startsWith("P3")) return problems.onLine(1, "not a plain PPM map file: it does not start with \"P3\"");
  in.advance(2);
  in.skipLine(MAX_FIRST_LINE_REST);
  RawHeader raw = currentHeader(map);
  MapParams params;
  if (!readCommentLines(in, raw, problems) || !checkHeader(raw, params, problems)) return false;
  if (!readSizeLine(in, params, problems) || !holdsPixels(in, params, problems)) return false;
  QuadrantGrid::Stores stores = makeStores(params);
  if (!readPixels(in, params, stores, problems)) return false;
  return install(map, params, stores) || problems.onLine(0, "the map could not take the file's extents");
}

bool readFile(OccupancyMap& map, const char* fileName, uint32_t blueMask, MapFileProblem& problem) {
  std::string bytes;
  if (!loadFile(fileName, bytes, problem)) return false;
  return readBuffer(map, bytes.data(), bytes.size(), blueMask, problem);
}

}  // namespace

bool readMapBuffer(OccupancyMap& map, const char* data, size_t size, MapFileProblem& problem) {
  return readBuffer(map, data, size, BLUE_AS_LOADED, problem);
}

bool readMapBuffer(OccupancyMap& map, const char* data, size_t size) {
  MapFileProblem ignored;
  return readMapBuffer(map, data, size, ignored);
}

bool readMapFile(OccupancyMap& map, const char* fileName, MapFileProblem& problem) {
  return readFile(map, fileName, BLUE_AS_LOADED, problem);
}

bool readMapFile(OccupancyMap& map, const char* fileName) {
  MapFileProblem ignored;
  return readMapFile(map, fileName, ignored);
}

bool readMapFileAsSaved(OccupancyMap& map, const char* fileName, MapFileProblem& problem) {
  return readFile(map, fileName, BLUE_AS_SAVED, problem);
}
