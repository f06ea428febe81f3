#include "runtime/main_loop.h"

#include <pthread.h>

#include <cstring>
#include <iostream>

#include "aria/ar_util.h"
#include "net/mcast_socket.h"
#include "net/receiver.h"
#include "net/senders.h"
#include "robot/robot_setup.h"
#include "runtime/controller.h"
#include "runtime/startup.h"
#include "state/shared_state.h"

namespace {

constexpr unsigned RECONNECT_PAUSE_MS = 5000;
constexpr unsigned NETWORK_RETRY_PAUSE_MS = 1000;
constexpr unsigned EXIT_POLL_MS = 100;

using WorkerBody = void (*)();

// The four workers of a pass, in the order they start.
const WorkerBody WORKERS[] = {sensorSenderThread, receiverThread, controllerThread, poseSenderThread};
constexpr size_t WORKER_COUNT = sizeof WORKERS / sizeof WORKERS[0];

void* runWorker(void* body) {
  (*static_cast<const WorkerBody*>(body))();
  return nullptr;
}

// Starts the workers in order. A worker that cannot be started sets the exit flag so
// the ones already running end; the rest are not started. Returns how many started.
size_t startWorkers(pthread_t (&handles)[WORKER_COUNT]) {
  for (size_t i = 0; i < WORKER_COUNT; ++i) {
    int err = pthread_create(&handles[i], nullptr, runWorker, const_cast<WorkerBody*>(&WORKERS[i]));
    if (err != 0) {
      std::cerr << "cannot start worker thread: " << std::strerror(err) << std::endl;
      setExitFlag(1);
      return i;
    }
  }
  return WORKER_COUNT;
}

void reportLostRobot() { std::cerr << "Lost connection, will try again in a few seconds. . ." << std::endl; }

void loadMaps() {
  {
    ArLockGuard hold(localMap->mutex);
    localMap->clear();
  }
  std::cout << std::endl << "Reading global map. . . " << std::flush;
  ArLockGuard hold(globalMap->mutex);
  if (readGlobalMapFile())
    std::cout << "Global  map read." << std::endl;
  else
    std::cout << "Reading of the global map failed, continuing with a new map." << std::endl;
}

void closeNetwork() {
  leaveGroup();
  mcastSocket.close();
}

}  // namespace

void runPass() {
  if (!robotUp()) connectRobot();
  if (!robotUp()) {
    reportLostRobot();
    ArUtil::sleep(RECONNECT_PAUSE_MS);
    return;
  }
  if (setupNetwork() != 0) {
    std::cerr << "Cannot connect to network, will try again in a few seconds. . ." << std::endl;
    ArUtil::sleep(NETWORK_RETRY_PAUSE_MS);
    return;
  }
  loadMaps();
  setExitFlag(0);

  pthread_t workers[WORKER_COUNT];
  size_t started = startWorkers(workers);
  while (getExitFlag() == 0) ArUtil::sleep(EXIT_POLL_MS);
  for (size_t i = 0; i < started; ++i) pthread_join(workers[i], nullptr);

  closeNetwork();
  if (robotUp())
    disconnectRobot();
  else
    reportLostRobot();
  std::cout << "Saving the map files. . ." << std::endl;
  saveMaps();
  std::cout << "Done!" << std::endl;
}

int agentMain() {
  if (!startUp()) return 1;
  while (getMode() != MODE_STOP) runPass();
  return 0;
}

void createSharedObjects() {
  setupRobot();
  createMaps();
}

void destroySharedObjects() {
  destroyMaps();
  teardownRobot();
}
