// ArRobot: life cycle, callbacks, connection entry points and state queries.
#include "aria/ar_robot.h"

#include <algorithm>
#include <cmath>

#include "aria/ar_robot_impl.h"

using namespace arrobot;

namespace {

void addCallback(std::mutex& m, std::list<ArFunctor*>& list, ArFunctor* f, ArListPos::Pos position) {
  if (!f) return;
  std::lock_guard<std::mutex> hold(m);
  if (position == ArListPos::FIRST) list.push_front(f);
  else list.push_back(f);
}

// True when bearing lies on the counter-clockwise arc from start to end.
bool withinArc(double bearing, double start, double end) {
  double span = std::fmod(end - start + 720.0, 360.0);
  double offset = std::fmod(bearing - start + 720.0, 360.0);
  return offset <= span;
}

ArPose interpolate(const ArPoseWithTime& a, const ArPoseWithTime& b, int64_t ms) {
  double span = static_cast<double>(b.getTime().getMSec() - a.getTime().getMSec());
  double f = span > 0 ? (ms - a.getTime().getMSec()) / span : 1.0;
  return ArPose(a.getX() + f * (b.getX() - a.getX()), a.getY() + f * (b.getY() - a.getY()),
                a.getTh() + f * ArMath::subAngle(b.getTh(), a.getTh()));
}

}  // namespace

ArRobot::ArRobot(const char*, bool, bool, bool, bool) : d(std::make_unique<Impl>(this)) { registerRobot(d.get()); }

// Ends the session quietly: the objects behind the callbacks may already be gone.
ArRobot::~ArRobot() {
  unregisterRobot(d.get());
  d->stopCycle(true);
  d->endQuietly();
}

void ArRobot::addConnectCB(ArFunctor* f, ArListPos::Pos p) { addCallback(d->callbackMutex, d->connectCBs, f, p); }
void ArRobot::addFailedConnectCB(ArFunctor* f, ArListPos::Pos p) {
  addCallback(d->callbackMutex, d->failedConnectCBs, f, p);
}
void ArRobot::addDisconnectNormallyCB(ArFunctor* f, ArListPos::Pos p) {
  addCallback(d->callbackMutex, d->disconnectNormallyCBs, f, p);
}
void ArRobot::addDisconnectOnErrorCB(ArFunctor* f, ArListPos::Pos p) {
  addCallback(d->callbackMutex, d->disconnectOnErrorCBs, f, p);
}

void ArRobot::addRangeDevice(ArRangeDevice* device) {
  if (!device) return;
  ArLockGuard hold(d->robotMutex);
  if (std::find(d->rangeDevices.begin(), d->rangeDevices.end(), device) != d->rangeDevices.end()) return;
  d->rangeDevices.push_back(device);
  device->setRobot(this);
}

void ArRobot::setDeviceConnection(ArDeviceConnection* connection) {
  if (d->connected.load()) return;  // the live session keeps its link
  d->connection.store(connection);
}

ArDeviceConnection* ArRobot::getDeviceConnection() const { return d->connection.load(); }

bool ArRobot::blockingConnect() { return d->connect(); }

void ArRobot::runAsync(bool stopRunIfNotConnected) {
  std::lock_guard<std::mutex> t(d->threadMutex);
  if (d->running.load()) return;
  if (d->cycleThread.joinable()) d->cycleThread.join();
  d->stopRunIfNotConnected = stopRunIfNotConnected;
  d->stopRequested = false;
  d->running = true;
  d->cycleThread = std::thread([this] { d->cycleLoop(); });
}

bool ArRobot::isRunning() const { return d->running.load(); }

void ArRobot::stopRunning(bool doDisconnect) {
  d->stopCycle(true);
  if (doDisconnect) disconnect();
}

bool ArRobot::disconnect() {
  if (!d->connected.load()) return false;
  d->sendCommand(arproto::STOP);
  d->sendCommand(arproto::CLOSE);
  d->endSession(EndKind::Normal);
  return true;
}

bool ArRobot::isConnected() const { return d->connected.load(); }

bool ArRobot::areMotorsEnabled() const {
  ArLockGuard hold(d->robotMutex);
  return d->flags & 1;
}

bool ArRobot::areSonarsEnabled() const {
  ArLockGuard hold(d->robotMutex);
  return d->flags & 2;
}

// Later poses, headings, the pose history and buffered readings move into the new frame.
void ArRobot::moveTo(ArPose pose, bool) {
  ArLockGuard hold(d->robotMutex);
  ArTransform next = ArTransform::between(d->rawPose, pose);
  ArTransform change = d->transform.inverse().then(next);
  d->transform = next;
  d->pose = next.apply(d->rawPose);
  for (ArPoseWithTime& p : d->history) p = change.apply(p);
  for (ArRangeDevice* dev : d->rangeDevices) dev->applyTransform(change);
  if (d->directRot.kind == RotKind::Heading) d->directRot.value = ArMath::fixAngle(d->directRot.value + change.rotation());
}

int ArRobot::getPoseInterpPosition(ArTime timeStamp, ArPose* position) {
  if (!position) return -3;
  ArLockGuard hold(d->robotMutex);
  const auto& h = d->history;
  int64_t ms = timeStamp.getMSec();
  if (h.empty() || ms < h.front().getTime().getMSec()) return -1;
  if (ms > h.back().getTime().getMSec()) return -2;
  auto after = std::lower_bound(h.begin(), h.end(), ms,
                                [](const ArPoseWithTime& p, int64_t t) { return p.getTime().getMSec() < t; });
  *position = after == h.begin() ? static_cast<ArPose>(*after) : interpolate(*(after - 1), *after, ms);
  return 1;
}

ArPose ArRobot::getPose() const {
  ArLockGuard hold(d->robotMutex);
  return d->pose;
}
double ArRobot::getX() const { return getPose().getX(); }
double ArRobot::getY() const { return getPose().getY(); }
double ArRobot::getTh() const { return getPose().getTh(); }

double ArRobot::getVel() const {
  ArLockGuard hold(d->robotMutex);
  return d->vel;
}

double ArRobot::getRotVel() const {
  ArLockGuard hold(d->robotMutex);
  return d->rotVel;
}

int ArRobot::getStallValue() const {
  ArLockGuard hold(d->robotMutex);
  return d->stall;
}
bool ArRobot::isLeftMotorStalled() const { return getStallValue() & 0x0001; }
bool ArRobot::isRightMotorStalled() const { return getStallValue() & 0x0100; }

int ArRobot::getNumSonar() const { return arproto::kGeometryDiscs; }

int ArRobot::getSonarRange(int disc) const {
  if (disc < 0 || disc >= arproto::kMaxSonarDiscs) return -1;
  ArLockGuard hold(d->robotMutex);
  return d->sonar[disc].range;
}

double ArRobot::checkRangeDevicesCurrentPolar(double startAngle, double endAngle, double* angle) const {
  ArLockGuard hold(d->robotMutex);
  int64_t oldest = ArTime::nowMSec() - kSonarFreshMs;
  double best = kNoObstacle;
  for (int disc = 0; disc < arproto::kGeometryDiscs; ++disc) {
    const Impl::SonarState& s = d->sonar[disc];
    if (s.range < 0 || s.range >= arproto::kNoEcho || s.ms < oldest) continue;
    ArPose p = arproto::sonarPointInRobotFrame(disc, s.range);
    double bearing = ArMath::atan2(p.getY(), p.getX());
    double dist = std::hypot(p.getX(), p.getY());
    if (dist >= best || !withinArc(bearing, startAngle, endAngle)) continue;
    best = dist;
    if (angle) *angle = bearing;
  }
  return best;
}

double ArRobot::getRobotRadius() const { return kRobotRadius; }

const char* ArRobot::getRobotName() const {
  ArLockGuard hold(d->robotMutex);
  return d->identity.name.c_str();
}
const char* ArRobot::getRobotType() const {
  ArLockGuard hold(d->robotMutex);
  return d->identity.robotClass.c_str();
}
const char* ArRobot::getRobotSubType() const {
  ArLockGuard hold(d->robotMutex);
  return d->identity.subclass.c_str();
}

int ArRobot::lock() { return d->robotMutex.lock(); }
int ArRobot::unlock() { return d->robotMutex.unlock(); }
int ArRobot::tryLock() { return d->robotMutex.tryLock(); }
