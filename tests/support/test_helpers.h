#pragma once
// Shared pieces of the library tests: counting/recording callbacks and polling waits.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "aria/ar_functor.h"
#include "aria/ar_time.h"
#include "aria/ar_util.h"

namespace testsrv {

class CountingCallback : public ArFunctor {
 public:
  explicit CountingCallback(std::function<void()> also = {}) : myAlso(std::move(also)) {}
  void invoke() override {
    ++myCount;
    if (myAlso) myAlso();
  }
  int count() const { return myCount.load(); }

 private:
  std::atomic<int> myCount{0};
  std::function<void()> myAlso;
};

// Appends its tag to a shared log when invoked.
class TaggingCallback : public ArFunctor {
 public:
  TaggingCallback(std::vector<std::string>& log, std::mutex& m, std::string tag) : myLog(log), myMutex(m), myTag(std::move(tag)) {}
  void invoke() override {
    std::lock_guard<std::mutex> hold(myMutex);
    myLog.push_back(myTag);
  }

 private:
  std::vector<std::string>& myLog;
  std::mutex& myMutex;
  std::string myTag;
};

// Polls cond every 10 ms; true as soon as it holds, false after timeoutMs.
inline bool waitUntil(const std::function<bool()>& cond, int timeoutMs) {
  int64_t deadline = ArTime::nowMSec() + timeoutMs;
  while (ArTime::nowMSec() < deadline) {
    if (cond()) return true;
    ArUtil::sleep(10);
  }
  return cond();
}

// A loopback port on which nothing listens.
int unusedPort();

}  // namespace testsrv
