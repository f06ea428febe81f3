#pragma once
// A point in time with millisecond resolution on the monotonic clock.
#include <chrono>
#include <cstdint>

class ArTime {
 public:
  ArTime() { setToNow(); }
  static ArTime fromMSec(int64_t ms) { ArTime t; t.myMs = ms; return t; }

  void setToNow() { myMs = nowMSec(); }
  int64_t getMSec() const { return myMs; }
  void setMSec(int64_t ms) { myMs = ms; }
  void addMSec(int64_t ms) { myMs += ms; }
  // Milliseconds from this time until now (negative for a future time).
  int64_t mSecSince() const { return nowMSec() - myMs; }
  int64_t mSecSince(const ArTime& since) const { return myMs - since.myMs; }
  bool isBefore(const ArTime& t) const { return myMs < t.myMs; }
  bool isAfter(const ArTime& t) const { return myMs > t.myMs; }

  static int64_t nowMSec() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }

 private:
  int64_t myMs = 0;
};
