#include "map/map_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
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
int64_t integerPrefix(const char* p, const char* end) {
  constexpr int64_t SATURATED = int64_t{1} << 40;
  p = skipBlanks(p, end);
  bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  int64_t v = 0;
  for (; p < end && isDigit(*p); ++p) v = v < SATURATED ? v * 10 + (*p - '0') : SATURATED;
  return negative ? -v : v;
}

MapCell decodePixel(uint32_t r, uint32_t g, uint32_t b) {
  // Bit 5 of blue (this agent's footprint) is dropped: a loaded footprint counts as
  // some robot's, never as this agent's.
  return static_cast<MapCell>((r & 0xFF) | ((b & 0x5F) << 8) | (g == 0 ? CELL_UNKNOWN : 0));
}

// A read position in the file's bytes.
class Cursor {
 public:
  Cursor(const char* data, size_t size) : myP(data), myEnd(data + size) {}

  size_t remaining() const { return static_cast<size_t>(myEnd - myP); }
  bool startsWith(std::string_view s) const { return remaining() >= s.size() && std::memcmp(myP, s.data(), s.size()) == 0; }
  void advance(size_t n) { myP += n; }

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
    if (!readSample(r) || !readSample(g) || !readSample(b)) return false;
    cell = decodePixel(r, g, b);
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

  const char* myP;
  const char* myEnd;
  char myLastText[16] = {};
  unsigned char myLastMask[16] = {};
  size_t myLastLength = 0;
  MapCell myLastCell = 0;
};

// ---------------------------------------------------------------- reading: header

// Header values as found in the comment lines, before they are checked.
struct RawHeader {
  double res, rradius, ssrange;
  int64_t minx, maxx, miny, maxy;
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
void applyCommentLine(std::string_view line, RawHeader& h) {
  const char* end = line.data() + line.size();
  auto valueAfter = [&](std::string_view key) -> const char* {
    size_t at = line.find(key);
    return at == std::string_view::npos ? nullptr : line.data() + at + key.size();
  };
  if (const char* v = valueAfter("res=")) h.res = floatPrefix(v, end);
  if (const char* v = valueAfter("minx=")) h.minx = integerPrefix(v, end);
  if (const char* v = valueAfter("maxx=")) h.maxx = integerPrefix(v, end);
  if (const char* v = valueAfter("miny=")) h.miny = integerPrefix(v, end);
  if (const char* v = valueAfter("maxy=")) h.maxy = integerPrefix(v, end);
  if (const char* v = valueAfter("rradius=")) h.rradius = floatPrefix(v, end);
  if (const char* v = valueAfter("ssrange=")) h.ssrange = floatPrefix(v, end);
}

// Comment lines start directly after the first line, each with '#' first.
bool readCommentLines(Cursor& in, RawHeader& h) {
  constexpr size_t MAX_COMMENT_LINE = 511;
  while (in.startsWith("#")) {
    std::string_view line;
    if (!in.takeLine(MAX_COMMENT_LINE, line)) return false;
    applyCommentLine(line, h);
  }
  return true;
}

bool robotCellsUsable(double v) { return std::isfinite(v) && v >= 0 && v < MAP_FILE_MAX_ROBOT_CELLS + 1.0; }

// An extent must leave margin cells around the origin and stay within what growth from
// observations inside the coordinate bound can reach.
bool extentUsable(int64_t extent, const MapParams& p) {
  const int64_t limit = static_cast<int64_t>(MAP_COORD_BOUND_MM / p.res) + p.margin + p.growStep;
  return extent >= 1 && extent > p.margin && extent <= limit;
}

// Refuses headers that would make an unusable or unbounded map; derives margin and
// growStep from the robot sizes the way every map is grown.
bool checkHeader(const RawHeader& h, MapParams& p) {
  if (!std::isfinite(h.res) || h.res < MAP_FILE_MIN_RES_MM) return false;
  if (!robotCellsUsable(h.rradius) || !robotCellsUsable(h.ssrange)) return false;
  p.res = h.res;
  p.rradius = static_cast<int32_t>(h.rradius);
  p.ssrange = static_cast<int32_t>(h.ssrange);
  p.margin = (p.rradius > p.ssrange ? p.rradius : p.ssrange) + 10;
  p.growStep = p.margin + 100;
  for (int64_t e : {h.minx, h.maxx, h.miny, h.maxy}) {
    if (!extentUsable(e, p)) return false;
  }
  p.minx = static_cast<int32_t>(h.minx);
  p.maxx = static_cast<int32_t>(h.maxx);
  p.miny = static_cast<int32_t>(h.miny);
  p.maxy = static_cast<int32_t>(h.maxy);
  return true;
}

bool readSizeLine(Cursor& in, const MapParams& p) {
  int64_t width, height, maxval;
  if (!in.readInt(width) || !in.readInt(height) || !in.readInt(maxval)) return false;
  return height == int64_t{p.minx} + p.maxx - 1 && width == int64_t{p.miny} + p.maxy - 1 && maxval == 255;
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

bool readPixels(Cursor& in, const MapParams& p, QuadrantGrid::Stores& s) {
  return visitInFileOrder(s, p.minx, p.maxx, p.miny, p.maxy, [&in](uint16_t& cell) { return in.readCell(cell); });
}

// Every pixel needs at least three digits and three separating blanks, so a file too
// short for the size it claims is refused before any cell store is allocated.
bool holdsPixels(const Cursor& in, const MapParams& p) {
  const uint64_t height = static_cast<uint64_t>(p.minx) + static_cast<uint64_t>(p.maxx) - 1;
  const uint64_t width = static_cast<uint64_t>(p.miny) + static_cast<uint64_t>(p.maxy) - 1;
  const uint64_t pixels = height * width;
  return in.remaining() / 6 >= pixels;
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
bool loadFile(const char* fileName, std::string& bytes) {
  FilePtr file(std::fopen(fileName, "rb"));
  if (!file) return false;
  struct stat st {};
  size_t chunk = size_t{1} << 20;
  if (fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode)) {
    if (static_cast<uint64_t>(st.st_size) > MAP_FILE_MAX_BYTES) return false;
    chunk = static_cast<size_t>(st.st_size) + 1;
  }
  size_t used = 0;
  while (used <= MAP_FILE_MAX_BYTES) {
    bytes.resize(used + chunk);
    const size_t n = std::fread(bytes.data() + used, 1, chunk, file.get());
    used += n;
    if (n < chunk) {
      bytes.resize(used);
      return std::ferror(file.get()) == 0 && used <= MAP_FILE_MAX_BYTES;
    }
    chunk = size_t{1} << 20;
  }
  return false;
}

}  // namespace

bool writeMapFile(const OccupancyMap& map, const char* fileName) {
  const std::string temp = std::string(fileName) + ".tmp." + std::to_string(getpid());
  FilePtr file(std::fopen(temp.c_str(), "wb"));
  if (!file) return false;
  if (writeAndClose(std::move(file), map) && std::rename(temp.c_str(), fileName) == 0) return true;
  std::remove(temp.c_str());
  return false;
}

bool readMapBuffer(OccupancyMap& map, const char* data, size_t size) {
  constexpr size_t MAX_FIRST_LINE_REST = 256;
  Cursor in(data, size);
  if (!in.startsWith("P3")) return false;
  in.advance(2);
  in.skipLine(MAX_FIRST_LINE_REST);
  RawHeader raw = currentHeader(map);
  MapParams params;
  if (!readCommentLines(in, raw) || !checkHeader(raw, params)) return false;
  if (!readSizeLine(in, params) || !holdsPixels(in, params)) return false;
  QuadrantGrid::Stores stores = makeStores(params);
  if (!readPixels(in, params, stores)) return false;
  return install(map, params, stores);
}

bool readMapFile(OccupancyMap& map, const char* fileName) {
  std::string bytes;
  if (!loadFile(fileName, bytes)) return false;
  return readMapBuffer(map, bytes.data(), bytes.size());
}
