#pragma once
// The choice of where to explore next: among the frontier regions of a map, the one with
// the best trade of path cost from the robot against size, leaving to a teammate the
// regions it is closer to, and never a place set aside as unreachable.
#include <cstddef>
#include <optional>
#include <vector>

#include "aria/ar_pose.h"
#include "nav/plan/frontiers.h"
#include "nav/plan/map_window.h"
#include "nav/plan/travel_costs.h"

// Places that proved unreachable, each set aside for a while. Frontier cells within
// radiusMm of one are not targets until it expires. A place that fails again, once its
// first time expired, is set aside for good.
class Blacklist {
 public:
  Blacklist(double radiusMm, double holdSeconds) : myRadius(radiusMm), myHold(holdSeconds) {}

  void add(const ArPose& place, double now);
  bool covers(double x, double y, double now) const;
  size_t size(double now) const;
  // Some place is set aside for a while only: it may become a target again.
  bool expiring(double now) const;
  void clear() { myEntries.clear(); }

 private:
  struct Entry {
    double x, y, until;
  };
  double myRadius, myHold;
  std::vector<Entry> myEntries;
};

// Costs are counted in cells of open floor (TRAVEL_STEP each).
struct TargetWeights {
  double gainPerCell = 0.25;      // cells of path one frontier cell is worth
  int gainCapCells = 40;          // a region counts as at most this many cells
  int littleRegionCells = 12;     // a smaller region (a corner behind furniture, a pocket the beams
  double littleGainCells = 100;   // missed) costs this much more, so it comes after the larger ones
  double peerClaimCells = 400;    // added to the cost of a region a teammate is closer to
  double keepCells = 50;          // taken off the cost of the region of the current target
  int maxBarredRun = 12;          // a way through more barred cells in a row than this (a gap
  double longBarredCells = 300;   // behind furniture) costs this much more, after open ways
  double minMm = 400;             // frontier cells this close to the robot are never targets
  double aheadMm = 1000;          // and cells closer than this only where a region has no other
  size_t maxPeerCosts = 4;        // teammates further down the list are compared by straight line
  double blacklistMm = 1000;      // radius of a place set aside as unreachable
  double blacklistSeconds = 60;   // and for how long
  FrontierLimits limits;
  TravelWeights travel;
};

struct TargetChoice {
  bool found = false;
  ArPose target;               // the centre of the target cell, mm
  double pathCost = 0;         // from the robot's cell, in cells of open floor
  std::vector<ArPose> path;    // cell centres from the robot's cell to the target, mm
  size_t regions = 0;          // frontier regions found
  size_t reachable = 0;        // of which the robot can reach a cell that may be a target
  bool leftToPeer = false;     // the chosen region is one a teammate is closer to
  bool setAside = false;       // the previous target became unreachable and was blacklisted
  size_t setAsideOnly = 0;     // regions the robot can reach whose every possible target is set aside
};

// The centre of cell c of a grid of cell size res, in mm (cell 0 spans (-res, res)).
double cellCentre(int32_t c, double res);

class FrontierPlanner {
 public:
  explicit FrontierPlanner(const TargetWeights& weights = {});

  // Chooses the next target over the map window; peers are the teammates' last poses
  // (not the robot itself), now is in seconds on any steady clock. The region of the
  // current target gets the keepCells bonus, so the choice does not flicker; a current
  // target that the robot can no longer reach (walls seen since enclose it) is
  // blacklisted first. A teammate outside the window is compared by straight line.
  TargetChoice choose(const MapWindow& map, const ArPose& robot, const std::vector<ArPose>& peers, double now);
  // The robot makes no headway toward the current target: it is blacklisted and dropped.
  void giveUpTarget(double now);
  // Frontier cells round a place are blacklisted (a place that held the robot).
  void setAside(const ArPose& place, double now) { myBlacklist.add(place, now); }
  // Takes up the places an earlier planner set aside.
  void keepSetAside(const Blacklist& places) { myBlacklist = places; }
  // Every place set aside may be a target again.
  void forgetSetAside() { myBlacklist.clear(); }
  const std::optional<ArPose>& currentTarget() const { return myTarget; }
  const Blacklist& blacklist() const { return myBlacklist; }

 private:
  struct Candidate {
    const FrontierRegion* region;
    GridCell target;
    int32_t cost;    // from the robot, TRAVEL_STEP per cell of open floor
    double line;     // straight-line distance from the robot to the nearest cell, mm
    bool claimed = false;
  };

  // setAsideOnly counts the regions whose only possible targets are set aside.
  std::vector<Candidate> candidatesFor(const std::vector<FrontierRegion>& regions, const ArPose& robot, double now,
                                       size_t& setAsideOnly) const;
  void markClaims(const std::vector<ArPose>& peers, std::vector<Candidate>& candidates);

  TargetWeights myWeights;
  TravelGrid myGrid;
  TravelCosts myOwn;
  TravelCosts myPeer;
  Blacklist myBlacklist;
  std::optional<ArPose> myTarget;
};
