#pragma once
// Library start-up and shut-down, and the umbrella include.
#include "aria/ar_actions.h"
#include "aria/ar_functor.h"
#include "aria/ar_math.h"
#include "aria/ar_mutex.h"
#include "aria/ar_pose.h"
#include "aria/ar_range_device.h"
#include "aria/ar_robot.h"
#include "aria/ar_tcp_connection.h"
#include "aria/ar_time.h"
#include "aria/ar_util.h"

class Aria {
 public:
  enum SigHandleMethod { SIGHANDLE_SINGLE = 0, SIGHANDLE_THREAD = 1, SIGHANDLE_NONE = 2 };
  // With SIGHANDLE_THREAD (1), SIGINT and SIGTERM stop every robot at once and close its
  // session; no robot connects again. Then the exit callbacks run, and the process ends
  // with status 128 + the signal's number: when they are done, after EXIT_GRACE_MS at
  // the latest, or at once on a second signal. Call before any other thread exists.
  static void init(SigHandleMethod method = SIGHANDLE_THREAD, bool initSockets = true,
                   bool sigHandleExitNotShutdown = true);
  // Stops every robot's cycle thread. The library stays usable: a later connect works.
  static void shutdown();

  static constexpr int EXIT_GRACE_MS = 5000;
  // Functors the signal handling runs, in the order added, on a thread of its own.
  static void addExitCallback(ArFunctor* functor);
  // Once this returns, the functor is not running and will not run. While the signal
  // handling runs the callbacks it does not return: the process ends first.
  static void remExitCallback(ArFunctor* functor);
};
