#pragma once
// Range devices: the sonar ring (fed by the robot's cycle), and honest stand-ins for
// the laser and the gyro, which this layer does not drive.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"
#include "aria/ar_transform.h"

class ArRobot;

class ArRangeDevice {
 public:
  ArRangeDevice(size_t currentBufferSize, size_t cumulativeBufferSize, const char* name);
  virtual ~ArRangeDevice();
  ArRangeDevice(const ArRangeDevice&) = delete;
  ArRangeDevice& operator=(const ArRangeDevice&) = delete;

  const char* getName() const;
  virtual void setRobot(ArRobot* robot);
  ArRobot* getRobot() const;

  int lockDevice();
  int unlockDevice();

  // Copies of the buffers: points in the frame of the robot's pose (mm), each with the
  // time it was measured, oldest first. The caller holds the device lock (the copy
  // takes it too, recursively, so a caller that forgets cannot race the cycle).
  std::vector<ArPoseWithTime> getCurrentBufferAsVector() const;
  std::vector<ArPoseWithTime> getCumulativeBufferAsVector() const;
  size_t getCurrentBufferSize() const;
  size_t getCumulativeBufferSize() const;

  // Fed by the robot's cycle (which takes the device lock itself): the point one sensor
  // sensed at range mm. Only trusted ranges enter the buffers (see trustsRange). The
  // current buffer keeps the newest point of each sensor, the cumulative buffer the
  // last points in arrival order.
  void addReading(const ArPoseWithTime& point, int sensor, int range);
  // The longest range (mm) whose readings are trusted; 0 sets no limit of its own.
  // Ranges the robot reports as "nothing sensed" (5000 and beyond) are never trusted.
  void setMaxRange(int maxRange);
  int getMaxRange() const;
  bool trustsRange(int range) const;
  // The firings that heard nothing ("nothing sensed"), oldest first, with their sensor
  // and time; taking them empties the list, which keeps the last kMaxSilentFirings.
  struct SilentFiring {
    int sensor;
    ArTime time;
  };
  std::vector<SilentFiring> takeSilentFirings();
  static constexpr size_t kMaxSilentFirings = 64;
  // Moves every buffered point into a new frame (the robot's moveTo).
  void applyTransform(const ArTransform& transform);
  void clearBuffers();
  // Current-buffer points older than this are no longer handed out.
  static constexpr int64_t kCurrentMaxAgeMs = 1000;

 protected:
  struct Buffers;
  std::unique_ptr<Buffers> myBuffers;
  mutable ArMutex myDeviceMutex;
  ArRobot* myRobot = nullptr;
  std::string myName;
  size_t myCurrentSize;
  size_t myCumulativeSize;
  int myMaxRange = 0;
};

class ArSonarDevice : public ArRangeDevice {
 public:
  ArSonarDevice(size_t currentBufferSize = 24, size_t cumulativeBufferSize = 64, const char* name = "sonar");
  ~ArSonarDevice() override;
};

// No laser is driven by this layer: isConnected() is always false, so the laser
// start and stop steps of a program do nothing.
class ArSick : public ArRangeDevice {
 public:
  ArSick(size_t currentBufferSize = 361, size_t cumulativeBufferSize = 0, const char* name = "laser",
         bool addAriaExitCB = true, bool isSecondLaser = false);
  ~ArSick() override;
  bool isConnected() const { return false; }
  bool runAsync() { return false; }
  bool disconnect() { return false; }
  void stopRunning() {}
};

// No gyro is read by this layer; the object exists so programs can create it.
class ArAnalogGyro {
 public:
  explicit ArAnalogGyro(ArRobot* robot) : myRobot(robot) {}
  bool isActive() const { return false; }
  ArRobot* getRobot() const { return myRobot; }

 private:
  ArRobot* myRobot;
};
