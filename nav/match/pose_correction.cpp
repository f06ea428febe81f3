#include "nav/match/pose_correction.h"

#include <algorithm>
#include <cmath>

namespace {

// The share of a measurement of variance measured that updates a state of variance prior.
double gainOf(double prior, double measured) { return prior + measured > 0 ? prior / (prior + measured) : 0; }

// The shift the match supports: along each eigenvector of its covariance that it
// determined well enough, the gained share of its correction. False when it determined
// none; gain receives the smallest gain used.
bool gainedShift(const MatchResult& m, double doubtMm, double maxSigma, double& dx, double& dy, bool& partial,
                 double& gain) {
  const double half = (m.covXX + m.covYY) / 2;
  const double gap = std::sqrt(std::max(0.0, (m.covXX - m.covYY) * (m.covXX - m.covYY) / 4 + m.covXY * m.covXY));
  const double eigen[2] = {half - gap, half + gap};
  const double prior = doubtMm * doubtMm, limit = maxSigma * maxSigma;
  dx = dy = 0;
  partial = false;
  gain = 1;
  bool any = false;
  for (int i = 0; i < 2; ++i) {
    const double lambda = eigen[i];
    if (lambda > limit) {
      partial = true;
      continue;
    }
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
    const double k = gainOf(prior, lambda);
    const double along = k * (m.dx * ex + m.dy * ey);
    dx += along * ex;
    dy += along * ey;
    gain = std::min(gain, k);
    any = true;
  }
  return any;
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
  doubt.mm = std::min(limits.maxDoubtMm, doubt.mm + limits.distanceShare * distanceMm);
  return doubt;
}

CorrectionStep decideCorrection(const MatchResult& match, const MapWindow& map, const ArPose& pivot, PoseDoubt& doubt,
                                const CorrectionLimits& limits) {
  CorrectionStep step;
  if (!match.scored || match.points < limits.minPoints || match.support < limits.minSupport) return step;
  step.verdict = CorrectionVerdict::Ambiguous;
  double dx = 0, dy = 0, shiftGain = 0;
  if (match.sigmaTh > limits.maxSigmaDeg ||
      !gainedShift(match, doubt.mm, limits.maxSigmaMm, dx, dy, step.partial, shiftGain)) {
    return step;
  }
  const double turnGain = gainOf(doubt.deg * doubt.deg, match.sigmaTh * match.sigmaTh);
  const double length = std::hypot(dx, dy);
  if (length > limits.maxStepMm) {
    dx *= limits.maxStepMm / length;
    dy *= limits.maxStepMm / length;
  }
  const double dth = std::clamp(match.dth * turnGain, -limits.maxStepDeg, limits.maxStepDeg);
  if (crossesObstacle(map, pivot.getX(), pivot.getY(), pivot.getX() + dx, pivot.getY() + dy)) {
    step.verdict = CorrectionVerdict::AcrossWall;
    return step;
  }
  step.verdict = CorrectionVerdict::Applied;
  step.dx = dx;
  step.dy = dy;
  step.dth = dth;
  doubt.deg *= std::sqrt(1 - turnGain);
  if (!step.partial) doubt.mm *= std::sqrt(1 - shiftGain);
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
