#include "map/sonar_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "aria/ar_sip.h"
#include "map/cell_lines.h"
#include "map/map_updates.h"

namespace {

// ---- evidence in the occupancy byte ----
// Bytes 0 to 63 hold evidence EVIDENCE_MIN to 0, bytes 64 to 255 hold 1 to EVIDENCE_MAX,
// each side linear: a monotone map whose obstacle threshold is the first positive step.

constexpr int FREE_TOP_BYTE = OBSTACLE_OCCUPANCY - 1;
constexpr int OCCUPIED_BYTES = 255 - OBSTACLE_OCCUPANCY;

constexpr int roundHalfAway(double v) { return v >= 0 ? static_cast<int>(v + 0.5) : -static_cast<int>(-v + 0.5); }

constexpr int byteOfEvidence(int e) {
  if (e <= 0) return FREE_TOP_BYTE + roundHalfAway(static_cast<double>(e) * FREE_TOP_BYTE / -EVIDENCE_MIN);
  return OBSTACLE_OCCUPANCY + roundHalfAway(static_cast<double>(e - 1) * OCCUPIED_BYTES / (EVIDENCE_MAX - 1));
}

constexpr int evidenceOfByte(int b) {
  if (b < OBSTACLE_OCCUPANCY) return roundHalfAway(static_cast<double>(b - FREE_TOP_BYTE) * -EVIDENCE_MIN / FREE_TOP_BYTE);
  return 1 + roundHalfAway(static_cast<double>(b - OBSTACLE_OCCUPANCY) * (EVIDENCE_MAX - 1) / OCCUPIED_BYTES);
}

constexpr auto BYTE_OF_EVIDENCE = [] {
  std::array<uint8_t, EVIDENCE_MAX - EVIDENCE_MIN + 1> table{};
  for (int e = EVIDENCE_MIN; e <= EVIDENCE_MAX; ++e) table[static_cast<size_t>(e - EVIDENCE_MIN)] = static_cast<uint8_t>(byteOfEvidence(e));
  return table;
}();

constexpr auto EVIDENCE_OF_BYTE = [] {
  std::array<int8_t, 256> table{};
  for (int b = 0; b < 256; ++b) table[static_cast<size_t>(b)] = static_cast<int8_t>(evidenceOfByte(b));
  return table;
}();

constexpr bool evidenceSurvivesTheByte() {
  for (int e = EVIDENCE_MIN; e <= EVIDENCE_MAX; ++e) {
    if (EVIDENCE_OF_BYTE[BYTE_OF_EVIDENCE[static_cast<size_t>(e - EVIDENCE_MIN)]] != e) return false;
  }
  return byteOfEvidence(0) < OBSTACLE_OCCUPANCY && byteOfEvidence(1) == OBSTACLE_OCCUPANCY && byteOfEvidence(EVIDENCE_MAX) == 255 &&
         EVIDENCE_KNOWN_FREE >= INT8_MIN && EVIDENCE_KNOWN_OCCUPIED <= INT8_MAX;
}
static_assert(evidenceSurvivesTheByte());

// ---- the beam's geometry ----

constexpr double BEAM_HALF_DEG = SONAR_BEAM_DEG / 2;
constexpr double MATCH_MM = 20;        // a reading this close to a disc's axis came from that disc
constexpr double STILL_MM = 20;        // the robot moved less than this ...
constexpr double STILL_DEG = 1;        // ... and turned less than this: it stands still
constexpr double SAME_RANGE_MM = 50;   // ranges this close are the same echo within the noise
constexpr double ARC_FULL_CELLS = 2;   // an arc this short gets the whole hit on each cell
constexpr int EVIDENCE_ARC_MIN = 2;    // the least a cell of a long arc gets

// Centre of cell i along one axis, mm (cell 0 spans (-res, res)).
double cellCentre(int32_t i, double res) { return i > 0 ? (i + 0.5) * res : i < 0 ? (i - 0.5) * res : 0.0; }

// std::ceil(v) as an index, without a library call per run of the scan; v must lie
// within the index range.
int32_t ceilIndex(double v) {
  const auto t = static_cast<int32_t>(v);  // toward zero: the ceiling of a negative v
  return t < v ? t + 1 : t;
}

// The first cell whose centre lies at v or beyond; centres rise with the index.
int32_t firstCentreFrom(double v, double res) {
  if (v > 0) return std::max<int32_t>(1, ceilIndex(v / res - 0.5));
  return std::min<int32_t>(0, ceilIndex(v / res + 0.5));
}
int32_t lastCentreUpTo(double v, double res) { return -firstCentreFrom(-v, res); }

// One beam's cone: apex, axis and edges with their directions, worked out once.
struct Cone {
  Cone(double x, double y, double thDeg, double coneReach)
      : ox(x), oy(y), th(thDeg), reach(coneReach), ax(ArMath::cos(thDeg)), ay(ArMath::sin(thDeg)),
        rx(ArMath::cos(thDeg - BEAM_HALF_DEG)), ry(ArMath::sin(thDeg - BEAM_HALF_DEG)),
        lx(ArMath::cos(thDeg + BEAM_HALF_DEG)), ly(ArMath::sin(thDeg + BEAM_HALF_DEG)) {}
  double ox, oy, th, reach;
  double ax, ay;  // the axis
  double rx, ry;  // the right edge
  double lx, ly;  // the left edge
};

// Grows the map over the cone's bounding box: the apex, the arc's ends and the points of
// the arc that lie furthest along an axis.
void coverCone(OccupancyMap& map, const Cone& cone) {
  double x0 = cone.ox, x1 = cone.ox, y0 = cone.oy, y1 = cone.oy;
  auto include = [&](double px, double py) {
    x0 = std::min(x0, px), x1 = std::max(x1, px), y0 = std::min(y0, py), y1 = std::max(y1, py);
  };
  include(cone.ox + cone.reach * cone.rx, cone.oy + cone.reach * cone.ry);
  include(cone.ox + cone.reach * cone.lx, cone.oy + cone.reach * cone.ly);
  for (double axis : {0.0, 90.0, 180.0, 270.0}) {
    if (std::fabs(ArMath::subAngle(axis, cone.th)) <= BEAM_HALF_DEG) {
      include(cone.ox + cone.reach * ArMath::cos(axis), cone.oy + cone.reach * ArMath::sin(axis));
    }
  }
  map.growToCover(map.toCell(x0), map.toCell(y0));
  map.growToCover(map.toCell(x1), map.toCell(y1));
}

// A cell of the cone as the scan visits it: its indices, and its centre from the apex (mm).
struct ConeCell {
  int32_t x, y;
  double dx, dy;
  double d2() const { return dx * dx + dy * dy; }
};

// Narrows [lo, hi] by the constraint a * v >= b (atLeast) or a * v <= b; a constraint with
// a = 0 leaves it or empties it.
void bound(double a, double b, bool atLeast, double& lo, double& hi) {
  if (a == 0) {
    if (atLeast ? b > 0 : b < 0) hi = lo - 1;
    return;
  }
  const double v = b / a;
  if ((a > 0) == atLeast) lo = std::max(lo, v);
  else hi = std::min(hi, v);
}

// The cells y = j0 to j1 (none when j0 > j1) of the cone at x, whose centre lies u from
// the apex along x.
struct ConeRun {
  int32_t x, j0, j1;
  double u;
};

// One run's cells in the order the scan visits them, first to last.
struct RunCells {
  RowHalves row;
  int32_t x, first, last, step;
  double u, res, oy;

  MapCell& operator[](int32_t y) const { return row[y]; }
  ConeCell at(int32_t y) const { return ConeCell{x, y, u, cellCentre(y, res) - oy}; }
  // Calls visit(cell, ConeCell) for the cells from `from` to `to`; none when `from` lies
  // past `to`.
  template <class Visit>
  void visit(int32_t from, int32_t to, Visit& visit) const {
    if ((to - from) * step < 0) return;
    for (int32_t y = from;; y += step) {
      visit(row[y], at(y));
      if (y == to) return;
    }
  }
};

// Calls onRun(RunCells) for every run of cells whose centres lie in the cone within its
// reach; the map must cover them (coverCone). The cone is cut into runs of one x each
// (the grid's rows, contiguous in memory): the columns from the apex outward, first
// toward +x then toward -x, and in each the cells away from the apex along y. Every
// direction within the cone thus meets its cells nearest first. The scan ends early once
// done() says nothing further can change.
template <class OnRun, class Done>
void scanCone(OccupancyMap& map, const Cone& cone, OnRun onRun, Done done) {
  const double res = map.res, reach2 = cone.reach * cone.reach, ox = cone.ox, oy = cone.oy;
  // The run at x; false once it lies beyond the reach.
  auto runAt = [&](int32_t x, ConeRun& run) {
    const double u = cellCentre(x, res) - ox, u2 = u * u;
    if (u2 > reach2) return false;
    run = ConeRun{x, 1, 0, u};
    const double clip = std::sqrt(reach2 - u2);
    double lo = -clip, hi = clip;
    bound(cone.rx, cone.ry * u, true, lo, hi);   // left of the right edge: rx * v - ry * u >= 0
    bound(cone.lx, cone.ly * u, false, lo, hi);  // right of the left edge: lx * v - ly * u <= 0
    // An edge all but parallel to the run leaves a bound far beyond any cell index: the
    // run is empty, and must be found so before the bounds become indices.
    if (lo <= hi) run.j0 = firstCentreFrom(oy + lo, res), run.j1 = lastCentreUpTo(oy + hi, res);
    return true;
  };
  auto cellsOf = [&](const ConeRun& run) {
    const RowHalves row = rowAt(map, run.x);
    if (cone.ay >= 0) return RunCells{row, run.x, run.j0, run.j1, 1, run.u, res, oy};
    return RunCells{row, run.x, run.j1, run.j0, -1, run.u, res, oy};
  };
  const int32_t first = firstCentreFrom(ox, res);
  for (const int32_t step : {1, -1}) {
    int32_t x = step > 0 ? first : first - 1;
    for (bool more = true; more && !done();) {
      // A batch of runs is bounded before any of its cells is visited, so that the
      // square roots and divisions of one run need not wait for the cells of the last.
      std::array<ConeRun, 32> batch;
      size_t n = 0;
      while (n < batch.size() && (more = runAt(x, batch[n]))) {
        if (batch[n].j0 <= batch[n].j1) ++n;
        x += step;
      }
      for (size_t i = 0; i < n && !done(); ++i) onRun(cellsOf(batch[i]));
    }
  }
}

// Whether a beam along (dx, dy) meets the surface through cell (x, y) at a grazing
// angle: the surface's line, the principal axis of the cells with occupied evidence
// among the 24 around it, lies within 45 degrees of the beam. Fewer than two such cells,
// or a scatter without a clear axis (a corner, a blob), tells no line. A smooth surface
// reflects a grazing beam away rather than answering it (Konolige 1997).
bool grazes(const OccupancyMap& map, int32_t x, int32_t y, double dx, double dy) {
  constexpr int32_t REACH = 2;
  double sxx = 0, syy = 0, sxy = 0;
  int n = 0;
  for (int32_t i = -REACH; i <= REACH; ++i) {
    for (int32_t j = -REACH; j <= REACH; ++j) {
      if ((i == 0 && j == 0) || cellEvidence(map.cellOrUnknown(x + i, y + j)) <= 0) continue;
      sxx += i * i, syy += j * j, sxy += i * j, ++n;
    }
  }
  if (n < 2) return false;
  const double half = (sxx - syy) / 2, spread = std::sqrt(half * half + sxy * sxy), mean = (sxx + syy) / 2;
  if (mean + spread < 2 * (mean - spread)) return false;
  const double axis = std::atan2(2 * sxy, sxx - syy) / 2;
  return std::fabs(dx * std::cos(axis) + dy * std::sin(axis)) >= std::cos(ArMath::degToRad(45));
}

// Occupied evidence for each cell of the arc at range: the whole hit while the arc spans
// at most ARC_FULL_CELLS cells, then shared, as the echo came from one place on it.
int arcEvidence(double range, double res) {
  const double cells = ArMath::degToRad(SONAR_BEAM_DEG) * range / res;
  const double share = cells <= ARC_FULL_CELLS ? 1.0 : ARC_FULL_CELLS / cells;
  return std::max(EVIDENCE_ARC_MIN, roundHalfAway(EVIDENCE_HIT * share));
}

// Per sector of the cone (CONE_SECTORS across it, by the tangent of the angle off the
// axis), whether a cell the map holds as an obstacle has been passed: the sound of that
// sector stopped there, so what lies beyond it in the sector heard nothing of this beam,
// and the echo did not come from there either. (Weak evidence of a single far arc, still
// unknown, stops nothing: it is what later beams must clear.) An obstacle shades every
// sector its cell spans, so that no sector slips between the cells of a wall.
class Shadows {
 public:
  Shadows(const Cone& cone, double res) : myCos(cone.ax), mySin(cone.ay), myHalfCell(res / 2 * perTangent()) {}
  bool behind(const ConeCell& c) const {
    if (myBlocked == 0) return false;
    if (myBlocked == ALL_SECTORS) return true;
    return (myBlocked >> sectorAt(across(c)) & 1) != 0;
  }
  bool none() const { return myBlocked == 0; }
  // Every sector is shaded: nothing further in the cone hears this beam.
  bool all() const { return myBlocked == ALL_SECTORS; }
  void pass(const ConeCell& c, MapCell cell) {
    if (!isObstacleCell(cell)) return;
    const double at = across(c), halfWidth = myHalfCell / std::sqrt(std::max(c.d2(), 1.0));
    for (size_t k = sectorAt(at - halfWidth), last = sectorAt(at + halfWidth); k <= last; ++k) myBlocked |= 1u << k;
  }

 private:
  static constexpr int CONE_SECTORS = 16;
  static constexpr uint32_t ALL_SECTORS = (1u << CONE_SECTORS) - 1;
  // Sectors per unit of the tangent of the angle off the axis.
  static double perTangent() {
    static const double value = CONE_SECTORS / (2 * std::tan(ArMath::degToRad(BEAM_HALF_DEG)));
    return value;
  }
  static size_t sectorAt(double across) { return static_cast<size_t>(std::clamp(across, 0.0, CONE_SECTORS - 1.0)); }
  // Where the cell lies across the cone, in sectors from one edge.
  double across(const ConeCell& c) const {
    const double along = c.dx * myCos + c.dy * mySin;
    if (along <= 0) return CONE_SECTORS / 2.0;
    return (c.dy * myCos - c.dx * mySin) / along * perTangent() + CONE_SECTORS / 2.0;
  }

  double myCos, mySin;
  double myHalfCell;  // half a cell's width at unit distance, in sectors
  uint32_t myBlocked = 0;  // bit k: sector k is shaded
};

// One step of evidence as a table over a cell's unknown bit and occupancy byte: the new
// unknown bit and byte of each of the 512 (unchanged where the step leaves the evidence
// as it is), so that updating a cell is one lookup.
class EvidenceStep {
 public:
  // step(evidence) gives the new evidence.
  template <class Step>
  explicit EvidenceStep(Step step) {
    for (size_t i = 0; i < myNext.size(); ++i) {
      const MapCell c = static_cast<MapCell>((i & 0x100 ? CELL_UNKNOWN : 0) | (i & CELL_OCCUPANCY));
      const int e = cellEvidence(c), next = step(e);
      myNext[i] = next == e ? c : withEvidence(c, next) & (CELL_UNKNOWN | CELL_OCCUPANCY);
    }
  }
  MapCell apply(MapCell c) const {
    return static_cast<MapCell>((c & ~(CELL_UNKNOWN | CELL_OCCUPANCY)) | myNext[((c & CELL_UNKNOWN) >> 7) | (c & CELL_OCCUPANCY)]);
  }

 private:
  std::array<MapCell, 512> myNext{};
};

const EvidenceStep& keepStep() {
  static const EvidenceStep step([](int e) { return e; });
  return step;
}

const EvidenceStep& freeStep() {
  static const EvidenceStep step([](int e) { return e + EVIDENCE_FREE; });
  return step;
}

// Silence lowers only cells that hold no occupied evidence, and only down to its floor.
const EvidenceStep& silentStep() {
  static const EvidenceStep step([](int e) { return e > 0 || e <= EVIDENCE_SILENT_FLOOR ? e : std::max(e + EVIDENCE_SILENT, EVIDENCE_SILENT_FLOOR); });
  return step;
}

// A quiet beam frees as an echo's cone does, but still lowers no cell that holds occupied
// evidence.
const EvidenceStep& quietStep() {
  static const EvidenceStep step([](int e) { return e > 0 ? e : e + EVIDENCE_FREE; });
  return step;
}

const EvidenceStep& hitStep(int evidence) {
  static const std::array<EvidenceStep, EVIDENCE_HIT + 1> steps = [] {
    return [&]<size_t... K>(std::index_sequence<K...>) {
      return std::array<EvidenceStep, EVIDENCE_HIT + 1>{EvidenceStep([](int e) { return e + static_cast<int>(K); })...};
    }(std::make_index_sequence<EVIDENCE_HIT + 1>());
  }();
  return steps[static_cast<size_t>(std::clamp(evidence, 0, EVIDENCE_HIT))];
}

// Applies step to the cells of run from `from` to `to` up to the first obstacle; returns
// that obstacle's y, or the y past `to` when there was none. An obstacle shades what lies
// behind it, so that the cells from it on need the full rule.
int32_t applyUpToObstacle(const RunCells& run, int32_t from, int32_t to, const EvidenceStep& step) {
  for (int32_t y = from;; y += run.step) {
    MapCell& cell = run[y];
    if (isObstacleCell(cell)) return y;
    cell = step.apply(cell);
    if (y == to) return y + run.step;
  }
}

// Free evidence in the cone well short of the echo, occupied evidence on the arc; neither
// behind an obstacle in its sector. A known obstacle met at a grazing angle keeps its
// evidence, however little it holds.
void applyEcho(OccupancyMap& map, const SonarBeam& beam) {
  const double freeTo = beam.range - SONAR_FREE_MARGIN_MM, arcFrom = beam.range - SONAR_ARC_HALF_MM;
  const double reach = beam.range + SONAR_ARC_HALF_MM;
  const double free2 = freeTo > 0 ? freeTo * freeTo : -1.0, arc2 = arcFrom > 0 ? arcFrom * arcFrom : 0.0;
  const EvidenceStep& onArc = hitStep(arcEvidence(beam.range, map.res));
  const EvidenceStep& onFree = freeStep();
  const Cone cone(beam.x, beam.y, beam.th, reach);
  Shadows shadows(cone, map.res);
  coverCone(map, cone);
  constexpr double SUSPECT_FROM2 = SONAR_SUSPECT_FROM_MM * SONAR_SUSPECT_FROM_MM;
  // Whether a cell lies on a suspect side of the cone, where it gains no free evidence.
  auto suspect = [&](const ConeCell& c) {
    if (c.d2() <= SUSPECT_FROM2) return false;
    const double left = c.dy * cone.ax - c.dx * cone.ay;
    return (beam.suspectLeft && left > 0) || (beam.suspectRight && left < 0);
  };
  auto visit = [&](MapCell& cell, const ConeCell& c) {
    if (shadows.behind(c)) return;
    const double d2 = c.d2();
    if (d2 >= arc2) {
      cell = onArc.apply(cell);
      return;
    }
    if (isObstacleCell(cell)) {
      shadows.pass(c, cell);
      if (cellEvidence(cell) >= EVIDENCE_CONFIRMED && grazes(map, c.x, c.y, cone.ax, cone.ay)) return;
    }
    if (d2 < free2 && !suspect(c)) cell = onFree.apply(cell);
  };
  // Until some obstacle in the cone short of the arc shades a sector, a cell's update
  // depends on its distance from the apex alone (on a cone without suspect sides): the
  // step is chosen without a branch (the arc, the band short of it and the free core
  // alternate along every run).
  const std::array<const EvidenceStep*, 3> steps{&onArc, &keepStep(), &onFree};
  const bool anySuspect = beam.suspectLeft || beam.suspectRight;
  auto onRun = [&](const RunCells& run) {
    if (!shadows.none() || anySuspect) return run.visit(run.first, run.last, visit);
    for (int32_t y = run.first;; y += run.step) {
      MapCell& cell = run[y];
      const double d2 = run.at(y).d2();
      const size_t k = static_cast<size_t>(d2 < arc2) + static_cast<size_t>(d2 < free2);
      if (isObstacleCell(cell) & (k != 0)) return run.visit(y, run.last, visit);
      cell = steps[k]->apply(cell);
      if (y == run.last) return;
    }
  };
  scanCone(map, cone, onRun, [&] { return shadows.all(); });
}

// Silence lowers only cells that hold no occupied evidence, only down to its floor (a
// quiet beam's to known free), and not behind an obstacle in its sector: a wall met at a
// grazing angle is silent too and hides what lies behind it.
void applySilence(OccupancyMap& map, const SonarBeam& beam) {
  const EvidenceStep& quiet = beam.quiet ? quietStep() : silentStep();
  const Cone cone(beam.x, beam.y, beam.th, SONAR_SILENT_REACH_MM);
  Shadows shadows(cone, map.res);
  coverCone(map, cone);
  auto visit = [&](MapCell& cell, const ConeCell& c) {
    if (shadows.behind(c)) return;
    shadows.pass(c, cell);
    cell = quiet.apply(cell);
  };
  // Until some obstacle shades a sector, every cell takes the quiet step.
  auto onRun = [&](const RunCells& run) {
    if (!shadows.none()) return run.visit(run.first, run.last, visit);
    run.visit(applyUpToObstacle(run, run.first, run.last, quiet), run.last, visit);
  };
  scanCone(map, cone, onRun, [&] { return shadows.all(); });
}

// The ring's mounts with their axes' cosine and sine, worked out once.
struct Mount {
  double x, y, th, cos, sin;
};
const std::array<Mount, arproto::kGeometryDiscs>& mounts() {
  static const std::array<Mount, arproto::kGeometryDiscs> table = [] {
    std::array<Mount, arproto::kGeometryDiscs> out{};
    for (int disc = 0; disc < arproto::kGeometryDiscs; ++disc) {
      const arproto::SonarMount& m = arproto::sonarMount(disc);
      out[static_cast<size_t>(disc)] = Mount{m.x, m.y, m.th, ArMath::cos(m.th), ArMath::sin(m.th)};
    }
    return out;
  }();
  return table;
}

SonarBeam beamOfDisc(const ArPose& robotPose, int disc, double range, bool heard) {
  const Mount& m = mounts()[static_cast<size_t>(disc)];
  const double c = ArMath::cos(robotPose.getTh()), s = ArMath::sin(robotPose.getTh());
  return SonarBeam{robotPose.getX() + c * m.x - s * m.y, robotPose.getY() + s * m.x + c * m.y,
                   ArMath::fixAngle(robotPose.getTh() + m.th), range, disc, heard};
}

}  // namespace

bool readMapModel(std::string_view name, MapModel& model) {
  if (name == "ray") model = MapModel::Ray;
  else if (name == "sonar") model = MapModel::Sonar;
  else return false;
  return true;
}

const char* mapModelName(MapModel model) { return model == MapModel::Sonar ? "sonar" : "ray"; }

int cellEvidence(MapCell c) {
  if ((c & CELL_UNKNOWN) != 0) return static_cast<int8_t>(c & CELL_OCCUPANCY);
  return EVIDENCE_OF_BYTE[c & CELL_OCCUPANCY];
}

MapCell withEvidence(MapCell c, int evidence) {
  const int e = std::clamp(evidence, EVIDENCE_MIN, EVIDENCE_MAX);
  const MapCell rest = c & ~(CELL_UNKNOWN | CELL_OCCUPANCY);
  if ((c & CELL_UNKNOWN) != 0 && e > EVIDENCE_KNOWN_FREE && e < EVIDENCE_KNOWN_OCCUPIED) {
    return static_cast<MapCell>(rest | CELL_UNKNOWN | static_cast<uint8_t>(static_cast<int8_t>(e)));
  }
  return static_cast<MapCell>(rest | BYTE_OF_EVIDENCE[static_cast<size_t>(e - EVIDENCE_MIN)]);
}

SonarBeam beamOfReading(const ArPose& point, const ArPose& robotPose) {
  const double c = ArMath::cos(robotPose.getTh()), s = ArMath::sin(robotPose.getTh());
  const double dx = point.getX() - robotPose.getX(), dy = point.getY() - robotPose.getY();
  const double lx = c * dx + s * dy, ly = -s * dx + c * dy;
  int best = -1;
  double bestOff = MATCH_MM, bestAlong = 0;
  for (int disc = 0; disc < arproto::kGeometryDiscs; ++disc) {
    const Mount& m = mounts()[static_cast<size_t>(disc)];
    const double vx = lx - m.x, vy = ly - m.y;
    const double along = vx * m.cos + vy * m.sin, off = std::fabs(vy * m.cos - vx * m.sin);
    if (along >= 0 && off < bestOff) best = disc, bestOff = off, bestAlong = along;
  }
  if (best < 0) return SonarBeam{robotPose.getX(), robotPose.getY(), ArMath::atan2(dy, dx), std::hypot(dx, dy), -1, true};
  return beamOfDisc(robotPose, best, bestAlong, true);
}

SonarBeam silentBeam(const ArPose& robotPose, int disc) { return beamOfDisc(robotPose, disc, 0, false); }

bool StillBeams::repeats(const SonarBeam& beam, const ArPose& robotPose) {
  if (beam.disc < 0 || beam.disc >= static_cast<int>(myLast.size())) return false;
  Last& last = myLast[static_cast<size_t>(beam.disc)];
  const bool sameEcho = last.heard == beam.heard && (!beam.heard || std::fabs(last.range - beam.range) < SAME_RANGE_MM);
  if (last.valid && sameEcho && std::hypot(robotPose.getX() - last.x, robotPose.getY() - last.y) < STILL_MM &&
      std::fabs(ArMath::subAngle(robotPose.getTh(), last.th)) < STILL_DEG) {
    return true;
  }
  last = Last{true, beam.heard, robotPose.getX(), robotPose.getY(), robotPose.getTh(), beam.range};
  return false;
}

bool StillBeams::silentAt(int disc, const ArPose& robotPose) const {
  const int ring = static_cast<int>(myLast.size());
  const Last& last = myLast[static_cast<size_t>((disc % ring + ring) % ring)];
  return last.valid && !last.heard && std::hypot(robotPose.getX() - last.x, robotPose.getY() - last.y) <= SONAR_QUIET_MOVE_MM;
}

bool StillBeams::quietAround(int disc, const ArPose& robotPose) const {
  if (disc < 0 || disc >= static_cast<int>(myLast.size())) return false;
  for (int k = 1; k <= SONAR_QUIET_NEIGHBOURS; ++k) {
    if (!silentAt(disc - k, robotPose) || !silentAt(disc + k, robotPose)) return false;
  }
  return true;
}

// The ring's discs run clockwise: disc - 1 is the counter-clockwise neighbour.
void StillBeams::judgeEcho(SonarBeam& beam, const ArPose& robotPose) const {
  if (!beam.heard || beam.disc < 0 || beam.disc >= static_cast<int>(myLast.size()) || beam.range <= SONAR_SUSPECT_RANGE_MM) return;
  const bool wide = beam.range > SONAR_SUSPECT_WIDE_MM;
  beam.suspectLeft = silentAt(beam.disc - 1, robotPose) || (wide && silentAt(beam.disc - 2, robotPose));
  beam.suspectRight = silentAt(beam.disc + 1, robotPose) || (wide && silentAt(beam.disc + 2, robotPose));
}

bool markSonarReading(OccupancyMap& map, const SonarBeam& beam, const ArPose& robotPose, FootprintStyle style) {
  if (!pointInBounds(robotPose.getX(), robotPose.getY()) || !pointInBounds(beam.x, beam.y) ||
      !std::isfinite(beam.th) || !std::isfinite(beam.range)) {
    return false;
  }
  const int32_t rx = map.toCell(robotPose.getX()), ry = map.toCell(robotPose.getY());
  map.growToCover(rx, ry);
  if (style == FootprintStyle::Own) stampFootprint(map, rx, ry);
  else stampPeerFootprint(map, rx, ry);
  if (!beam.heard) applySilence(map, beam);
  else if (beam.range < SONAR_NO_ECHO_MM) applyEcho(map, beam);
  return true;
}

bool markSonarHit(OccupancyMap& map, const ArPose& point) {
  if (!pointInBounds(point.getX(), point.getY())) return false;
  const int32_t px = map.toCell(point.getX()), py = map.toCell(point.getY());
  map.growToCover(px, py);
  MapCell& c = map.cellAt(px, py);
  c = withEvidence(c, cellEvidence(c) + EVIDENCE_HIT);
  return true;
}
