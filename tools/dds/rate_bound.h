#pragma once
// A bound on the datagrams a bridge passes per source: a token bucket of perSecond
// tokens a second holding half a second's worth (an agent sends its readings in bursts
// every 500 ms), over a table of at most maxSources buckets so that a flood of senders
// cannot grow it without end (when full, buckets idle long enough to have refilled are
// forgotten; past that, new sources share one bucket).
#include <cstddef>
#include <cstdint>
#include <unordered_map>

class RateBound {
 public:
  enum class Verdict { Pass, Drop, FirstDrop };  // FirstDrop: the source starts dropping now

  RateBound(double perSecond, size_t maxSources);
  Verdict admit(uint64_t source, int64_t nowNs);
  long dropped() const { return myDropped; }
  size_t sources() const { return myBuckets.size(); }

  // The key new sources share when the table is full.
  static constexpr uint64_t OVERFLOW_SOURCE = ~uint64_t{0};
  // A source that passed everything this long counts as calm again: its next drop is a
  // FirstDrop.
  static constexpr int64_t CALM_NS = 5'000'000'000;

 private:
  struct Bucket {
    double tokens;
    int64_t lastNs;
    int64_t lastDropNs;
  };
  Bucket& bucketOf(uint64_t source, int64_t nowNs);
  void forgetIdle(int64_t nowNs);

  double myRate, myCapacity;
  size_t myMaxSources;
  long myDropped = 0;
  std::unordered_map<uint64_t, Bucket> myBuckets;
};
