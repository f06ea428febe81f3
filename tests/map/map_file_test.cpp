#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "map/map_file.h"
#include "map/map_updates.h"
#include "tests/map/map_test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string BUILT_IN_HEADER =
    "P3\n# processed by Tarnwick\n# Data: composit map\n# Resol: res=100\n"
    "# Sizes: minx=125 maxx=125 miny=125 maxy=125\n# Robot: rradius=1 ssrange=25\n249 249 255\n";

std::string fileText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) out.push_back(line);
  return out;
}

bool readText(OccupancyMap& map, const std::string& text) { return readMapBuffer(map, text.data(), text.size()); }

// A small map file: extents 40 each way (79 x 79 pixels), every pixel `pixel`.
std::string smallFile(const std::string& comments, int width = 79, int height = 79, const std::string& pixel = "0 63 0") {
  std::string text = "P3\n" + comments + std::to_string(width) + " " + std::to_string(height) + " 255\n";
  for (int i = 0; i < width * height; ++i) text += pixel + "\n";
  return text;
}
const std::string SMALL_HEADER = "# Resol: res=100\n# Sizes: minx=40 maxx=40 miny=40 maxy=40\n# Robot: rradius=1 ssrange=25\n";

// A map with content in every quadrant, grown in all four directions, with reserved
// bits and both kinds of footprint.
void fillWithContent(OccupancyMap& map) {
  markReading(map, ArPose(15000, 0), ArPose(200, 300));
  markReading(map, ArPose(-14000, -500), ArPose(-300, 0));
  markReading(map, ArPose(800, 16000), ArPose(0, -200));
  markReading(map, ArPose(-900, -17000), ArPose(0, 0));
  markPeerReading(map, ArPose(-4000, 3000), ArPose(-3000, 2500));
  markHit(map, ArPose(4000, -4000));
  map.cellAt(7, -9) = 0x1F2A;
  map.cellAt(-20, 33) = 0x00FF;
}

class MapFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/map_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const char* name) const { return (dir / name).string(); }
  std::string written(const OccupancyMap& map) {
    EXPECT_TRUE(writeMapFile(map, path("out.ppm").c_str()));
    return fileText(path("out.ppm"));
  }

  fs::path dir;
};

TEST_F(MapFileTest, NewMapIsWrittenAsExactHeaderAndUnknownPixels) {
  OccupancyMap map = builtInMap();
  std::string expected = BUILT_IN_HEADER;
  for (int i = 0; i < 249 * 249; ++i) expected += "0 0 0\n";
  EXPECT_EQ(written(map), expected);
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir), {}), std::vector<fs::path>{dir / "out.ppm"});
}

TEST_F(MapFileTest, PixelsEncodeOccupancyKnowledgeAndFootprints) {
  OccupancyMap map = builtInMap();
  // Row x = 124 holds the first image row, y running from 124 down to -124.
  const int32_t ys[] = {124, 123, 122, 121, 120, 0, -1, -124};
  const uint16_t cells[] = {0x0000, 0x007F, 0x6000, 0x4000, 0x7FFE, 0x1F05, 0x00FF, 0x8000};
  for (size_t i = 0; i < 8; ++i) map.cellAt(124, ys[i]) = cells[i];
  map.cellAt(-124, -124) = 0x00C8;
  std::vector<std::string> l = lines(written(map));
  ASSERT_EQ(l.size(), 7u + 249 * 249);
  EXPECT_EQ(l[7], "0 63 0");
  EXPECT_EQ(l[8], "127 63 0");
  EXPECT_EQ(l[9], "0 63 96");
  EXPECT_EQ(l[10], "0 63 64");
  EXPECT_EQ(l[11], "254 63 127");
  EXPECT_EQ(l[7 + 124], "5 63 31");
  EXPECT_EQ(l[7 + 125], "255 63 0");
  EXPECT_EQ(l[7 + 248], "0 0 0");
  EXPECT_EQ(l.back(), "200 63 0");
}

TEST_F(MapFileTest, GrownMapWritesItsSizeAndStartsAtTheFarCorner) {
  OccupancyMap map = builtInMap();
  map.growToCover(90, 0);
  map.cellAt(214, 124) = 0x0011;
  map.res = 12.5;
  std::vector<std::string> l = lines(written(map));
  EXPECT_EQ(l[3], "# Resol: res=12.5");
  EXPECT_EQ(l[4], "# Sizes: minx=125 maxx=215 miny=125 maxy=125");
  EXPECT_EQ(l[6], "249 339 255");
  EXPECT_EQ(l[7], "17 63 0");
  EXPECT_EQ(l.size(), 7u + 249 * 339);
}

TEST_F(MapFileTest, RoundTripAfterGrowthKeepsEverythingButOwnFootprints) {
  OccupancyMap map = builtInMap();
  fillWithContent(map);
  ASSERT_GT(map.maxx, 125);
  ASSERT_GT(map.minx, 125);
  ASSERT_GT(map.maxy, 125);
  ASSERT_GT(map.miny, 125);
  ASSERT_TRUE(writeMapFile(map, path("map.ppm").c_str()));

  OccupancyMap loaded = builtInMap();
  ASSERT_TRUE(readMapFile(loaded, path("map.ppm").c_str()));
  EXPECT_EQ(loaded.res, map.res);
  EXPECT_EQ(loaded.minx, map.minx);
  EXPECT_EQ(loaded.maxx, map.maxx);
  EXPECT_EQ(loaded.miny, map.miny);
  EXPECT_EQ(loaded.maxy, map.maxy);
  EXPECT_EQ(loaded.rradius, 1);
  EXPECT_EQ(loaded.ssrange, 25);
  EXPECT_EQ(loaded.margin, 35);
  EXPECT_EQ(loaded.growStep, 135);
  EXPECT_EQ(loaded.fillValue, CELL_UNKNOWN);
  expectStoresMatchExtents(loaded);
  // Tools that show a saved map keep this agent's footprints.
  OccupancyMap asSaved = builtInMap();
  MapFileProblem problem;
  ASSERT_TRUE(readMapFileAsSaved(asSaved, path("map.ppm").c_str(), problem));
  long ownFootprints = 0;
  for (int32_t x = -map.minx + 1; x < map.maxx; ++x) {
    for (int32_t y = -map.miny + 1; y < map.maxy; ++y) {
      ownFootprints += (map.cellValue(x, y) & CELL_OWN_FOOTPRINT) != 0;
      ASSERT_EQ(loaded.cellValue(x, y), map.cellValue(x, y) & ~CELL_OWN_FOOTPRINT) << x << "," << y;
      ASSERT_EQ(asSaved.cellValue(x, y), map.cellValue(x, y)) << x << "," << y;
    }
  }
  EXPECT_GT(ownFootprints, 0);
  EXPECT_EQ(loaded.cellValue(7, -9), 0x1F2A);
  EXPECT_EQ(loaded.cellValue(-20, 33), 0x00FF);

  // Growth after loading uses the derived margin and step.
  markHit(loaded, ArPose(loaded.maxx * 100.0, 0));
  EXPECT_EQ(loaded.maxx, map.maxx + 135);
}

TEST_F(MapFileTest, PixelSamplesDecodeIntoCellBits) {
  OccupancyMap map = builtInMap();
  std::string text = smallFile(SMALL_HEADER);
  const std::string firstPixels[] = {"0 63 96", "200 5 31", "300 0 255", "65535 65535 65535"};
  size_t at = text.find("0 63 0\n");
  for (const std::string& p : firstPixels) {
    text.replace(at, 7, p + "\n");
    at += p.size() + 1;
  }
  ASSERT_TRUE(readText(map, text));
  EXPECT_EQ(map.cellValue(39, 39), 0x4000);
  EXPECT_EQ(map.cellValue(39, 38), 0x1FC8);
  EXPECT_EQ(map.cellValue(39, 37), 0xDF2C);
  EXPECT_EQ(map.cellValue(39, 36), 0x5FFF);
  EXPECT_EQ(map.cellValue(-39, -39), 0x0000);
  EXPECT_EQ(map.minx, 40);
  EXPECT_EQ(map.margin, 35);
}

TEST_F(MapFileTest, RepeatedPixelTextIsReadLikeAnyOther) {
  OccupancyMap map = builtInMap();
  std::string text = "P3\n" + SMALL_HEADER + "79 79 255";
  // Runs of one text, broken by a longer last number, other blanks and a prefix match.
  const std::string pixels[] = {"0 63 1", "0 63 1", "0 63 1", "0 63 12", "0 63 1", "0 63 1 ", "0  63 1", "0 63 1",
                                "10 63 1", "0 63 1"};
  const uint16_t cells[] = {0x0100, 0x0100, 0x0100, 0x0C00, 0x0100, 0x0100, 0x0100, 0x0100, 0x010A, 0x0100};
  for (const std::string& p : pixels) text += "\n" + p;
  for (int i = 10; i < 79 * 79; ++i) text += "\n0 63 1";
  ASSERT_TRUE(readText(map, text));
  for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(map.cellValue(39, 39 - i), cells[i]) << i;
  EXPECT_EQ(map.cellValue(-39, -39), 0x0100);
  EXPECT_FALSE(readText(map, text.substr(0, text.size() - 1) + "70000"));
}

TEST_F(MapFileTest, DamagedFilesLeaveTheMapExactlyAsItWas) {
  OccupancyMap map = builtInMap();
  fillWithContent(map);
  OccupancyMap before = builtInMap();
  copyMap(map, before);

  const std::string good = smallFile(SMALL_HEADER);
  ASSERT_TRUE(readText(before, good)) << "the undamaged file must be accepted";
  copyMap(map, before);

  // Each damaged file and the start of the reason the reader gives, with its line.
  const std::string lastPixel = "line 6246: pixel 6241 of 6241 (cell x -39, y -39): ";
  std::vector<std::pair<std::string, std::string>> damaged = {
      {"", "line 1: not a plain PPM map file"},
      {"P", "line 1: not a plain PPM map file"},
      {" P3\n" + good.substr(3), "line 1: not a plain PPM map file"},
      {"p3\n" + good.substr(3), "line 1: not a plain PPM map file"},
      {smallFile(SMALL_HEADER, 80, 79), "line 5: size line: width 80 differs from miny + maxy - 1 = 79"},
      {smallFile(SMALL_HEADER, 79, 78), "line 5: size line: height 78 differs from minx + maxx - 1 = 79"},
      {"P3\n" + SMALL_HEADER + "79 79 256\n" + good.substr(good.find("255\n") + 4),
       "line 5: size line: largest sample value 256, not 255"},
      {"P3\n" + SMALL_HEADER + "79 79\n", "line 6: the file ends before the size line's largest sample value"},
      {"P3\n" + SMALL_HEADER, "line 5: the file ends before the size line's width"},
      {"P3\n# " + std::string(510, 'x') + "\n" + good.substr(3), "line 2: comment line longer than 511 characters"},
      {"P3\n# Resol: res=100\n# Sizes: minx=40 maxx=40 miny=40 maxy=40 # Robot: rradius=1 ssrange=25",
       "line 3: the file ends inside a comment line"},
      {smallFile(SMALL_HEADER, 79, 79, "0 63 x"), "line 6: pixel 1 of 6241 (cell x 39, y 39): its blue sample \"x\" is not a number"},
      {smallFile(SMALL_HEADER, 79, 79, "0 63 -1"), "line 6: pixel 1 of 6241 (cell x 39, y 39): its blue sample \"-1\" is not"},
      {smallFile(SMALL_HEADER, 79, 79, "0 65536 0"), "line 6: pixel 1 of 6241 (cell x 39, y 39): its green sample is above 65535"},
      {good.substr(0, good.size() - 2), lastPixel + "the file ends before its blue sample"},
      {good.substr(0, good.size() - 4), lastPixel + "the file ends before its blue sample"},
      {good.substr(0, good.size() / 2), "line 5: the file is too short for the 79 x 79 pixels of its size line"},
      {good.substr(0, 200), "line 5: the file is too short for the 79 x 79 pixels"},
  };
  // Only the final line feed missing still holds every pixel.
  EXPECT_TRUE(readText(before, good.substr(0, good.size() - 1)));
  copyMap(map, before);
  for (size_t i = 0; i < damaged.size(); ++i) {
    MapFileProblem problem;
    EXPECT_FALSE(readMapBuffer(map, damaged[i].first.data(), damaged[i].first.size(), problem)) << "case " << i;
    EXPECT_EQ(problem.text().rfind(damaged[i].second, 0), 0u) << "case " << i << ": " << problem.text();
    expectSameMap(map, before);
  }
  MapFileProblem problem;
  EXPECT_FALSE(readMapFile(map, path("missing.ppm").c_str(), problem));
  EXPECT_EQ(problem.text(), "No such file or directory");
  EXPECT_FALSE(readMapFile(map, dir.c_str(), problem));
  EXPECT_EQ(problem.text(), "Is a directory");
  expectSameMap(map, before);
}

TEST_F(MapFileTest, HeadersThatWouldMakeAnUnusableMapAreRefused) {
  OccupancyMap map = builtInMap();
  OccupancyMap before = builtInMap();
  auto header = [](const std::string& res, const std::string& extent, const std::string& robot) {
    return "# Resol: res=" + res + "\n# Sizes: minx=" + extent + " maxx=40 miny=40 maxy=40\n# Robot: " + robot + "\n";
  };
  const std::string robot = "rradius=1 ssrange=25";
  struct Case {
    std::string header;
    int height;
    std::string reason;  // the start of the reader's reason, with the key's line
  };
  const std::string extent = ": an extent must be 36 to 2170 cells";
  const Case cases[] = {
      {header("0", "40", robot), 79, "line 2: res=0: the cell size must be at least 10 mm"},
      {header("-100", "40", robot), 79, "line 2: res=-100:"},
      {header("nan", "40", robot), 79, "line 2: res=nan:"},
      {header("inf", "40", robot), 79, "line 2: res=inf:"},
      {header("1e999", "40", robot), 79, "line 2: res=nan:"},
      {header("abc", "40", robot), 79, "line 2: res=0:"},
      {header("5", "40", robot), 79, "line 2: res=5:"},
      {header("100", "0", robot), 39, "line 3: minx=0" + extent},
      {header("100", "-5", robot), 34, "line 3: minx=-5" + extent},
      {header("100", "35", robot), 74, "line 3: minx=35" + extent},
      {header("100", "2171", robot), 2210, "line 3: minx=2171" + extent},
      {header("100", "99999999999999", robot), 79, "line 3: minx=(too large)" + extent},
      {header("100", "40", "rradius=-1 ssrange=25"), 79, "line 4: rradius=-1: must be 0 to 500 cells"},
      {header("100", "40", "rradius=1 ssrange=1e9"), 79, "line 4: ssrange=1e+09: must be 0 to 500 cells"},
      {header("100", "40", "rradius=nan ssrange=25"), 79, "line 4: rradius=nan:"},
      {header("100", "40", "rradius=1 ssrange=501"), 79, "line 4: ssrange=501:"},
  };
  for (const Case& c : cases) {
    const std::string text = smallFile(c.header, 79, c.height);
    MapFileProblem problem;
    EXPECT_FALSE(readMapBuffer(map, text.data(), text.size(), problem)) << c.header;
    EXPECT_EQ(problem.text().rfind(c.reason, 0), 0u) << c.header << " -> " << problem.text();
    expectSameMap(map, before);
  }
  // A size line claiming far more pixels than the file holds fails before any allocation.
  EXPECT_FALSE(readText(map, "P3\n# res=100 minx=2170 maxx=2170 miny=2170 maxy=2170\n4339 4339 255\n0 0 0\n"));
  expectSameMap(map, before);
  // The largest extent growth can reach is accepted.
  EXPECT_TRUE(readText(map, smallFile(header("100", "2170", robot), 79, 2209)));
}

TEST_F(MapFileTest, CarriageReturnsBeforeLineFeedsAreAccepted) {
  OccupancyMap map = builtInMap();
  fillWithContent(map);
  std::string text = written(map);
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  OccupancyMap fromLf = builtInMap(), fromCrlf = builtInMap();
  ASSERT_TRUE(readText(fromLf, text));
  ASSERT_TRUE(readText(fromCrlf, crlf));
  expectSameMap(fromLf, fromCrlf);
}

TEST_F(MapFileTest, KeysAreFoundAnywhereInCommentLines) {
  OccupancyMap map = builtInMap();
  const std::string comments =
      "# minx=1 maxx=1 only to be replaced later\n"
      "#junk maxy=41 then res=50 res=70, xminx=40 and rradius=2.9\r\n"
      "#maxx=40miny=42 ssrange=25.99 res=\n"
      "# res= +100.5e0abc\n";
  ASSERT_TRUE(readText(map, smallFile(comments, 82, 79)));
  EXPECT_EQ(map.res, 100.5);
  EXPECT_EQ(map.minx, 40);
  EXPECT_EQ(map.maxx, 40);
  EXPECT_EQ(map.miny, 42);
  EXPECT_EQ(map.maxy, 41);
  EXPECT_EQ(map.rradius, 2);
  EXPECT_EQ(map.ssrange, 25);
  EXPECT_EQ(map.margin, 35);
  EXPECT_EQ(map.growStep, 135);

  // Missing keys keep the map's values, and margin follows the kept radius.
  OccupancyMap wide(100, 4000, 2500);
  ASSERT_EQ(wide.rradius, 40);
  ASSERT_TRUE(readText(wide, smallFile("# minx=60 maxx=60 miny=60 maxy=60 ssrange=3\n", 119, 119)));
  EXPECT_EQ(wide.rradius, 40);
  EXPECT_EQ(wide.ssrange, 3);
  EXPECT_EQ(wide.res, 100);
  EXPECT_EQ(wide.margin, 50);
  EXPECT_EQ(wide.growStep, 150);
}

TEST_F(MapFileTest, HeaderLinesFollowTheFirstLineRules) {
  OccupancyMap map = builtInMap();
  const std::string body = SMALL_HEADER + "79 79 255\n";
  const std::string pixels = smallFile(SMALL_HEADER).substr(3 + body.size());
  EXPECT_TRUE(readText(map, "P3 anything up to the end of the line\n" + body + pixels + "trailing text"));
  EXPECT_TRUE(readText(map, "P3" + std::string(255, ' ') + "\n" + body + pixels));
  EXPECT_FALSE(readText(map, "P3" + std::string(300, ' ') + "\n" + body + pixels));
  // Comment lines count only directly after the first line.
  EXPECT_FALSE(readText(map, "P3\n\n" + body + pixels));
  EXPECT_TRUE(readText(map, "P3\n# " + std::string(509, 'x') + "\n" + body + pixels));
  EXPECT_TRUE(readText(map, "P3\n# " + std::string(508, 'x') + "\r\n" + body + pixels));
}

TEST_F(MapFileTest, FailedSaveKeepsThePreviousFile) {
  OccupancyMap map = builtInMap();
  const std::string target = path("map_global.ppm");
  ASSERT_TRUE(writeMapFile(map, target.c_str()));
  const std::string previous = fileText(target);

  fillWithContent(map);
  // The temporary file cannot be created where a directory of its name stands.
  const std::string temp = target + ".tmp." + std::to_string(getpid());
  fs::create_directory(temp);
  EXPECT_FALSE(writeMapFile(map, target.c_str()));
  EXPECT_EQ(fileText(target), previous);
  fs::remove(temp);

  EXPECT_FALSE(writeMapFile(map, path("no_such_dir/map.ppm").c_str()));
  fs::create_directory(path("a_directory"));
  EXPECT_FALSE(writeMapFile(map, path("a_directory").c_str()));
  EXPECT_TRUE(fs::is_directory(path("a_directory")));
  EXPECT_FALSE(fs::exists(path("a_directory") + ".tmp." + std::to_string(getpid())));

  EXPECT_TRUE(writeMapFile(map, target.c_str()));
  EXPECT_NE(fileText(target), previous);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
}

}  // namespace
