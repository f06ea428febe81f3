#include "tools/dds/rate_bound.h"

#include <algorithm>

RateBound::RateBound(double perSecond, size_t maxSources)
    : myRate(perSecond), myCapacity(std::max(1.0, perSecond / 2)), myMaxSources(std::max<size_t>(1, maxSources)) {}

void RateBound::forgetIdle(int64_t nowNs) {
  const auto refillNs = static_cast<int64_t>(myCapacity / myRate * 1e9);
  std::erase_if(myBuckets, [&](const auto& entry) { return nowNs - entry.second.lastNs > refillNs; });
}

RateBound::Bucket& RateBound::bucketOf(uint64_t source, int64_t nowNs) {
  if (auto found = myBuckets.find(source); found != myBuckets.end()) return found->second;
  if (myBuckets.size() >= myMaxSources) forgetIdle(nowNs);
  if (myBuckets.size() >= myMaxSources) source = OVERFLOW_SOURCE;
  return myBuckets.try_emplace(source, Bucket{myCapacity, nowNs, nowNs - CALM_NS - 1}).first->second;
}

RateBound::Verdict RateBound::admit(uint64_t source, int64_t nowNs) {
  Bucket& b = bucketOf(source, nowNs);
  b.tokens = std::min(myCapacity, b.tokens + static_cast<double>(nowNs - b.lastNs) * 1e-9 * myRate);
  b.lastNs = nowNs;
  if (b.tokens >= 1.0) {
    b.tokens -= 1.0;
    return Verdict::Pass;
  }
  ++myDropped;
  const bool calm = nowNs - b.lastDropNs > CALM_NS;
  b.lastDropNs = nowNs;
  return calm ? Verdict::FirstDrop : Verdict::Drop;
}
