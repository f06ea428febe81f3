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
  TooFewEchoes,  // too few echoes, or too few of them near anything mapped
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
// wanders with the matches' noise. The smoother holds the last few matches' corrections
// (moved along with every step taken since) and passes on their mean, with the parts
// smaller than a dead band set to zero: only a correction that the matches agree on, and
// that is larger than their noise, moves the pose.
class MatchSmoother {
 public:
  static constexpr int KEPT = 4;            // matches averaged: two seconds of them
  static constexpr double DEAD_MM = 50;     // a mean shift shorter than this is none
  static constexpr double DEAD_DEG = 1;     // a mean turn smaller than this is none

  // The match with its correction replaced by the dead-banded mean of the last KEPT
  // ones (none until there are KEPT).
  MatchResult smoothed(const MatchResult& match);
  // A step was taken: the kept corrections are that much smaller now.
  void stepped(const CorrectionStep& step);

 private:
  struct Kept {
    double dx, dy, dth;
  };
  Kept myKept[KEPT] = {};
  int myCount = 0, myNext = 0;
};

// The step to take toward the match's correction of the robot at pivot (its pose when its
// echoes were read), and doubt as it is after the step. Pure.
CorrectionStep decideCorrection(const MatchResult& match, const MapWindow& map, const ArPose& pivot, PoseDoubt& doubt,
                                const CorrectionLimits& limits = {});
