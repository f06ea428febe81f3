#pragma once
// A sonar model for ultrasonic range sensors, beside the ray rule of map_updates.h.
//
// The ray rule puts an echo on the beam's axis, frees every cell up to it and lets one
// free pass erase a wall. Here a reading is what a Polaroid-class transducer reports: the
// nearest surface that answered somewhere in its 15-degree cone (Moravec & Elfes 1985;
// Elfes 1989). So:
//   - the cells inside the cone, well short of the range, gain free evidence;
//   - the cells on the arc at the range gain occupied evidence, shared over the arc, so
//     that readings from several poses meet at the true surface;
//   - evidence is log-odds (hit +0.85, free -0.4, clamped to [-2, 3.5], as occupancy
//     libraries commonly default), so a wall seen many times outlasts stray rays;
//   - a beam does not pass what the map holds as occupied: behind such a cell, in its
//     sector of the cone, it neither frees cells nor places its echo;
//   - a known obstacle that the cone meets at a grazing angle is left alone, however
//     little evidence it holds: a smooth wall reflects such a beam away instead of
//     answering (Konolige 1997);
//   - a beam that heard nothing says, weakly, that its first metre and a half is free:
//     never enough on its own to make a cell known free (a wall met at a grazing angle
//     is silent too), and it never lowers a cell that holds occupied evidence;
//   - unless the discs around it on the ring heard nothing either, just before and from
//     about the same place: a wall near the robot faces one of nine discs 20 to 40
//     degrees apart squarely enough to answer, so such a quiet beam frees its cells as
//     an echo's cone does;
//   - a long echo whose neighbour on one side heard nothing is suspect on that side: a
//     smooth wall there, met at a grazing angle, answers neither beam, and the echo came
//     from the rest of the cone. Beyond its first metre that side of the cone gains no
//     free evidence, right up to the axis, which such a wall may well cross. Beyond 3 m,
//     where the cone is 0.8 m wide, a silent disc two along the ring makes that side
//     suspect too.
// Readings repeated while the robot stands still are not new evidence (StillBeams).
//
// The evidence lives in the cell's occupancy byte. A cell stays unknown to every reader
// until its evidence says free or occupied clearly enough (as a ROS trinary map leaves
// the cells between its free and occupied thresholds unknown); meanwhile the byte of
// the unknown cell holds the evidence as a signed number. A known cell holds it through
// a monotone map in which 64 and above is positive evidence, so "obstacle at 64" stays
// the model's decision boundary and every reader of a map (planners, files, pictures,
// older agents) keeps working. A known cell never becomes unknown again.
#include <array>
#include <cstdint>
#include <string_view>

#include "aria/ar_pose.h"
#include "map/occupancy_map.h"

// How an agent turns sonar readings into map updates.
enum class MapModel { Ray, Sonar };
// "ray" or "sonar"; false for any other name.
bool readMapModel(std::string_view name, MapModel& model);
const char* mapModelName(MapModel model);

// Evidence of a cell in steps of 0.05 log-odds: below 0 says free, above 0 occupied.
constexpr int EVIDENCE_MIN = -40;        // p(occupied) 0.12
constexpr int EVIDENCE_MAX = 70;         // p(occupied) 0.97
constexpr int EVIDENCE_HIT = 17;         // an echo on the axis at short range: p 0.7
constexpr int EVIDENCE_FREE = -8;        // a pass through the cone: p 0.4
constexpr int EVIDENCE_SILENT = -4;      // a beam that heard nothing
constexpr int EVIDENCE_KNOWN_FREE = -8;      // an unknown cell becomes known free here (p 0.4) ...
constexpr int EVIDENCE_KNOWN_OCCUPIED = 12;  // ... and a known obstacle here (p 0.65)
// Silence alone never says more than this, just short of known free: a smooth wall met
// at a grazing angle is as silent as open space.
constexpr int EVIDENCE_SILENT_FLOOR = EVIDENCE_KNOWN_FREE + 1;
// A known obstacle with any occupied evidence outlasts beams that graze it: a beam that
// meets a smooth wall flatly is reflected away and says nothing about it.
constexpr int EVIDENCE_CONFIRMED = 1;

// The cell's evidence; a cell no update touched has none (0).
int cellEvidence(MapCell c);
// The cell with its evidence set (clamped) and the other bits kept; unknown cleared once
// the evidence passes EVIDENCE_KNOWN_FREE or EVIDENCE_KNOWN_OCCUPIED, or already clear.
MapCell withEvidence(MapCell c, int evidence);

// The transducers' cone and where evidence goes along it, mm.
constexpr double SONAR_BEAM_DEG = 15;          // the cone's full width
constexpr double SONAR_FREE_MARGIN_MM = 150;   // free evidence stops this far short of the echo
constexpr double SONAR_ARC_HALF_MM = 71;       // the arc's half depth: every direction meets a cell centre
constexpr double SONAR_SILENT_REACH_MM = 1500; // how far a silent beam vouches for free space
constexpr double SONAR_NO_ECHO_MM = 5000;      // the range a robot reports for "nothing sensed"
constexpr int SONAR_QUIET_NEIGHBOURS = 4;       // discs either side on the ring that must be silent too ...
constexpr double SONAR_QUIET_MOVE_MM = 300;     // ... their last beams fired within this of the robot's place
constexpr double SONAR_SUSPECT_RANGE_MM = 2000; // an echo beyond this may be suspect on a side ...
constexpr double SONAR_SUSPECT_FROM_MM = 1000;  // ... that gains no free evidence beyond this
constexpr double SONAR_SUSPECT_WIDE_MM = 3000;  // beyond this the second disc along counts too

// One firing of one transducer: where it sat and pointed, and what it heard.
struct SonarBeam {
  double x = 0, y = 0;  // the transducer, mm
  double th = 0;        // its axis, degrees
  double range = 0;     // mm to the echo
  int disc = -1;        // the disc of the robot's ring; -1 when the reading matched none
  bool heard = true;    // false: nothing answered within the sonar's range
  bool quiet = false;   // silent, and so were the discs around it (StillBeams::quietAround)
  // An echo beyond SONAR_SUSPECT_RANGE_MM whose neighbour on the ring counter-clockwise
  // (left of the axis) or clockwise (right) last heard nothing from about the same place
  // (beyond SONAR_SUSPECT_WIDE_MM: either of the two discs on that side).
  bool suspectLeft = false, suspectRight = false;
};

// The beam that made a reading seen from robotPose: the ring disc (robot layer's
// geometry) whose axis passes through the point, else a beam from the robot's centre
// through the point (a robot with another ring).
SonarBeam beamOfReading(const ArPose& point, const ArPose& robotPose);
// The beam of a disc of the ring (0 to 15) that heard nothing, at robotPose.
SonarBeam silentBeam(const ArPose& robotPose, int disc);

// The last beam of each disc of one robot. A beam of the same disc with the same range
// (within the sensor's noise) from the same pose is the robot standing still and
// hearing the same thing again: no new evidence.
class StillBeams {
 public:
  // True when beam repeats its disc's last beam from robotPose; otherwise remembers it.
  bool repeats(const SonarBeam& beam, const ArPose& robotPose);
  // True when the last beam of disc (taken round the ring) heard nothing and was fired
  // within SONAR_QUIET_MOVE_MM of robotPose.
  bool silentAt(int disc, const ArPose& robotPose) const;
  // True when the SONAR_QUIET_NEIGHBOURS discs either side of disc are all silentAt.
  bool quietAround(int disc, const ArPose& robotPose) const;
  // Sets an echo's suspect sides from its neighbours' last beams.
  void judgeEcho(SonarBeam& beam, const ArPose& robotPose) const;

 private:
  struct Last {
    bool valid = false, heard = false;
    double x = 0, y = 0, th = 0, range = 0;
  };
  std::array<Last, 16> myLast{};
};

// The footprint a reading's robot pose stamps (map_updates.h: own or peer style).
enum class FootprintStyle { Own, Peer };

// Stamps the robot's footprint at robotPose, then applies the beam's evidence: free in
// the cone short of the range and occupied on the arc, or the weak free evidence of a
// silent beam. An echo at SONAR_NO_ECHO_MM or beyond is none a sonar makes and adds
// only the footprint. False, changing nothing, when a coordinate lies beyond
// MAP_COORD_BOUND_MM or is not finite.
bool markSonarReading(OccupancyMap& map, const SonarBeam& beam, const ArPose& robotPose, FootprintStyle style);
// An echo without its beam: occupied evidence at the point's cell.
bool markSonarHit(OccupancyMap& map, const ArPose& point);
