#include "nav/plan/frontier_target.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A region holds the current target when one of its cells lies this close to it (mm).
constexpr double KEEP_RADIUS_MM = 1500;

double distance(const ArPose& p, double x, double y) { return std::hypot(p.getX() - x, p.getY() - y); }

// The lowest travel cost to any cell of the region, TRAVEL_UNREACHED when none is reached.
int32_t regionCost(const TravelCosts& costs, const FrontierRegion& region) {
  int32_t best = TRAVEL_UNREACHED;
  for (const GridCell& c : region.cells) best = std::min(best, costs.costAt(c.x, c.y));
  return best;
}

double regionLine(const ArPose& from, const FrontierRegion& region, double res) {
  double best = std::numeric_limits<double>::infinity();
  for (const GridCell& c : region.cells) best = std::min(best, distance(from, cellCentre(c.x, res), cellCentre(c.y, res)));
  return best;
}

}  // namespace

void Blacklist::add(const ArPose& place, double now) {
  for (Entry& e : myEntries) {
    if (std::hypot(e.x - place.getX(), e.y - place.getY()) > myRadius) continue;
    if (e.until <= now) e.until = std::numeric_limits<double>::infinity();
    return;
  }
  myEntries.push_back({place.getX(), place.getY(), now + myHold});
}

bool Blacklist::expiring(double now) const {
  return std::any_of(myEntries.begin(), myEntries.end(), [now](const Entry& e) { return e.until > now && std::isfinite(e.until); });
}

bool Blacklist::covers(double x, double y, double now) const {
  for (const Entry& e : myEntries) {
    if (e.until > now && std::hypot(e.x - x, e.y - y) <= myRadius) return true;
  }
  return false;
}

size_t Blacklist::size(double now) const {
  return static_cast<size_t>(std::count_if(myEntries.begin(), myEntries.end(), [now](const Entry& e) { return e.until > now; }));
}

double cellCentre(int32_t c, double res) {
  if (c == 0) return 0;
  return c > 0 ? (c + 0.5) * res : (c - 0.5) * res;
}

FrontierPlanner::FrontierPlanner(const TargetWeights& weights)
    : myWeights(weights),
      myGrid(weights.travel),
      myBlacklist(weights.blacklistMm, weights.blacklistSeconds) {}

void FrontierPlanner::giveUpTarget(double now) {
  if (myTarget) myBlacklist.add(*myTarget, now);
  myTarget.reset();
}

// A region's target is its cheapest cell at least aheadMm away, so that the robot does
// not creep from one frontier cell beside it to the next; the cheapest at least minMm
// away where the region has no cell that far. A cell the robot may stand on comes
// before a barred one (a doorway narrowed by stray echoes: driving there, the robot
// sees through it or stops for what is really there). Blacklisted cells are never
// targets.
std::vector<FrontierPlanner::Candidate> FrontierPlanner::candidatesFor(const std::vector<FrontierRegion>& regions,
                                                                       const ArPose& robot, double now,
                                                                       size_t& setAsideOnly) const {
  const double res = myGrid.res();
  std::vector<Candidate> candidates;
  for (const FrontierRegion& region : regions) {
    // By preference: standing room far enough ahead, standing room, barred cells, cells
    // reached only through a long run of barred cells.
    Candidate best[4];
    for (Candidate& c : best) c = {&region, {}, TRAVEL_UNREACHED, regionLine(robot, region, res)};
    bool anySetAside = false;
    for (const GridCell& cell : region.cells) {
      const int32_t cost = myOwn.costAt(cell.x, cell.y);
      const double x = cellCentre(cell.x, res), y = cellCentre(cell.y, res);
      const double line = distance(robot, x, y);
      if (cost == TRAVEL_UNREACHED || !myGrid.seenFree(cell.x, cell.y)) continue;
      if (line < myWeights.minMm) continue;
      if (myBlacklist.covers(x, y, now)) {
        anySetAside = true;
        continue;
      }
      const bool longBarred = myOwn.barredRun(cell.x, cell.y) > myWeights.maxBarredRun;
      Candidate& c = best[longBarred ? 3 : !myGrid.passable(cell.x, cell.y) ? 2 : line >= myWeights.aheadMm ? 0 : 1];
      if (cost >= c.cost) continue;
      c.cost = cost;
      c.target = cell;
    }
    const size_t before = candidates.size();
    for (const Candidate& c : best) {
      if (c.cost == TRAVEL_UNREACHED) continue;
      candidates.push_back(c);
      break;
    }
    if (candidates.size() == before && anySetAside) ++setAsideOnly;
  }
  return candidates;
}

// A region is claimed by the first teammate that is closer to it than the robot: by
// travel cost for the nearest maxPeerCosts teammates, by straight line for the others and
// for a teammate whose own costs cannot be had (both sides measured the same way).
void FrontierPlanner::markClaims(const std::vector<ArPose>& peers, std::vector<Candidate>& candidates) {
  const double res = myGrid.res();
  int32_t dearest = 0;  // a teammate's costs beyond the dearest candidate's claim nothing
  for (const Candidate& c : candidates) dearest = std::max(dearest, c.cost);
  for (size_t i = 0; i < peers.size(); ++i) {
    const ArPose& peer = peers[i];
    const bool byCost = i < myWeights.maxPeerCosts && myPeer.compute(myGrid, peer, dearest);
    for (Candidate& c : candidates) {
      if (c.claimed) continue;
      c.claimed = byCost ? regionCost(myPeer, *c.region) < c.cost : regionLine(peer, *c.region, res) < c.line;
    }
  }
}

TargetChoice FrontierPlanner::choose(const MapWindow& map, const ArPose& robot, const std::vector<ArPose>& peers,
                                     double now) {
  TargetChoice choice;
  const std::optional<ArPose> keep = myTarget;
  myTarget.reset();
  const std::vector<FrontierRegion> regions = findFrontiers(map, myWeights.limits);
  choice.regions = regions.size();
  if (regions.empty()) return choice;
  myGrid.read(map);
  if (!myOwn.compute(myGrid, robot)) return choice;
  if (keep) {
    // A target that no way reaches although a robot could stand there is walled off. One
    // that became too near an obstacle (a wall seen beside it) is merely dropped.
    const GridCell at = myGrid.cellOf(*keep);
    if (myGrid.passable(at.x, at.y) && myOwn.costAt(at.x, at.y) == TRAVEL_UNREACHED) {
      myBlacklist.add(*keep, now);
      choice.setAside = true;
    }
  }

  std::vector<Candidate> candidates = candidatesFor(regions, robot, now, choice.setAsideOnly);
  choice.reachable = candidates.size();
  if (candidates.empty()) return choice;

  std::vector<ArPose> nearestFirst = peers;
  std::sort(nearestFirst.begin(), nearestFirst.end(), [&robot](const ArPose& a, const ArPose& b) {
    return robot.findDistanceTo(a) < robot.findDistanceTo(b);
  });
  markClaims(nearestFirst, candidates);

  const double res = myGrid.res();
  auto score = [&](const Candidate& c) {
    const auto size = static_cast<double>(std::min<size_t>(c.region->cells.size(), myWeights.gainCapCells));
    double cells = static_cast<double>(c.cost) / TRAVEL_STEP - myWeights.gainPerCell * size;
    if (c.region->cells.size() < static_cast<size_t>(myWeights.littleRegionCells)) cells += myWeights.littleGainCells;
    if (myOwn.barredRun(c.target.x, c.target.y) > myWeights.maxBarredRun) cells += myWeights.longBarredCells;
    if (c.claimed) cells += myWeights.peerClaimCells;
    if (keep && regionLine(*keep, *c.region, res) <= KEEP_RADIUS_MM) cells -= myWeights.keepCells;
    return cells;
  };
  const Candidate* best = &candidates.front();
  double bestScore = score(*best);
  for (const Candidate& c : candidates) {
    const double s = score(c);
    if (s < bestScore) {
      best = &c;
      bestScore = s;
    }
  }

  choice.found = true;
  choice.target = ArPose(cellCentre(best->target.x, res), cellCentre(best->target.y, res));
  choice.pathCost = static_cast<double>(best->cost) / TRAVEL_STEP;
  choice.leftToPeer = best->claimed;
  for (const GridCell& cell : myOwn.pathTo(best->target.x, best->target.y))
    choice.path.emplace_back(cellCentre(cell.x, res), cellCentre(cell.y, res));
  myTarget = choice.target;
  return choice;
}
