#pragma once
// Correlative scan matching (Olson, "Real-time correlative scan matching", ICRA 2009) of
// a robot's recent sonar echoes against a map. Sonar is sparse (16 beams, a handful of
// echoes per firing cycle), so the echoes of the last seconds, placed by odometry (which
// is good over so short a stretch), form one sub-map that is matched as a whole.
//
// An echo says that the nearest obstacle in the beam lies at its range, somewhere across
// the beam's width: on an arc about the sensor, not on the beam's axis where the map
// placed it. Every rigid correction within the search window (a turn about the robot's
// pose, then a shift) is scored against a likelihood field of the map, each echo by the
// likeliest point of its arc: near a mapped obstacle likely, in mapped free space
// unlikely, in unmapped space neither. The scores are read as log-likelihoods; the
// posterior over the window gives the correction (its mean) and its covariance, which
// says how well each direction is determined: along a featureless corridor the posterior
// is flat and the covariance large. The mean over the whole window lands between the grid's
// steps, and on the broad plateaus sonar gives it is steadier than the peak.
#include <span>

#include "aria/ar_pose.h"
#include "nav/match/map_window.h"

// A sonar echo in the map's frame, mm: where the beam's axis put it, where the robot stood
// when it was heard (the arc's centre), and by how many degrees its direction is less
// certain than the beam's width says (the robot turned while it was heard).
struct ScanPoint {
  double x = 0, y = 0;
  double fromX = 0, fromY = 0;
  double spreadDeg = 0;
};

struct MatchSettings {
  double searchMm = 400;      // the shifts tried: -searchMm to +searchMm on each axis
  double searchDeg = 5;       // the turns tried, likewise
  double stepMm = 50;         // the grid of shifts
  double stepDeg = 1;         // the grid of turns
  double fieldStepMm = 25;    // the likelihood field's cells (stepMm is a whole number of them)
  double sigmaMm = 100;       // spread of an echo about the obstacle that made it (one cell)
  double beamHalfDeg = 7.5;   // half the beam's width: the arc an echo may come from
  double arcStepDeg = 3.75;   // spacing of the points tried across the arc
};

// The supporting echoes by the direction their beam pointed in the map's frame, in
// FACING_SECTORS equal sectors counted anticlockwise from the x axis.
constexpr int FACING_SECTORS = 12;

// The correction: turn by dth degrees about the pivot, then shift by (dx, dy) mm.
struct MatchResult {
  bool scored = false;      // there were echoes to match
  double dx = 0, dy = 0, dth = 0;
  // Covariance of (dx, dy) in mm^2, and the standard deviation of dth in degrees.
  double covXX = 0, covXY = 0, covYY = 0;
  double sigmaTh = 0;
  int points = 0;   // echoes matched
  int support = 0;  // of them, those within two sigma of a mapped obstacle after the correction
  // The supporting echoes by the way their beams faced. A shift along a direction is
  // told apart from a bias of the ranges (a wall mapped a little nearer or farther than
  // the sonar hears it) only by echoes from beams facing both ways along it: a bias
  // moves echoes along their own beams, which from one side alone looks like a shift.
  int facing[FACING_SECTORS] = {};
  // How much likelier the echoes are at the best correction than where odometry put them:
  // the difference of their log-likelihoods.
  double gain = 0;
};

// Matches the echoes (in the map's frame as odometry placed them) against the map around
// pivot, the robot's current pose (the initial guess). Pure: reads only its arguments.
MatchResult matchScan(std::span<const ScanPoint> points, const ArPose& pivot, const MapWindow& map,
                      const MatchSettings& settings = {});

// How many of the supporting echoes had beams facing within 60 degrees of (ex, ey), a
// unit vector.
int echoesFacing(const int (&facing)[FACING_SECTORS], double ex, double ey);
// How many sectors at least least supporting echoes faced.
int waysFaced(const int (&facing)[FACING_SECTORS], int least);

// The pose a correction moves pose to (turned about pivot, then shifted).
ArPose correctedPose(const ArPose& pose, const ArPose& pivot, double dx, double dy, double dth);
