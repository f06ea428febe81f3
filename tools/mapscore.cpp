// mapscore: scores an agent's map file against the simulator's ground truth, and turns
// map files into map_server maps and pictures and map_server maps back into map files.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "base/version.h"
#include "map/map_file.h"
#include "tools/lib/counted.h"
#include "tools/lib/group_recording.h"
#include "tools/lib/map_picture.h"
#include "tools/lib/map_score.h"
#include "tools/lib/ros_map.h"

namespace {

constexpr int EXIT_FILES = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CANNOT_SCORE = 3;
constexpr int DONE = -1;  // parsing finished the job (--help, --version)

const char USAGE[] =
    "usage: mapscore [--start X Y]... AGENT_MAP.ppm TRUTH.ppm\n"
    "       mapscore --known MAP.ppm\n"
    "       mapscore agree MAP_A.ppm MAP_B.ppm\n"
    "       mapscore export MAP.ppm [--pgm OUT.pgm [--yaml OUT.yaml]]\n"
    "                               [--png OUT.png [--scale N] [--whole] [--title TEXT]\n"
    "                                              [--tracks RECORDING]]\n"
    "       mapscore import MAP.yaml --out MAP.ppm\n"
    "       mapscore --help | --version\n"
    "\n"
    "Scoring compares an agent's map file with robosim's ground truth in the same frame\n"
    "(robosim --truth writes one per start pose, or one in the world frame with\n"
    "--truth-frame world). Both are map files in the agent's PPM format with equal cells.\n"
    "  coverage    share of the reachable free cells of the truth that the map knows as free\n"
    "  accuracy    share of the map's obstacle cells (known, occupancy >= 64) within one cell\n"
    "              of a true wall\n"
    "  false free  share of the true wall cells that the map knows as free\n"
    "then the map's obstacle cells by their distance to the nearest true wall (Chebyshev, in cells):\n"
    "  wall distance   shares at 0, 1, 2, 3, 4, 5-6 and 7 or more cells\n"
    "  within 2 cells  share at most two cells from a true wall\n"
    "  phantoms        share five cells or more from every true wall\n"
    "and the two figures with one cell of tolerance for where a wall lies (the worlds' walls\n"
    "are lines without thickness; one on the edge between two cells is written into one of\n"
    "them, while range noise puts its echoes into either):\n"
    "  wall gaps          share of the true wall cells read as free with no obstacle in a\n"
    "                     free cell beside them either: places where the map has no wall\n"
    "  tolerant coverage  coverage that also counts a free cell next to a true wall when\n"
    "                     the map holds it as an obstacle\n"
    "and by class of cell:\n"
    "  false occupied  share of the reachable free cells of the truth that the map holds as\n"
    "                  obstacles\n"
    "  per class:      coverage, within 2 cells, phantoms, false free and false occupied on\n"
    "                  one line\n"
    "Reachable free cells are those a 4-connected flood reaches without crossing a wall from\n"
    "  --start X Y   the cell of this point (mm, in the maps' frame); repeat it for each robot;\n"
    "otherwise from cell (0, 0), the robot's start cell in its own frame, when the truth has it\n"
    "free; otherwise (a world-frame truth, whose origin is a corner of the building) from every\n"
    "footprint cell of the map that the truth has free, with a note on standard error.\n"
    "--known MAP.ppm prints the number of known cells of a map.\n"
    "agree compares two maps of one frame cell for cell: of the cells known in either, the\n"
    "share both read alike (free, obstacle or unknown), and how many differ.\n"
    "\n"
    "export writes a map file for other tools:\n"
    "  --pgm OUT.pgm   a map_server map: OUT.pgm (binary PGM, +x right, +y up; free 254,\n"
    "                  obstacle 0, unknown 205) and a YAML file (mode trinary, resolution,\n"
    "                  origin, negate 0, occupied_thresh 0.65, free_thresh 0.1), by default\n"
    "                  OUT.yaml; --yaml names it. For ROS 2: ros2 run nav2_map_server\n"
    "                  map_server --ros-args -p yaml_filename:=OUT.yaml\n"
    "  --png OUT.png   a picture with legend and scale bar: free, obstacle, unknown, this\n"
    "                  robot's track, other robots' tracks, the origin; the observed part of\n"
    "                  the map (--whole: all of it), --scale pixels per cell (1 to 32; chosen\n"
    "                  from the map's size by default), --title the line above it (the file name);\n"
    "                  --tracks draws each robot's poses from a recording of the group\n"
    "                  (agentctl record) as a line in the colour the live map page gives it;\n"
    "                  the legend lists only what the picture shows\n"
    "import reads a map_server map (YAML and its PGM or PNG image; trinary, yaw 0) into a map\n"
    "file, for example a known building as map_global.ppm: free cells free, occupied cells\n"
    "obstacles of occupancy 254 (as the agent's own saturated hits), the rest unknown; each\n"
    "pixel goes to the agent's cell nearest its centre, in the frame of the YAML origin.\n"
    "Exit status: 0 done, 1 a file could not be read or written, 2 bad usage, 3 the map cannot be\n"
    "scored (no free cell of the truth is reachable from the start cells).\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "mapscore: %s\nTry 'mapscore --help' for more information.\n", message.c_str());
  return EXIT_USAGE;
}

int fileError(const std::string& message) {
  std::fprintf(stderr, "mapscore: %s\n", message.c_str());
  return EXIT_FILES;
}

// Reads a map file, saying why on standard error when it cannot.
bool load(const char* path, OccupancyMap& map, bool asSaved = false) {
  MapFileProblem problem;
  if (asSaved ? readMapFileAsSaved(map, path, problem) : readMapFile(map, path, problem)) return true;
  fileError(std::string("cannot read map file ") + path + ": " + problem.text());
  return false;
}

OccupancyMap agentSizedMap() { return OccupancyMap(MAP_RES_MM, MAP_ROBOT_RADIUS_MM, MAP_CORRIDOR_MM); }

// The reason getopt_long stopped at an option it could not take.
int optionError(int id, const option* options, char** argv) {
  if (id == ':') return usageError(std::string(argv[optind - 1]) + " needs a value");
  for (const option* o = options; o->name != nullptr; ++o) {
    if (optopt != 0 && o->val == optopt) return usageError(std::string("--") + o->name + " takes no value");
  }
  const std::string given = optopt != 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
  return usageError("unknown option '" + given + "'");
}

int printUsage() {
  std::fputs(USAGE, stdout);
  return DONE;
}

int printVersion() {
  std::printf("mapscore %s\n", MCAGENT_VERSION);
  return DONE;
}

// ---------------------------------------------------------------- scoring

struct ScoreArgs {
  std::vector<std::pair<double, double>> startsMm;
  const char* known = nullptr;
  std::vector<const char*> files;
};

enum ScoreOption { OPT_START = 256, OPT_KNOWN, OPT_HELP, OPT_VERSION };

// --start takes two values: the second is the next argument, taken here.
int takeStart(int argc, char** argv, ScoreArgs& a) {
  if (optind >= argc) return usageError("--start needs two values, X and Y in mm");
  double x, y;
  const char* yText = argv[optind++];
  if (readReal(optarg, -MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM, x) != NumberCheck::Ok ||
      readReal(yText, -MAP_COORD_BOUND_MM, MAP_COORD_BOUND_MM, y) != NumberCheck::Ok) {
    return usageError(std::string("--start ") + optarg + " " + yText + ": X and Y must be numbers of mm within 200000");
  }
  a.startsMm.emplace_back(x, y);
  return 0;
}

int parseScoreArgs(int argc, char** argv, ScoreArgs& a) {
  static const option OPTIONS[] = {{"start", required_argument, nullptr, OPT_START},
                                   {"known", required_argument, nullptr, OPT_KNOWN},
                                   {"help", no_argument, nullptr, OPT_HELP},
                                   {"version", no_argument, nullptr, OPT_VERSION},
                                   {nullptr, 0, nullptr, 0}};
  bool help = false, version = false;
  opterr = 0;
  for (int id; (id = getopt_long(argc, argv, ":h", OPTIONS, nullptr)) != -1;) {
    if (id == OPT_START) {
      if (const int status = takeStart(argc, argv, a)) return status;
    } else if (id == OPT_KNOWN) {
      a.known = optarg;
    } else if (id == OPT_HELP || id == 'h') {
      help = true;
    } else if (id == OPT_VERSION) {
      version = true;
    } else {
      return optionError(id, OPTIONS, argv);
    }
  }
  for (int i = optind; i < argc; ++i) a.files.push_back(argv[i]);
  const size_t wanted = help || version || a.known != nullptr ? 0 : 2;
  if (a.files.size() > wanted) return usageError(std::string("unexpected argument '") + a.files[wanted] + "'");
  if (a.files.size() < wanted) return usageError("needs the agent's map file and the truth file");
  if (help) return printUsage();
  if (version) return printVersion();
  if (a.known != nullptr && !a.startsMm.empty()) return usageError("--start has no meaning with --known");
  return 0;
}

int printKnown(const char* path) {
  OccupancyMap map = agentSizedMap();
  if (!load(path, map)) return EXIT_FILES;
  std::printf("%ld\n", map.knownCells());
  return 0;
}

void printScore(const MapScore& s, double resMm) {
  const WallDistances& d = s.distances;
  std::printf("coverage %.3f (%ld of %ld reachable free cells)\n", s.coverage(), s.coveredFree, s.reachableFree);
  std::printf("accuracy %.3f (%ld of %ld obstacle cells near a true wall)\n", s.accuracy(), s.nearWall, s.agentObstacles);
  std::printf("false free %.3f (%ld of %ld wall cells read as free)\n", s.falseFree(), s.wallsReadFree, s.trueWalls);
  std::printf("wall distance 0 %.3f, 1 %.3f, 2 %.3f, 3 %.3f, 4 %.3f, 5-6 %.3f, 7+ %.3f (%ld obstacle cells, in cells of %g mm)\n",
              d.share(d.cells[0]), d.share(d.cells[1]), d.share(d.cells[2]), d.share(d.cells[3]), d.share(d.cells[4]),
              d.share(d.cells[5]), d.share(d.cells[6]), d.total(), resMm);
  std::printf("within 2 cells %.3f (%ld of %ld obstacle cells)\n", d.share(d.within(2)), d.within(2), d.total());
  std::printf("phantoms %.3f (%ld of %ld obstacle cells %d or more cells from a true wall)\n", d.share(d.phantoms()),
              d.phantoms(), d.total(), WallDistances::PHANTOM_CELLS);
  std::printf("wall gaps %.3f (%ld of %ld wall cells read as free with no obstacle beside them)\n", s.gaps(), s.wallGaps,
              s.trueWalls);
  std::printf("tolerant coverage %.3f (%ld of %ld reachable free cells, those next to a wall known either way)\n",
              s.tolerantCoverage(), s.coveredTolerant, s.reachableFree);
  std::printf("false occupied %.3f (%ld of %ld reachable free cells read as obstacles)\n", s.falseOccupied(),
              s.freeReadOccupied, s.reachableFree);
  std::printf("per class: coverage %.3f, within 2 cells %.3f, phantoms %.3f, false free %.3f, false occupied %.3f\n",
              s.coverage(), d.share(d.within(2)), d.share(d.phantoms()), s.falseFree(), s.falseOccupied());
}

int score(int argc, char** argv) {
  ScoreArgs a;
  if (const int status = parseScoreArgs(argc, argv, a)) return status == DONE ? 0 : status;
  if (a.known != nullptr) return printKnown(a.known);
  OccupancyMap agent = agentSizedMap(), truth = agentSizedMap();
  if (!load(a.files[0], agent) || !load(a.files[1], truth)) return EXIT_FILES;
  if (agent.res != truth.res) {
    char sizes[96];
    std::snprintf(sizes, sizeof sizes, "the map's cells (%g mm) and the truth's (%g mm) differ", agent.res, truth.res);
    return fileError(sizes);
  }
  std::vector<GridCell> starts;
  for (const auto& [x, y] : a.startsMm) starts.push_back({truth.toCell(x), truth.toCell(y)});
  const CoverageSeeds seeds = chooseSeeds(agent, truth, starts);
  if (seeds.source == SeedSource::Footprints) {
    std::fprintf(stderr, "mapscore: cell (0, 0) is not free in the truth; coverage floods from the map's %s\n",
                 counted(static_cast<long>(seeds.cells.size()), "footprint cell").c_str());
  }
  const MapScore scored = scoreMap(agent, truth, seeds.cells);
  // Every share would be of nothing: a refusal says why rather than "coverage 0.000 (0 of 0)".
  if (scored.reachableFree == 0) {
    std::fprintf(stderr, "mapscore: cannot score: %s\n",
                 seeds.source == SeedSource::None
                     ? "cell (0, 0) is not free in the truth and the map has no footprints; give --start X Y"
                     : "no free cell of the truth is reachable from the start cells; give --start X Y in a free place");
    return EXIT_CANNOT_SCORE;
  }
  printScore(scored, agent.res);
  return 0;
}

// ---------------------------------------------------------------- export

struct ExportArgs {
  std::string map, pgm, yaml, png, tracks;
  PictureOptions picture;
  bool titleGiven = false;
};

enum ExportOption { OPT_PGM = 300, OPT_YAML, OPT_PNG, OPT_SCALE, OPT_WHOLE, OPT_TITLE, OPT_TRACKS, OPT_EXPORT_HELP };

int parseExportArgs(int argc, char** argv, ExportArgs& a) {
  static const option OPTIONS[] = {{"pgm", required_argument, nullptr, OPT_PGM},
                                   {"yaml", required_argument, nullptr, OPT_YAML},
                                   {"png", required_argument, nullptr, OPT_PNG},
                                   {"scale", required_argument, nullptr, OPT_SCALE},
                                   {"whole", no_argument, nullptr, OPT_WHOLE},
                                   {"title", required_argument, nullptr, OPT_TITLE},
                                   {"tracks", required_argument, nullptr, OPT_TRACKS},
                                   {"help", no_argument, nullptr, OPT_EXPORT_HELP},
                                   {nullptr, 0, nullptr, 0}};
  opterr = 0;
  bool help = false;
  for (int id; (id = getopt_long(argc, argv, ":h", OPTIONS, nullptr)) != -1;) {
    switch (id) {
      case OPT_PGM: a.pgm = optarg; break;
      case OPT_YAML: a.yaml = optarg; break;
      case OPT_PNG: a.png = optarg; break;
      case OPT_WHOLE: a.picture.wholeMap = true; break;
      case OPT_TITLE: a.picture.title = optarg; a.titleGiven = true; break;
      case OPT_TRACKS: a.tracks = optarg; break;
      case OPT_EXPORT_HELP: case 'h': help = true; break;
      case OPT_SCALE:
        if (readInteger(std::string_view(optarg), 1, PICTURE_MAX_SCALE, a.picture.scale) != NumberCheck::Ok) {
          return usageError("--scale needs a whole number of pixels per cell, 1 to 32");
        }
        break;
      default: return optionError(id, OPTIONS, argv);
    }
  }
  if (optind + 1 < argc) return usageError(std::string("unexpected argument '") + argv[optind + 1] + "'");
  if (help) return printUsage();
  if (optind == argc) return usageError("export needs a map file");
  a.map = argv[optind];
  if (a.pgm.empty() && a.png.empty()) return usageError("export needs --pgm OUT.pgm or --png OUT.png");
  if (!a.yaml.empty() && a.pgm.empty()) return usageError("--yaml goes with --pgm");
  if (a.png.empty() && (a.picture.scale != 0 || a.picture.wholeMap || a.titleGiven || !a.tracks.empty())) {
    return usageError("--scale, --whole, --title and --tracks go with --png");
  }
  if (a.yaml.empty() && !a.pgm.empty()) {
    const size_t dot = a.pgm.find_last_of('.'), slash = a.pgm.find_last_of('/');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    a.yaml = (hasExtension ? a.pgm.substr(0, dot) : a.pgm) + ".yaml";
  }
  if (!a.titleGiven) a.picture.title = a.map;
  return 0;
}

// Each robot's poses from a recording, in name order, as the picture draws them.
bool readTracks(const std::string& path, std::vector<RobotTrack>& tracks) {
  RecordingReader reader;
  RecordedPoses poses;
  std::string error;
  if (!reader.open(path, error) || !readRecordedPoses(reader, poses, error)) {
    fileError("cannot read the tracks: " + error);
    return false;
  }
  if (!reader.cutTail().empty()) std::fprintf(stderr, "mapscore: %s: %s\n", path.c_str(), reader.cutTail().c_str());
  for (auto& [name, points] : poses) tracks.push_back({name, std::move(points)});
  return true;
}

int exportMap(int argc, char** argv) {
  ExportArgs a;
  if (const int status = parseExportArgs(argc, argv, a)) return status == DONE ? 0 : status;
  OccupancyMap map = agentSizedMap();
  if (!load(a.map.c_str(), map, true)) return EXIT_FILES;
  std::string error;
  if (!a.pgm.empty()) {
    if (!exportRosMap(map, a.pgm, a.yaml, error)) return fileError("cannot export: " + error);
    std::printf("wrote %s and %s (%d x %d cells of %g mm)\n", a.pgm.c_str(), a.yaml.c_str(), map.minx + map.maxx - 1,
                map.miny + map.maxy - 1, map.res);
  }
  if (!a.png.empty()) {
    if (!a.tracks.empty() && !readTracks(a.tracks, a.picture.tracks)) return EXIT_FILES;
    const bool drawn = writeMapPicture(map, a.png, a.picture, error);
    releasePictureCaches();
    if (!drawn) return fileError("cannot draw the picture: " + error);
    if (a.tracks.empty()) std::printf("wrote %s\n", a.png.c_str());
    else std::printf("wrote %s with the tracks of %s\n", a.png.c_str(), counted(static_cast<long>(a.picture.tracks.size()), "robot").c_str());
  }
  return 0;
}

// ---------------------------------------------------------------- import

enum ImportOption { OPT_OUT = 400, OPT_IMPORT_HELP };

int parseImportArgs(int argc, char** argv, std::string& yaml, std::string& out) {
  static const option OPTIONS[] = {{"out", required_argument, nullptr, OPT_OUT},
                                   {"help", no_argument, nullptr, OPT_IMPORT_HELP},
                                   {nullptr, 0, nullptr, 0}};
  opterr = 0;
  bool help = false;
  for (int id; (id = getopt_long(argc, argv, ":h", OPTIONS, nullptr)) != -1;) {
    if (id == OPT_OUT) out = optarg;
    else if (id == OPT_IMPORT_HELP || id == 'h') help = true;
    else return optionError(id, OPTIONS, argv);
  }
  if (optind + 1 < argc) return usageError(std::string("unexpected argument '") + argv[optind + 1] + "'");
  if (help) return printUsage();
  if (optind == argc) return usageError("import needs a map_server YAML file");
  if (out.empty()) return usageError("import needs --out MAP.ppm");
  yaml = argv[optind];
  return 0;
}

int importMap(int argc, char** argv) {
  std::string yaml, out, error;
  if (const int status = parseImportArgs(argc, argv, yaml, out)) return status == DONE ? 0 : status;
  RosMap ros;
  ImportSummary summary;
  if (!readRosMap(yaml, ros, error)) return fileError("cannot import: " + error);
  const std::unique_ptr<OccupancyMap> map = toAgentMap(ros, summary, error);
  if (!map) return fileError("cannot import " + yaml + ": " + error);
  errno = 0;
  if (!writeMapFile(*map, out.c_str())) {
    return fileError("cannot write map file " + out + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
  }
  std::printf("imported %d x %d cells of %g mm into %s: %ld free, %ld obstacle, %ld unknown; lower-left cell (%d, %d)\n",
              ros.width, ros.height, map->res, out.c_str(), summary.free, summary.obstacles, summary.unknown,
              summary.firstCellX, summary.firstCellY);
  if (summary.shiftXMm != 0 || summary.shiftYMm != 0) {
    std::printf("note: the origin moved by (%.1f, %.1f) mm onto the agent's cells\n", summary.shiftXMm, summary.shiftYMm);
  }
  if (map->res != MAP_RES_MM) {
    std::printf("note: the map keeps its %g mm cells; the agent's own maps use %g mm cells\n", map->res, MAP_RES_MM);
  }
  return 0;
}

int agreeMaps(int argc, char** argv) {
  if (argc != 3) return usageError("agree needs two map files");
  OccupancyMap a = agentSizedMap(), b = agentSizedMap();
  if (!load(argv[1], a) || !load(argv[2], b)) return EXIT_FILES;
  const MapAgreement m = compareMaps(a, b);
  std::printf("agree %.5f (%ld of %ld cells known in either alike, %ld differ; known %ld and %ld)\n", m.share(),
              m.alike, m.knownEither, m.knownEither - m.alike, m.knownA, m.knownB);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "agree") == 0) return agreeMaps(argc - 1, argv + 1);
  if (argc >= 2 && std::strcmp(argv[1], "export") == 0) return exportMap(argc - 1, argv + 1);
  if (argc >= 2 && std::strcmp(argv[1], "import") == 0) return importMap(argc - 1, argv + 1);
  return score(argc, argv);
}
