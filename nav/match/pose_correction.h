#pragma once
// What a match may change in the robot's pose. The pose's doubt against the map grows as
// the robot drives and turns (odometry drifts with both) and shrinks with every
// correction: each step takes the share of the match's correction that the two
// uncertainties give it, as a Kalman filter's update would, so that weak matches nudge a
// pose that is still good and firm ones pull back a pose that has drifted. Only what the
// match determined is corrected (the shift without the turn when only the shift is),
// within a bound per step, and never so that the robot passes through a mapped obstacle
// on the way. A match that asks for more than odometry can have drifted since the last
// correction is refused: a wrong match is far likelier than such a drift, and matching
// sparse sonar against a map smeared by the robot's own drift gives wrong matches that
// look firm.
#include "aria/ar_pose.h"
#include "nav/match/map_window.h"
#include "nav/match/scan_match.h"

// How uncertain the robot's pose is against the map: standard deviations.
struct PoseDoubt {
  double mm = 0;   // position, on either axis
  double deg = 0;  // heading
};

struct CorrectionLimits {
  int minPoints = 20;           // echoes the sub-map needs
  int minSupport = 12;          // of them, echoes close to a mapped obstacle after the correction
  // Of them, echoes from beams facing this many ways (sectors of MatchResult::facing, at
  // least waysEchoes each): sonar that answers only from surfaces met squarely, as real
  // sonar does, hears a few walls, and maps smeared along those few bias every match
  // made from them alike, however many blocks agree.
  int minWays = 9;
  int waysEchoes = 3;
  double maxSigmaMm = 90;       // a direction of the shift determined worse than this is left alone
  double maxSigmaDeg = 1.5;     // a turn determined worse than this is left alone
  double maxStepMm = 150;       // bound of one step's shift
  double maxStepDeg = 3;        // bound of one step's turn
  double contradictSigmas = 2;  // a correction beyond this many doubts is refused
  // How fast the doubt grows: odometry's heading drifts by a share of every turn (about
  // the wheelbase's error) and a little per metre, its position by a share of the
  // distance and by the heading's doubt over it.
  double turnShare = 0.01;
  double degPerMetre = 0.5;
  double distanceShare = 0.02;
  double maxDoubtMm = 1000;
  double maxDoubtDeg = 10;
};

// The doubt after driving distanceMm and turning turnDeg (unsigned amounts).
PoseDoubt grownDoubt(PoseDoubt doubt, double distanceMm, double turnDeg, const CorrectionLimits& limits = {});

enum class CorrectionVerdict {
  Applied,       // the step below is to be applied
  TooFewEchoes,  // too few echoes, too few of them near anything mapped, or from too few ways
  Ambiguous,     // neither the turn nor the shift in any direction is determined
  Contradicted,  // more than odometry can have drifted since the last correction
  AcrossWall,    // the step would carry the robot through a mapped obstacle
};

struct CorrectionStep {
  CorrectionVerdict verdict = CorrectionVerdict::TooFewEchoes;
  double dx = 0, dy = 0, dth = 0;  // as MatchResult: turn about the pivot, then shift
  bool partial = false;            // one direction of the shift was left alone
};

// Successive matches share most of their echoes and their map, so their errors do not
// average out from one to the next: taken one by one, a pose that odometry keeps well
// wanders with the matches' noise, and a few matches in a row, or matches from where the
// robot stands still, agree with each other as readily on a wrong correction as on a
// right one. The smoother holds the last KEPT matches' corrections (moved along with every
// step taken since) in BLOCKS blocks of consecutive ones, each block as long as the echo
// window, so that no two blocks share an echo, and passes on the mean of them all only
// where every block asks for it on its own: a turn beyond the dead band the same way in
// each block, a shift beyond it along the same direction in each, every block's echoes
// likelier by a margin at their correction than where odometry put them, and each block
// heard from elsewhere than the one before it. Its covariance is no smaller than the
// scatter such means show where nothing has drifted: a matcher that takes its correlated
// echoes for independent ones is surer than it is right.
// A block's shift counts only where echoes from beams facing both ways along it
// supported its matches (MatchResult::facing says why). Where the blocks agree on no correction
// the match is passed on with no correction and its own certainty, which lessens the
// pose's doubt, so that a pose that is good keeps a doubt that refuses large corrections;
// with keepDoubt, where they agree neither on a correction nor on none, it is passed on
// as determining nothing instead, so that a drift larger than the matches find at a time
// is not refused later as beyond odometry's.
class MatchSmoother {
 public:
  static constexpr int BLOCK = 4;            // matches in a block: two seconds, one echo window
  static constexpr int BLOCKS = 4;           // blocks that must agree
  static constexpr int KEPT = BLOCK * BLOCKS;
  static constexpr double DEAD_MM = 150;     // a block's shift shorter than this is none
  static constexpr double DEAD_DEG = 1.5;    // a block's turn smaller than this is none
  static constexpr double MARGIN = 2;        // a block's mean gain (log-likelihood) below this is none
  static constexpr double APART_MM = 300;    // successive blocks are heard this far apart
  static constexpr double APART_DEG = 30;    // or turned this much from each other
  static constexpr double FLOOR_MM = 40;     // the least standard deviation passed on, of the shift
  static constexpr double FLOOR_DEG = 0.7;   // and of the turn
  static constexpr int FACING_ECHOES = 3;    // supporting echoes per match from either way, on average

  explicit MatchSmoother(bool keepDoubt = false) : myKeepDoubt(keepDoubt) {}

  // The match of the robot at pivot with its correction replaced by the mean of the last
  // KEPT ones where the blocks agree on it, zero elsewhere (and none until there are KEPT).
  MatchResult smoothed(const MatchResult& match, const ArPose& pivot);
  // A step was taken: the kept corrections are that much smaller now.
  void stepped(const CorrectionStep& step);

 private:
  struct Kept {
    double dx, dy, dth, gain;
    ArPose pivot;
    int facing[FACING_SECTORS];
  };
  Kept myKept[KEPT] = {};
  int myCount = 0, myNext = 0;
  bool myKeepDoubt;
};

// Odometry's systematic heading error, learnt online from the turns the corrections take
// (after Roy and Thrun, "Online self-calibration for mobile robots", 1999): a drive whose
// wheelbase is not the nominal one turns a fixed share more or less than it counts, one
// whose wheels differ curves by a fixed angle per metre. Each turn correction is read as
// the error that share and that angle made of the turning and the driving since the one
// before, and a recursive least-squares estimate of the two (starting at none, so that a
// drive without the error keeps its odometry) gives the error to take off each motion
// before it accumulates. The estimate moves only with turn corrections and is bounded.
class HeadingCalibration {
 public:
  static constexpr double MAX_SHARE = 0.03;         // of each degree turned
  static constexpr double MAX_DEG_PER_METRE = 1;

  // The heading error odometry made of this motion (signed turn, distance), by the parts
  // of the estimate that are known to differ from none; the motion counts toward the next
  // correction.
  double expected(double turnDeg, double distanceMm);
  // A correction turned the heading by dth degrees.
  void corrected(double dth);
  double share() const { return myShare; }
  double degPerMetre() const { return myPerMetre; }

 private:
  double myShare = 0, myPerMetre = 0;
  // The estimate's covariance: a share of 1 % and 0.5 degrees per metre are likely.
  double myP[2][2] = {{1e-4, 0}, {0, 0.25}};
  double myTurn = 0, myMetres = 0, myTakenOff = 0;  // since the last turn correction
};

// The step to take toward the match's correction of the robot at pivot (its pose when its
// echoes were read), and doubt as it is after the step. Pure.
CorrectionStep decideCorrection(const MatchResult& match, const MapWindow& map, const ArPose& pivot, PoseDoubt& doubt,
                                const CorrectionLimits& limits = {});
