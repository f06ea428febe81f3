#include "aria/ar_range_device.h"

#include <algorithm>
#include <deque>

#include "aria/ar_sip.h"

struct ArRangeDevice::Buffers {
  struct Entry {
    ArPoseWithTime point;
    int sensor;
  };
  std::deque<Entry> current;  // oldest first, one entry per sensor
  std::deque<ArPoseWithTime> cumulative;
  std::deque<SilentFiring> silent;
};

ArRangeDevice::ArRangeDevice(size_t currentBufferSize, size_t cumulativeBufferSize, const char* name)
    : myBuffers(std::make_unique<Buffers>()),
      myDeviceMutex(true),
      myName(name ? name : ""),
      myCurrentSize(currentBufferSize),
      myCumulativeSize(cumulativeBufferSize) {}

ArRangeDevice::~ArRangeDevice() = default;

const char* ArRangeDevice::getName() const { return myName.c_str(); }
void ArRangeDevice::setRobot(ArRobot* robot) { myRobot = robot; }
ArRobot* ArRangeDevice::getRobot() const { return myRobot; }
int ArRangeDevice::lockDevice() { return myDeviceMutex.lock(); }
int ArRangeDevice::unlockDevice() { return myDeviceMutex.unlock(); }
size_t ArRangeDevice::getCurrentBufferSize() const { return myCurrentSize; }
size_t ArRangeDevice::getCumulativeBufferSize() const { return myCumulativeSize; }

std::vector<ArPoseWithTime> ArRangeDevice::getCurrentBufferAsVector() const {
  ArLockGuard hold(myDeviceMutex);
  int64_t oldest = ArTime::nowMSec() - kCurrentMaxAgeMs;
  std::vector<ArPoseWithTime> out;
  out.reserve(myBuffers->current.size());
  for (const Buffers::Entry& e : myBuffers->current) {
    if (e.point.getTime().getMSec() >= oldest) out.push_back(e.point);
  }
  return out;
}

std::vector<ArPoseWithTime> ArRangeDevice::getCumulativeBufferAsVector() const {
  ArLockGuard hold(myDeviceMutex);
  return std::vector<ArPoseWithTime>(myBuffers->cumulative.begin(), myBuffers->cumulative.end());
}

void ArRangeDevice::setMaxRange(int maxRange) {
  ArLockGuard hold(myDeviceMutex);
  myMaxRange = std::max(maxRange, 0);
}

int ArRangeDevice::getMaxRange() const {
  ArLockGuard hold(myDeviceMutex);
  return myMaxRange;
}

bool ArRangeDevice::trustsRange(int range) const {
  ArLockGuard hold(myDeviceMutex);
  if (range >= arproto::kNoEcho) return false;
  return myMaxRange == 0 || range <= myMaxRange;
}

std::vector<ArRangeDevice::SilentFiring> ArRangeDevice::takeSilentFirings() {
  ArLockGuard hold(myDeviceMutex);
  std::vector<SilentFiring> out(myBuffers->silent.begin(), myBuffers->silent.end());
  myBuffers->silent.clear();
  return out;
}

void ArRangeDevice::addReading(const ArPoseWithTime& point, int sensor, int range) {
  ArLockGuard hold(myDeviceMutex);
  if (range >= arproto::kNoEcho) {
    if (myBuffers->silent.size() >= kMaxSilentFirings) myBuffers->silent.pop_front();
    myBuffers->silent.push_back({sensor, point.getTime()});
    return;
  }
  if (!trustsRange(range)) return;
  auto& current = myBuffers->current;
  std::erase_if(current, [&](const Buffers::Entry& e) {
    return e.sensor == sensor || point.getTime().getMSec() - e.point.getTime().getMSec() > kCurrentMaxAgeMs;
  });
  if (myCurrentSize > 0) {
    if (current.size() >= myCurrentSize) current.pop_front();
    current.push_back({point, sensor});
  }
  auto& cumulative = myBuffers->cumulative;
  if (myCumulativeSize > 0) {
    if (cumulative.size() >= myCumulativeSize) cumulative.pop_front();
    cumulative.push_back(point);
  }
}

void ArRangeDevice::applyTransform(const ArTransform& transform) {
  ArLockGuard hold(myDeviceMutex);
  for (Buffers::Entry& e : myBuffers->current) e.point = transform.apply(e.point);
  for (ArPoseWithTime& p : myBuffers->cumulative) p = transform.apply(p);
}

void ArRangeDevice::clearBuffers() {
  ArLockGuard hold(myDeviceMutex);
  myBuffers->current.clear();
  myBuffers->cumulative.clear();
  myBuffers->silent.clear();
}

ArSonarDevice::ArSonarDevice(size_t currentBufferSize, size_t cumulativeBufferSize, const char* name)
    : ArRangeDevice(currentBufferSize, cumulativeBufferSize, name) {}
ArSonarDevice::~ArSonarDevice() = default;

ArSick::ArSick(size_t currentBufferSize, size_t cumulativeBufferSize, const char* name, bool, bool)
    : ArRangeDevice(currentBufferSize, cumulativeBufferSize, name) {}
ArSick::~ArSick() = default;
