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

// The match with its correction and its certainty taken away: what the smoother passes on
// where the blocks neither agree on a correction nor on none, so that the pose's doubt
// is not lessened by matches that merely disagree.
MatchResult withoutEvidence(MatchResult m) {
  constexpr double UNDETERMINED_MM = 1e6, UNDETERMINED_DEG = 1e3;
  m.dx = m.dy = m.dth = 0;
  m.covXX = m.covYY = UNDETERMINED_MM * UNDETERMINED_MM;
  m.covXY = 0;
  m.sigmaTh = UNDETERMINED_DEG;
  return m;
}

// A block's matches had, on average, enough supporting echoes from beams facing each
// way along (ex, ey).
bool seenBothWays(const int (&facing)[FACING_SECTORS], double ex, double ey) {
  const int least = MatchSmoother::FACING_ECHOES * MatchSmoother::BLOCK;
  return echoesFacing(facing, ex, ey) >= least && echoesFacing(facing, -ex, -ey) >= least;
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
  if (!match.scored || match.points < limits.minPoints || match.support < limits.minSupport ||
      waysFaced(match.facing, limits.waysEchoes) < limits.minWays) {
    return step;
  }
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

MatchResult MatchSmoother::smoothed(const MatchResult& match, const ArPose& pivot) {
  if (!match.scored) return match;
  Kept& kept = myKept[myNext];
  kept = {match.dx, match.dy, match.dth, match.gain, pivot, {}};
  std::copy(std::begin(match.facing), std::end(match.facing), std::begin(kept.facing));
  myNext = (myNext + 1) % KEPT;
  myCount = std::min(myCount + 1, KEPT);
  MatchResult m = match;
  m.dx = m.dy = m.dth = 0;
  m.covXX = std::max(m.covXX, FLOOR_MM * FLOOR_MM);
  m.covYY = std::max(m.covYY, FLOOR_MM * FLOOR_MM);
  m.sigmaTh = std::max(m.sigmaTh, FLOOR_DEG);
  const MatchResult undetermined = withoutEvidence(m);
  if (myCount < KEPT) return myKeepDoubt ? undetermined : m;  // too few yet to tell agreement from noise
  // The blocks' means, oldest first (the ring's next slot holds the oldest match), each
  // with where its first match was made.
  Kept block[BLOCKS] = {};
  Kept mean = {};
  for (int i = 0; i < KEPT; ++i) {
    const Kept& k = myKept[(myNext + i) % KEPT];
    Kept& b = block[i / BLOCK];
    if (i % BLOCK == 0) b.pivot = k.pivot;
    b.dx += k.dx / BLOCK;
    b.dy += k.dy / BLOCK;
    b.dth += k.dth / BLOCK;
    b.gain += k.gain / BLOCK;
    for (int f = 0; f < FACING_SECTORS; ++f) b.facing[f] += k.facing[f];
    mean.dx += k.dx / KEPT;
    mean.dy += k.dy / KEPT;
    mean.dth += k.dth / KEPT;
  }
  bool turns = true, shifts = true, noTurn = true, noShift = true;
  const double length = std::hypot(mean.dx, mean.dy);
  for (int i = 0; i < BLOCKS; ++i) {
    const Kept& b = block[i];
    const bool firm = b.gain >= MARGIN;
    const bool elsewhere = i == 0 || b.pivot.findDistanceTo(block[i - 1].pivot) >= APART_MM ||
                           std::fabs(ArMath::subAngle(b.pivot.getTh(), block[i - 1].pivot.getTh())) >= APART_DEG;
    turns = turns && firm && elsewhere && std::fabs(b.dth) >= DEAD_DEG && (b.dth > 0) == (mean.dth > 0);
    shifts = shifts && firm && elsewhere && length > 0 && (b.dx * mean.dx + b.dy * mean.dy) / length >= DEAD_MM &&
             seenBothWays(b.facing, mean.dx / length, mean.dy / length);
    noTurn = noTurn && firm && elsewhere && std::fabs(b.dth) < DEAD_DEG / 2;
    noShift = noShift && firm && elsewhere && std::hypot(b.dx, b.dy) < DEAD_MM / 2;
  }
  if (shifts) {
    m.dx = mean.dx;
    m.dy = mean.dy;
  } else if (myKeepDoubt && !noShift) {
    m.covXX = m.covYY = undetermined.covXX;
    m.covXY = 0;
  }
  if (turns) {
    m.dth = mean.dth;
  } else if (myKeepDoubt && !noTurn) {
    m.sigmaTh = undetermined.sigmaTh;
  }
  return m;
}

void MatchSmoother::stepped(const CorrectionStep& step) {
  for (int i = 0; i < myCount; ++i) {
    myKept[i].dx -= step.dx;
    myKept[i].dy -= step.dy;
    myKept[i].dth -= step.dth;
  }
}

double HeadingCalibration::expected(double turnDeg, double distanceMm) {
  myTurn += turnDeg;
  myMetres += distanceMm / 1000;
  // Only an estimate two standard deviations from none is used: a correction or two, each
  // as likely a matching error, do not set the drive's error.
  const double share = std::fabs(myShare) >= 2 * std::sqrt(myP[0][0]) ? myShare : 0;
  const double perMetre = std::fabs(myPerMetre) >= 2 * std::sqrt(myP[1][1]) ? myPerMetre : 0;
  const double error = share * turnDeg + perMetre * distanceMm / 1000;
  myTakenOff += error;
  return error;
}

void HeadingCalibration::corrected(double dth) {
  // A correction's turn is known to about a degree; the error it reveals is what the
  // estimate did not take off already.
  constexpr double NOISE_DEG2 = 1;
  const double phi[2] = {myTurn, myMetres};
  // What the correction found against what the estimate would have left: the estimate's
  // parts not used took nothing off.
  const double innovation = dth + myTakenOff - (myShare * myTurn + myPerMetre * myMetres);
  myTurn = myMetres = myTakenOff = 0;
  const double pPhi[2] = {myP[0][0] * phi[0] + myP[0][1] * phi[1], myP[1][0] * phi[0] + myP[1][1] * phi[1]};
  const double spread = phi[0] * pPhi[0] + phi[1] * pPhi[1] + NOISE_DEG2;
  const double k[2] = {pPhi[0] / spread, pPhi[1] / spread};
  myShare = std::clamp(myShare + k[0] * innovation, -MAX_SHARE, MAX_SHARE);
  myPerMetre = std::clamp(myPerMetre + k[1] * innovation, -MAX_DEG_PER_METRE, MAX_DEG_PER_METRE);
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) myP[i][j] -= k[i] * pPhi[j];
  }
}
