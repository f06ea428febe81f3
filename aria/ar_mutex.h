#pragma once
// The robot library's mutex. Constructed with true it is recursive: the owning
// thread may lock it again, and must unlock it as often.
#include <chrono>
#include <mutex>
#include <thread>

class ArMutex {
 public:
  explicit ArMutex(bool recursive = true) : myRecursive(recursive) {}
  ArMutex(const ArMutex&) = delete;
  ArMutex& operator=(const ArMutex&) = delete;

  // Both return 0 on success, like the library's own calls.
  int lock() {
    if (myRecursive) myRec.lock(); else myPlain.lock();
    return 0;
  }
  int unlock() {
    if (myRecursive) myRec.unlock(); else myPlain.unlock();
    return 0;
  }
  // 0 when the lock was taken, 1 when it is held elsewhere.
  int tryLock() { return (myRecursive ? myRec.try_lock() : myPlain.try_lock()) ? 0 : 1; }
  // As tryLock, waiting at most ms milliseconds. Threads that must stay responsive to a
  // stop request (the robot's cycle) use this instead of lock(). Polls try_lock rather
  // than a timed lock: the timed lock on the steady clock is invisible to thread
  // sanitizers, and one on the wall clock would stretch when the clock is set back.
  int tryLockFor(unsigned ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (tryLock() == 0) return 0;
      if (std::chrono::steady_clock::now() >= deadline) return 1;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }

 private:
  bool myRecursive;
  std::recursive_timed_mutex myRec;
  std::timed_mutex myPlain;
};

// Scoped hold of an ArMutex.
class ArLockGuard {
 public:
  explicit ArLockGuard(ArMutex& m) : myMutex(m) { myMutex.lock(); }
  ~ArLockGuard() { myMutex.unlock(); }
  ArLockGuard(const ArLockGuard&) = delete;
  ArLockGuard& operator=(const ArLockGuard&) = delete;

 private:
  ArMutex& myMutex;
};
