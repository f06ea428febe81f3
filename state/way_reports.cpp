#include "state/way_reports.h"

void WayReports::post(uint16_t status, const ArPose& at) {
  ArLockGuard hold(myMutex);
  const WayReport report{status, at.getX(), at.getY()};
  if (myWaiting.size() >= MOST_WAITING) myWaiting.erase(myWaiting.begin());
  myWaiting.push_back(report);
  myCurrent = report;
}

void WayReports::endCurrent() {
  ArLockGuard hold(myMutex);
  myCurrent.reset();
}

std::vector<WayReport> WayReports::take(int64_t nowMs) {
  ArLockGuard hold(myMutex);
  std::vector<WayReport> reports;
  reports.swap(myWaiting);
  const bool repeat = !myTaken || nowMs - myTakenMs >= 1000;
  if (reports.empty() && repeat && myCurrent) reports.push_back(*myCurrent);
  if (reports.empty()) return reports;
  myTaken = true;
  myTakenMs = nowMs;
  return reports;
}
