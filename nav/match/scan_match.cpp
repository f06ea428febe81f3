#include "nav/match/scan_match.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace {

// Likelihood of an echo in mapped space far from every mapped obstacle (a stray echo, a
// robot, a reading the map has not caught up with), and of one in unmapped space, which
// neither supports nor contradicts a correction.
constexpr double FLOOR_LIKELIHOOD = 0.05;
constexpr double UNKNOWN_LIKELIHOOD = 0.3;
// An echo this many sigmas or nearer from a mapped obstacle supports the match.
constexpr double SUPPORT_SIGMAS = 2;
// Obstacles are felt this many sigmas away; beyond, the Gaussian is below the floor.
constexpr double REACH_SIGMAS = 3;
// Candidates whose posterior weight falls below this share of the best one's are left out.
constexpr double NEGLIGIBLE_WEIGHT = 1e-9;

double obstacleLogLikelihood(double squaredDistance, double sigma) {
  return std::log(FLOOR_LIKELIHOOD + std::exp(-squaredDistance / (2 * sigma * sigma)));
}

struct Bounds {
  double minX = std::numeric_limits<double>::max(), minY = minX;
  double maxX = std::numeric_limits<double>::lowest(), maxY = maxX;
  void add(double x, double y) {
    minX = std::min(minX, x);
    minY = std::min(minY, y);
    maxX = std::max(maxX, x);
    maxY = std::max(maxY, y);
  }
};

// A fine grid over the area the echoes can reach under every correction tried: the
// log-likelihood of an echo at each of its cells, from the distance to the nearest
// mapped obstacle cell.
class LikelihoodField {
 public:
  LikelihoodField(const MapWindow& map, const Bounds& area, double step, double sigma)
      : myX0(area.minX), myY0(area.minY), myStep(step) {
    myColumns = static_cast<int>(std::ceil((area.maxX - area.minX) / step)) + 1;
    myRows = static_cast<int>(std::ceil((area.maxY - area.minY) / step)) + 1;
    myValues.resize(static_cast<size_t>(myColumns) * static_cast<size_t>(myRows));
    fillFromCells(map);
    stampObstacles(map, sigma);
  }

  ptrdiff_t index(double x, double y) const {
    return static_cast<ptrdiff_t>(row(y)) * myColumns + column(x);
  }
  ptrdiff_t stride() const { return myColumns; }
  float at(ptrdiff_t index) const { return myValues[static_cast<size_t>(index)]; }

 private:
  int column(double x) const { return static_cast<int>(std::floor((x - myX0) / myStep)); }
  int row(double y) const { return static_cast<int>(std::floor((y - myY0) / myStep)); }
  double centreX(int c) const { return myX0 + (c + 0.5) * myStep; }
  double centreY(int r) const { return myY0 + (r + 0.5) * myStep; }
  float& value(int c, int r) { return myValues[static_cast<size_t>(r) * static_cast<size_t>(myColumns) + static_cast<size_t>(c)]; }

  void fillFromCells(const MapWindow& map) {
    const float unknown = static_cast<float>(std::log(UNKNOWN_LIKELIHOOD));
    const float known = static_cast<float>(std::log(FLOOR_LIKELIHOOD));
    for (int r = 0; r < myRows; ++r) {
      for (int c = 0; c < myColumns; ++c) value(c, r) = (map.cellAt(centreX(c), centreY(r)) & CELL_UNKNOWN) ? unknown : known;
    }
  }

  // Every obstacle cell raises the field around its centre to the Gaussian of the distance.
  void stampObstacles(const MapWindow& map, double sigma) {
    const double reach = REACH_SIGMAS * sigma;
    for (int32_t cy = map.y0; cy < map.y0 + map.height; ++cy) {
      for (int32_t cx = map.x0; cx < map.x0 + map.width; ++cx) {
        if (isObstacleCell(map.at(cx, cy))) stampAround(map.cellCentre(cx), map.cellCentre(cy), reach, sigma);
      }
    }
  }

  void stampAround(double ox, double oy, double reach, double sigma) {
    const int c0 = std::max(0, column(ox - reach)), c1 = std::min(myColumns - 1, column(ox + reach));
    const int r0 = std::max(0, row(oy - reach)), r1 = std::min(myRows - 1, row(oy + reach));
    for (int r = r0; r <= r1; ++r) {
      const double dy = centreY(r) - oy;
      for (int c = c0; c <= c1; ++c) {
        const double dx = centreX(c) - ox;
        float& v = value(c, r);
        v = std::max(v, static_cast<float>(obstacleLogLikelihood(dx * dx + dy * dy, sigma)));
      }
    }
  }

  double myX0, myY0, myStep;
  int myColumns = 0, myRows = 0;
  std::vector<float> myValues;
};

// The echoes' arcs: points across each beam (and across the turn while it was heard), at
// the echo's range from where the robot stood. An echo scores by the likeliest of them.
class ArcScorer {
 public:
  ArcScorer(std::span<const ScanPoint> points, const ArPose& pivot, const MatchSettings& s) : myPivot(pivot) {
    for (const ScanPoint& p : points) {
      myFirst.push_back(myArcs.size());
      mySector.push_back(sectorOf(p.x - p.fromX, p.y - p.fromY));
      const double half = s.beamHalfDeg + std::max(0.0, p.spreadDeg);
      const int sides = static_cast<int>(std::ceil(half / s.arcStepDeg - 1e-9));
      const double rx = p.x - p.fromX, ry = p.y - p.fromY;
      for (int i = -sides; i <= sides; ++i) {
        const double across = sides == 0 ? 0 : half * i / sides;
        const double c = ArMath::cos(across), sn = ArMath::sin(across);
        myArcs.push_back({p.fromX + c * rx - sn * ry, p.fromY + sn * rx + c * ry});
      }
    }
    myFirst.push_back(myArcs.size());
    myIndex.resize(myArcs.size());
  }

  // The area every arc point reaches under every shift and turn up to the given ones.
  Bounds reach(double shiftMm, double turnDeg) const {
    Bounds b;
    double farthest = 0;
    for (const ScanPoint& p : myArcs) {
      b.add(p.x, p.y);
      farthest = std::max(farthest, std::hypot(p.x - myPivot.getX(), p.y - myPivot.getY()));
    }
    const double margin = shiftMm + farthest * ArMath::degToRad(turnDeg);
    return {b.minX - margin, b.minY - margin, b.maxX + margin, b.maxY + margin};
  }

  // Every arc point turned by deg about the pivot, as its index in the field.
  void turn(const LikelihoodField& field, double deg) {
    const double c = ArMath::cos(deg), s = ArMath::sin(deg);
    for (size_t i = 0; i < myArcs.size(); ++i) {
      const double rx = myArcs[i].x - myPivot.getX(), ry = myArcs[i].y - myPivot.getY();
      myIndex[i] = field.index(myPivot.getX() + c * rx - s * ry, myPivot.getY() + s * rx + c * ry);
    }
  }

  // Log-likelihood of the echoes shifted by offset (field cells: row * stride + column).
  double score(const LikelihoodField& field, ptrdiff_t offset) const {
    double sum = 0;
    for (size_t e = 0; e + 1 < myFirst.size(); ++e) sum += best(field, e, offset);
    return sum;
  }

  // The echoes scoring at least level, in all and by the sector their beams faced.
  int countAtLeast(const LikelihoodField& field, ptrdiff_t offset, double level, int (&facing)[FACING_SECTORS]) const {
    int n = 0;
    for (size_t e = 0; e + 1 < myFirst.size(); ++e) {
      if (best(field, e, offset) < level) continue;
      ++n;
      ++facing[mySector[e]];
    }
    return n;
  }

 private:
  float best(const LikelihoodField& field, size_t echo, ptrdiff_t offset) const {
    float m = field.at(myIndex[myFirst[echo]] + offset);
    for (size_t j = myFirst[echo] + 1; j < myFirst[echo + 1]; ++j) m = std::max(m, field.at(myIndex[j] + offset));
    return m;
  }

  static int sectorOf(double dx, double dy) {
    const double turns = std::atan2(dy, dx) / (2 * M_PI);
    const int sector = static_cast<int>(std::floor((turns < 0 ? turns + 1 : turns) * FACING_SECTORS));
    return std::clamp(sector, 0, FACING_SECTORS - 1);
  }

  ArPose myPivot;
  std::vector<int> mySector;  // each echo's beam direction
  std::vector<ScanPoint> myArcs;
  std::vector<size_t> myFirst;  // each echo's first arc point, and the end
  std::vector<ptrdiff_t> myIndex;
};

struct Candidate {
  double dx = 0, dy = 0, dth = 0;
  double score = -std::numeric_limits<double>::infinity();
};

// The posterior's moments over the candidates of a pass, each weighted by exp(score - best).
struct Posterior {
  std::vector<Candidate> all;
  Candidate best;
  double unmoved = 0;  // the score of no correction

  void add(const Candidate& c) {
    all.push_back(c);
    if (c.score > best.score) best = c;
    if (c.dx == 0 && c.dy == 0 && c.dth == 0) unmoved = c.score;
  }
  // Mean (dx, dy, dth) and the covariance entries into result.
  void summarize(MatchResult& r) const {
    double w = 0, x = 0, y = 0, th = 0, xx = 0, xy = 0, yy = 0, tt = 0;
    for (const Candidate& c : all) {
      const double cw = std::exp(c.score - best.score);
      if (cw < NEGLIGIBLE_WEIGHT) continue;
      w += cw;
      x += cw * c.dx;
      y += cw * c.dy;
      th += cw * c.dth;
      xx += cw * c.dx * c.dx;
      xy += cw * c.dx * c.dy;
      yy += cw * c.dy * c.dy;
      tt += cw * c.dth * c.dth;
    }
    r.dx = x / w;
    r.dy = y / w;
    r.dth = th / w;
    r.covXX = std::max(0.0, xx / w - r.dx * r.dx);
    r.covXY = xy / w - r.dx * r.dy;
    r.covYY = std::max(0.0, yy / w - r.dy * r.dy);
    r.sigmaTh = std::sqrt(std::max(0.0, tt / w - r.dth * r.dth));
  }
};

}  // namespace

MatchResult matchScan(std::span<const ScanPoint> points, const ArPose& pivot, const MapWindow& map,
                      const MatchSettings& settings) {
  MatchResult result;
  if (points.empty() || map.cells.empty()) return result;
  const double cell = settings.fieldStepMm;
  const int stride = std::max(1, static_cast<int>(std::lround(settings.stepMm / cell)));
  const int shifts = static_cast<int>(std::lround(settings.searchMm / settings.stepMm));
  const int turns = static_cast<int>(std::lround(settings.searchDeg / settings.stepDeg));
  ArcScorer scorer(points, pivot, settings);
  const LikelihoodField field(map, scorer.reach(settings.searchMm + 2 * cell, settings.searchDeg), cell, settings.sigmaMm);

  Posterior posterior;
  for (int k = -turns; k <= turns; ++k) {
    scorer.turn(field, k * settings.stepDeg);
    for (int b = -shifts; b <= shifts; ++b) {
      for (int a = -shifts; a <= shifts; ++a) {
        const ptrdiff_t offset = (b * field.stride() + a) * stride;
        posterior.add({a * settings.stepMm, b * settings.stepMm, k * settings.stepDeg, scorer.score(field, offset)});
      }
    }
  }
  posterior.summarize(result);

  const Candidate& best = posterior.best;
  scorer.turn(field, best.dth);
  const double supportLevel = obstacleLogLikelihood(
      SUPPORT_SIGMAS * SUPPORT_SIGMAS * settings.sigmaMm * settings.sigmaMm, settings.sigmaMm);
  const ptrdiff_t bestOffset = (std::lround(best.dy / settings.stepMm) * field.stride() + std::lround(best.dx / settings.stepMm)) * stride;
  result.support = scorer.countAtLeast(field, bestOffset, supportLevel, result.facing);
  result.points = static_cast<int>(points.size());
  result.gain = best.score - posterior.unmoved;
  result.scored = true;
  return result;
}

int echoesFacing(const int (&facing)[FACING_SECTORS], double ex, double ey) {
  int n = 0;
  for (int i = 0; i < FACING_SECTORS; ++i) {
    const double centre = (i + 0.5) * 2 * M_PI / FACING_SECTORS;
    if (std::cos(centre) * ex + std::sin(centre) * ey >= 0.5) n += facing[i];
  }
  return n;
}

int waysFaced(const int (&facing)[FACING_SECTORS], int least) {
  return static_cast<int>(std::count_if(std::begin(facing), std::end(facing), [least](int n) { return n >= least; }));
}

ArPose correctedPose(const ArPose& pose, const ArPose& pivot, double dx, double dy, double dth) {
  const double c = ArMath::cos(dth), s = ArMath::sin(dth);
  const double rx = pose.getX() - pivot.getX(), ry = pose.getY() - pivot.getY();
  return ArPose(pivot.getX() + c * rx - s * ry + dx, pivot.getY() + s * rx + c * ry + dy, pose.getTh() + dth);
}
