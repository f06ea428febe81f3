#include "nav/match/pose_correction.h"

#include <algorithm>
#include <cmath>

namespace {

// The share of a measurement of variance measured that updates a state of variance prior.
double gainOf(double prior, double measured) { return prior + measured > 0 ? prior / (prior + measured) : 0; }

// What the match's shift comes to along each eigenvector of its covariance: the gained
// share of its correction where it determined that direction and odometry does not
// contradict it, nothing elsewhere.
struct GainedShift {
  double dx = 0, dy = 0;
  double gain = 1;          // the smallest gain used
  int used = 0;             // directions corrected
  bool contradicted = false;
};

GainedShift gainedShift(const MatchResult& m, double doubtMm, const CorrectionLimits& limits) {
  const double half = (m.covXX + m.covYY) / 2;
  const double gap = std::sqrt(std::max(0.0, (m.covXX - m.covYY) * (m.covXX - m.covYY) / 4 + m.covXY * m.covXY));
  const double eigen[2] = {half - gap, half + gap};
  const double prior = doubtMm * doubtMm, limit = limits.maxSigmaMm * limits.maxSigmaMm;
  GainedShift g;
  for (int i = 0; i < 2; ++i) {
    const double lambda = eigen[i];
    if (lambda > limit) continue;
    // The eigenvector of lambda: (covXY, lambda - covXX) or (lambda - covYY, covXY); with
    // no correlation and equal variances, the axes.
    double ex = m.covXY, ey = lambda - m.covXX;
    if (std::hypot(ex, ey) < 1e-9) {
      ex = lambda - m.covYY;
      ey = m.covXY;
    }
    const double norm = std::hypot(ex, ey);
    if (norm < 1e-9) {
      ex = i == 0 ? 1 : 0;
      ey = 1 - ex;
    } else {
      ex /= norm;
      ey /= norm;
    }
    const double along = m.dx * ex + m.dy * ey;
    if (std::fabs(along) > limits.contradictSigmas * doubtMm) {
      g.contradicted = true;
      continue;
    }
    const double k = gainOf(prior, lambda);
    g.dx += k * along * ex;
    g.dy += k * along * ey;
    g.gain = std::min(g.gain, k);
    ++g.used;
  }
  return g;
}

// A mapped obstacle lies on the straight way from (x0, y0) to (x1, y1), the start's own
// cell aside (the robot may stand beside a wall smeared into its cell).
bool crossesObstacle(const MapWindow& map, double x0, double y0, double x1, double y1) {
  const double length = std::hypot(x1 - x0, y1 - y0);
  const int steps = static_cast<int>(std::ceil(length / (map.res / 4)));
  const int32_t startX = map.cellIndex(x0), startY = map.cellIndex(y0);
  for (int i = 1; i <= steps; ++i) {
    const double t = static_cast<double>(i) / steps;
    const int32_t cx = map.cellIndex(x0 + t * (x1 - x0)), cy = map.cellIndex(y0 + t * (y1 - y0));
    if (cx == startX && cy == startY) continue;
    if (isObstacleCell(map.at(cx, cy))) return true;
  }
  return false;
}

}  // namespace

PoseDoubt grownDoubt(PoseDoubt doubt, double distanceMm, double turnDeg, const CorrectionLimits& limits) {
  doubt.deg = std::min(limits.maxDoubtDeg, doubt.deg + limits.turnShare * turnDeg + limits.degPerMetre * distanceMm / 1000);
  const double share = limits.distanceShare + ArMath::sin(doubt.deg);
  doubt.mm = std::min(limits.maxDoubtMm, doubt.mm + share * distanceMm);
  return doubt;
}

CorrectionStep decideCorrection(const MatchResult& match, const MapWindow& map, const ArPose& pivot, PoseDoubt& doubt,
                                const CorrectionLimits& limits) {
  CorrectionStep step;
  if (!match.scored || match.points < limits.minPoints || match.support < limits.minSupport) return step;
  step.verdict = CorrectionVerdict::Contradicted;
  if (std::fabs(match.dth) > limits.contradictSigmas * doubt.deg) return step;
  const bool turns = match.sigmaTh <= limits.maxSigmaDeg;
  GainedShift shift = gainedShift(match, doubt.mm, limits);
  if (!turns && shift.used == 0) {
    if (!shift.contradicted) step.verdict = CorrectionVerdict::Ambiguous;
    return step;
  }
  step.partial = shift.used == 1;
  const double length = std::hypot(shift.dx, shift.dy);
  if (length > limits.maxStepMm) {
    shift.dx *= limits.maxStepMm / length;
    shift.dy *= limits.maxStepMm / length;
  }
  const double turnGain = turns ? gainOf(doubt.deg * doubt.deg, match.sigmaTh * match.sigmaTh) : 0;
  const double dth = std::clamp(match.dth * turnGain, -limits.maxStepDeg, limits.maxStepDeg);
  if (crossesObstacle(map, pivot.getX(), pivot.getY(), pivot.getX() + shift.dx, pivot.getY() + shift.dy)) {
    step.verdict = CorrectionVerdict::AcrossWall;
    return step;
  }
  step.verdict = CorrectionVerdict::Applied;
  step.dx = shift.dx;
  step.dy = shift.dy;
  step.dth = dth;
  doubt.deg *= std::sqrt(1 - turnGain);
  if (shift.used == 2) doubt.mm *= std::sqrt(1 - shift.gain);
  return step;
}

MatchResult MatchSmoother::smoothed(const MatchResult& match) {
  if (!match.scored) return match;
  myKept[myNext] = {match.dx, match.dy, match.dth};
  myNext = (myNext + 1) % KEPT;
  myCount = std::min(myCount + 1, KEPT);
  double dx = 0, dy = 0, dth = 0;
  for (int i = 0; i < myCount; ++i) {
    dx += myKept[i].dx / myCount;
    dy += myKept[i].dy / myCount;
    dth += myKept[i].dth / myCount;
  }
  MatchResult m = match;
  if (myCount < KEPT) dx = dy = dth = 0;  // too few yet to tell agreement from noise
  const bool shifts = std::hypot(dx, dy) >= DEAD_MM;
  m.dx = shifts ? dx : 0;
  m.dy = shifts ? dy : 0;
  m.dth = std::fabs(dth) >= DEAD_DEG ? dth : 0;
  return m;
}

void MatchSmoother::stepped(const CorrectionStep& step) {
  for (int i = 0; i < myCount; ++i) {
    myKept[i].dx -= step.dx;
    myKept[i].dy -= step.dy;
    myKept[i].dth -= step.dth;
  }
}
