#include "runtime/main_loop.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>

#include "aria/aria.h"
#include "base/console.h"
#include "net/mcast_socket.h"
#include "net/receiver.h"
#include "nav/localizer.h"
#include "net/senders.h"
#include "robot/robot_setup.h"
#include "runtime/controller.h"
#include "runtime/map_files.h"
#include "runtime/startup.h"
#include "state/shared_state.h"

namespace {

constexpr unsigned RECONNECT_PAUSE_MS = 5000;
constexpr unsigned NETWORK_RETRY_PAUSE_MS = 1000;
constexpr unsigned EXIT_POLL_MS = 100;
// The part of the library's grace period after a stop signal that each map may wait
// for its mutex, leaving time for the writes themselves.
constexpr int SIGNAL_SAVE_WAIT_MS = 1500;

using WorkerBody = void (*)();

// The workers of a pass, in the order they start: the four of every agent, then the
// pose correction when it is on.
const WorkerBody WORKERS[] = {sensorSenderThread, receiverThread, controllerThread, poseSenderThread, localizerThread};
constexpr size_t WORKER_COUNT = sizeof WORKERS / sizeof WORKERS[0];
size_t workersOfThisAgent() { return localizing ? WORKER_COUNT : WORKER_COUNT - 1; }

// Set once a pass has loaded the maps: before that, a save would write empty maps over
// the files of an earlier run.
std::atomic<bool> mapsLoaded{false};

// After a stop signal the robot library has stopped the robot; both maps are saved
// before the process ends.
class SaveOnSignal : public ArFunctor {
 public:
  void invoke() override {
    if (!mapsLoaded.load()) return;
    writeLine(stderr, "Stopped by a signal: the robot is stopped, saving the map files");
    saveMaps(SIGNAL_SAVE_WAIT_MS);
  }
};
SaveOnSignal saveOnSignal;

void* runWorker(void* body) {
  (*static_cast<const WorkerBody*>(body))();
  return nullptr;
}

// Starts the workers in order. A worker that cannot be started sets the exit flag so
// the ones already running end; the rest are not started. Returns how many started.
size_t startWorkers(pthread_t (&handles)[WORKER_COUNT]) {
  const size_t count = workersOfThisAgent();
  for (size_t i = 0; i < count; ++i) {
    int err = pthread_create(&handles[i], nullptr, runWorker, const_cast<WorkerBody*>(&WORKERS[i]));
    if (err != 0) {
      writeLine(stderr, std::string("cannot start worker thread: ") + std::strerror(err));
      setExitFlag(1);
      return i;
    }
  }
  return count;
}

void reportLostRobot() { writeLine(stderr, "Lost connection, will try again in a few seconds. . ."); }

void closeNetwork() {
  leaveGroup();
  mcastSocket.close();
}

}  // namespace

// The group socket is set up once and kept from one pass to the next, listened to by
// betweenPasses while no receiver runs; only a socket that failed is set up again.
void runPass(CommandListener& betweenPasses) {
  if (!robotUp()) connectRobot();
  if (!robotUp()) {
    reportLostRobot();
    ArUtil::sleep(RECONNECT_PAUSE_MS);
    return;
  }
  if (!betweenPasses.stop()) closeNetwork();
  if (!mcastSocket.isOpen() && setupNetwork() != 0) {
    writeLine(stderr, "Cannot connect to network, will try again in a few seconds. . .");
    ArUtil::sleep(NETWORK_RETRY_PAUSE_MS);
    return;
  }
  loadMaps();
  mapsLoaded = true;
  setExitFlag(0);

  pthread_t workers[WORKER_COUNT];
  size_t started = startWorkers(workers);
  while (getExitFlag() == 0) ArUtil::sleep(EXIT_POLL_MS);
  for (size_t i = 0; i < started; ++i) pthread_join(workers[i], nullptr);
  if (localizing) reportLocalizerTotals();

  if (receiverFailed()) {
    closeNetwork();
  } else {
    betweenPasses.start();
  }
  if (robotUp())
    disconnectRobot();
  else
    reportLostRobot();
  writeLine(stdout, "Saving the map files. . .");
  saveMaps();
  writeLine(stdout, "Done!");
}

int agentMain(const AgentOptions& options) {
  if (!startUp(options.name, options.start)) return 1;
  removeStaleTempFiles();
  CommandListener betweenPasses;
  while (getMode() != MODE_STOP) runPass(betweenPasses);
  betweenPasses.stop();
  if (mcastSocket.isOpen()) closeNetwork();
  return 0;
}

void createSharedObjects(const RobotServer& server, int sonarMaxRange) {
  setupRobot(server, sonarMaxRange);
  createMaps();
  Aria::addExitCallback(&saveOnSignal);
}

void destroySharedObjects() {
  Aria::remExitCallback(&saveOnSignal);
  destroyMaps();
  teardownRobot();
}
