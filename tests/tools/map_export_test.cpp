// Maps for other tools: the map_server export read back cell for cell, the thresholds of
// third-party maps, what an import refuses, and mapscore's command line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/version.h"
#include "tools/lib/group_recording.h"
#include "tools/lib/map_picture.h"
#include "tools/lib/ros_map.h"

namespace {

namespace fs = std::filesystem;

std::string fileText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

class MapExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/map_export_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Imports the YAML file: the agent map, or null with the reason in error.
  std::unique_ptr<OccupancyMap> import(const std::string& yamlName, ImportSummary& summary) {
    RosMap ros;
    error.clear();
    if (!readRosMap((dir / yamlName).string(), ros, error)) return nullptr;
    return toAgentMap(ros, summary, error);
  }

  fs::path dir;
  std::string error;
};

TEST_F(MapExportTest, RoundTripKeepsEveryCellsClassWithXRightAndYUp) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  map.growToCover(-200, 0);  // not symmetric: 324 cells of x below the origin, 124 above
  map.cellAt(3, 0) = 200;                              // obstacle on +x: right of the origin
  map.cellAt(0, 3) = 0;                                // free on +y: above it
  map.cellAt(-150, -2) = OBSTACLE_OCCUPANCY;           // the threshold is an obstacle
  map.cellAt(-150, 2) = OBSTACLE_OCCUPANCY - 1;        // just below it is free
  map.cellAt(5, 5) = CELL_FOOTPRINT | CELL_OWN_FOOTPRINT | 3;  // a track is free
  map.cellAt(7, -7) = CELL_UNKNOWN | 200;              // never observed: unknown
  ASSERT_TRUE(exportRosMap(map, (dir / "m.pgm").string(), (dir / "m.yaml").string(), error)) << error;

  // The image: width along x, height along y, row 0 at the largest y.
  const std::string pgm = fileText(dir / "m.pgm");
  const std::string header = "P5\n# mcagent map, 100 mm cells\n" + std::to_string(map.minx + map.maxx - 1) + " " +
                             std::to_string(map.miny + map.maxy - 1) + "\n255\n";
  ASSERT_EQ(pgm.compare(0, header.size(), header), 0) << pgm.substr(0, 60);
  ASSERT_EQ(pgm.size(), header.size() + size_t(map.minx + map.maxx - 1) * size_t(map.miny + map.maxy - 1));
  auto pixel = [&](int32_t x, int32_t y) {
    const size_t row = size_t(map.maxy - 1 - y), column = size_t(x + map.minx - 1);
    return static_cast<uint8_t>(pgm[header.size() + row * size_t(map.minx + map.maxx - 1) + column]);
  };
  EXPECT_EQ(pixel(3, 0), PGM_OBSTACLE);
  EXPECT_EQ(pixel(0, 3), PGM_FREE);
  EXPECT_EQ(pixel(0, -3), PGM_UNKNOWN);
  EXPECT_EQ(pixel(-150, -2), PGM_OBSTACLE);
  EXPECT_EQ(pixel(-150, 2), PGM_FREE);
  EXPECT_EQ(pixel(5, 5), PGM_FREE);
  EXPECT_EQ(pixel(7, -7), PGM_UNKNOWN);

  // The cell (x, y) is the square centred on (x, y) x 100 mm.
  EXPECT_EQ(fileText(dir / "m.yaml"),
            "image: m.pgm\nmode: trinary\nresolution: 0.1\norigin: [-32.45, -12.45, 0]\nnegate: 0\n"
            "occupied_thresh: 0.65\nfree_thresh: 0.1\n");

  ImportSummary summary;
  const std::unique_ptr<OccupancyMap> back = import("m.yaml", summary);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->res, map.res);
  EXPECT_EQ(summary.firstCellX, -(map.minx - 1));
  EXPECT_EQ(summary.firstCellY, -(map.miny - 1));
  EXPECT_EQ(summary.shiftXMm, 0);
  EXPECT_EQ(summary.shiftYMm, 0);
  EXPECT_EQ(summary.obstacles, 2);
  EXPECT_EQ(summary.free, 3);
  for (int32_t x = -back->minx + 1; x < back->maxx; ++x) {
    for (int32_t y = -back->miny + 1; y < back->maxy; ++y) {
      ASSERT_EQ(classify(back->cellValue(x, y)), classify(map.cellOrUnknown(x, y))) << x << "," << y;
    }
  }
  EXPECT_EQ(back->cellValue(3, 0), IMPORTED_OBSTACLE);
  EXPECT_EQ(back->cellValue(0, 3), 0);
}

TEST_F(MapExportTest, ThirdPartyMapsAreReadWithTheirThresholdsNegateAndOrigin) {
  // A plain PGM of largest value 15: shades 0, 255, 119, 51, 204, 170, 221 (v x 17) give
  // p = 1, 0, 0.53, 0.8, 0.2, 0.33, 0.13 with negate 0.
  writeText(dir / "third.pgm", "P2\n# from elsewhere\n7 2\n15\n0 15 7 3 12 10 13\n15 15 15 15 15 15 0\n");
  const std::string yaml =
      "image: third.pgm\nresolution: 0.05\norigin: [-1.03, 2.0, 0.0]\noccupied_thresh: 0.65\nfree_thresh: 0.196\n";
  writeText(dir / "plain.yaml", yaml + "negate: 0\n");
  writeText(dir / "negated.yaml", yaml + "negate: 1\nmode: trinary\n");

  ImportSummary summary;
  std::unique_ptr<OccupancyMap> map = import("plain.yaml", summary);
  ASSERT_TRUE(map) << error;
  EXPECT_EQ(map->res, 50);
  EXPECT_EQ(map->rradius, 3) << "the agent's robot radius, in this map's cells";
  // The lower-left pixel's centre lies at (-1005, 2025) mm: cells (-20.1, 40.5) round to
  // (-20, 41) (half away from zero), moving the map by (5, 25) mm.
  EXPECT_EQ(summary.firstCellX, -20);
  EXPECT_EQ(summary.firstCellY, 41);
  EXPECT_NEAR(summary.shiftXMm, 5, 1e-9);
  EXPECT_NEAR(summary.shiftYMm, 25, 1e-9);
  const CellClass O = CellClass::Obstacle, F = CellClass::Free, U = CellClass::Unknown;
  const CellClass top[7] = {O, F, U, O, U, U, F};
  for (int32_t i = 0; i < 7; ++i) EXPECT_EQ(classify(map->cellValue(-20 + i, 42)), top[i]) << i;
  EXPECT_EQ(classify(map->cellValue(-14, 41)), O);
  EXPECT_EQ(classify(map->cellValue(-20, 41)), F);

  map = import("negated.yaml", summary);
  ASSERT_TRUE(map) << error;
  const CellClass negatedTop[7] = {F, O, U, U, O, O, O};
  for (int32_t i = 0; i < 7; ++i) EXPECT_EQ(classify(map->cellValue(-20 + i, 42)), negatedTop[i]) << i;
}

TEST_F(MapExportTest, WhatTheAgentsMapsCannotHoldIsRefusedWithAReason) {
  writeText(dir / "m.pgm", "P5\n2 1\n255\n\xfe");  // one sample short
  writeText(dir / "ok.pgm", std::string("P5 2 1 255\n\xfe\x00", 13));
  writeText(dir / "huge.pgm", "P5\n16384 16384\n255\n\xfe\xfe");  // 30 bytes declaring 256 Mi pixels
  // A PNG's signature and header chunk declaring 100000 x 100000 pixels, and nothing more.
  writeText(dir / "huge.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\0\0\0\0", 29));
  const std::string thresholds = "occupied_thresh: 0.65\nfree_thresh: 0.196\nnegate: 0\n";
  const std::string fields = "resolution: 0.1\n" + thresholds;
  const std::pair<std::string, std::string> cases[] = {
      {"image: ok.pgm\norigin: [0, 0, 0.5]\n" + fields, "origin yaw 0.5"},
      {"image: ok.pgm\norigin: [0, 0, 0]\nmode: scale\n" + fields, "mode scale: only trinary maps"},
      {"image: ok.pgm\norigin: [0, 0]\n" + fields, "origin must be [x, y, yaw]"},
      {"image: ok.pgm\norigin: [0, 0, 0]\nresolution: 0.1\nnegate: 0\noccupied_thresh: 0.65\n", "no free_thresh"},
      {"image: ok.pgm\norigin: [0, 0, 0]\nresolution: 0.005\noccupied_thresh: 0.65\nfree_thresh: 0.196\nnegate: 0\n",
       "resolution 0.005: the cells must be at least 0.01 m"},
      {"image: ok.pgm\norigin: [0, 0, 0]\nresolution: x\n", "line 3: resolution cannot be read"},
      {"image: ok.pgm\norigin: [0, 0, 0\n" + fields, "line 3: "},
      {"image: ok.pgm\norigin: [300, 0, 0]\n" + fields, "farther than 200 m"},
      {"image: none.pgm\norigin: [0, 0, 0]\n" + fields, "none.pgm: No such file or directory"},
      {"image: m.pgm\norigin: [0, 0, 0]\n" + fields, "m.pgm: the PGM image holds fewer samples than its size"},
      {"image: huge.pgm\norigin: [0, 0, 0]\n" + fields, "(16384 x 16384 cells of 100 mm) reaches farther than 200 m"},
      {"image: huge.pgm\norigin: [0, 0, 0]\nresolution: 0.01\n" + thresholds, "map file larger than the agents read"},
      {"image: huge.png\norigin: [0, 0, 0]\n" + fields, "(100000 x 100000 cells of 100 mm) reaches farther"},
      {"image: /dev/zero\norigin: [0, 0, 0]\n" + fields, "/dev/zero: not a regular file"},
  };
  for (const auto& [text, reason] : cases) {
    writeText(dir / "bad.yaml", text);
    ImportSummary summary;
    EXPECT_FALSE(import("bad.yaml", summary)) << text;
    EXPECT_NE(error.find(reason), std::string::npos) << text << "\n -> " << error;
  }
  writeText(dir / "good.yaml", "image: ok.pgm\norigin: [0, 0, 0]\n" + fields);
  ImportSummary summary;
  EXPECT_TRUE(import("good.yaml", summary)) << "the cases above differ from a good file only where named: " << error;
}

// mapscore as a program: status, standard output and standard error of one command line.
struct ProgramRun {
  int status;
  std::string out, err;
};

ProgramRun mapscore(const fs::path& dir, const std::string& args) {
  const std::string command = "cd '" + dir.string() + "' && '" MCAGENT_BIN_DIR "/tools/mapscore' " + args +
                              " >out.txt 2>err.txt";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, fileText(dir / "out.txt"), fileText(dir / "err.txt")};
}

TEST_F(MapExportTest, MapscoreCommandLine) {
  OccupancyMap map(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM);
  map.cellAt(1, 1) = 0;
  ASSERT_TRUE(exportRosMap(map, (dir / "m.pgm").string(), (dir / "m.yaml").string(), error));
  RecordingWriter recording;
  ASSERT_TRUE(recording.open((dir / "run.pcap").string(), error)) << error;
  for (const std::string p : {"P bravo 0 300 0", "P alpha 0 0 0", "P alpha 500 0 0", "M all 1"}) {
    recording.write(p.c_str(), p.size() + 1, sockaddr_in{}, timespec{});
  }
  ASSERT_TRUE(recording.close(error)) << error;
  struct Case {
    std::string args;
    int status;
    std::string out, err;  // fragments of standard output and error
  };
  const Case cases[] = {
      {"--help", 0, "usage: mapscore", ""},
      {"--version", 0, std::string("mapscore ") + MCAGENT_VERSION + "\n", ""},
      {"-x a.ppm b.ppm", 2, "", "unknown option '-x'"},
      {"--help extra", 2, "", "unexpected argument 'extra'"},
      {"--known a.ppm b.ppm", 2, "", "unexpected argument 'b.ppm'"},
      {"--start 1 a.ppm b.ppm", 2, "", "--start 1 a.ppm"},
      {"only.ppm", 2, "", "needs the agent's map file and the truth file"},
      {"export", 2, "", "export needs a map file"},
      {"export x.ppm", 2, "", "export needs --pgm OUT.pgm or --png OUT.png"},
      {"export x.ppm --pgm y.pgm --scale 2", 2, "", "--scale, --whole, --title and --tracks go with --png"},
      {"export x.ppm --png y.png --scale 0", 2, "", "--scale needs a whole number"},
      {"import m.yaml", 2, "", "import needs --out MAP.ppm"},
      {"import m.yaml --out back.ppm", 0, "imported 249 x 249 cells of 100 mm into back.ppm: 1 free, 0 obstacle", ""},
      {"--known back.ppm", 0, "1\n", ""},
      {"export back.ppm --png back.png --pgm again.pgm", 0, "wrote again.pgm and again.yaml", ""},
      {"export back.ppm --png team.png --tracks run.pcap", 0, "wrote team.png with the tracks of 2 robots", ""},
      {"m.yaml back.ppm", 1, "", "cannot read map file m.yaml: line 1: not a plain PPM map file"},
      {"export missing.ppm --png x.png", 1, "", "cannot read map file missing.ppm: No such file or directory"},
      {"import /dev/zero --out z.ppm", 1, "", "cannot import: /dev/zero: not a regular file"},
      {"back.ppm back.ppm", 3, "", "cannot score: cell (0, 0) is not free in the truth and the map has no footprints"},
  };
  for (const Case& c : cases) {
    const ProgramRun r = mapscore(dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
  }
  EXPECT_EQ(fileText(dir / "back.png").substr(0, 4), "\x89PNG");
  EXPECT_EQ(fileText(dir / "again.pgm"), fileText(dir / "m.pgm"));

  using Labels = std::vector<std::string>;
  PictureOptions picture;
  EXPECT_EQ(pictureLegend(map, picture), (Labels{"free", "unknown", "origin (0, 0)"})) << "only what is drawn";
  map.cellAt(2, 1) = 0 | CELL_FOOTPRINT;
  picture.tracks = {{"alpha", {{0, 0}, {500, 0}}}, {"bravo", {{0, 300}}}};
  EXPECT_EQ(pictureLegend(map, picture), (Labels{"free", "unknown", "footprints (where robots went)", "alpha", "bravo",
                                                 "origin (0, 0)"}));
}

}  // namespace
