#pragma once
// The main routine: startUp, then passes until mode is MODE_STOP.
#include "net/receiver.h"
#include "runtime/agent_options.h"

// One pass: connect the robot if needed, set up the network unless it is still up,
// clear the local map and load the global one, run the four worker threads until the
// exit flag is set, then hand the network to betweenPasses (which applies the commands
// that arrive until the next pass), tear the connection down and save both maps.
void runPass(CommandListener& betweenPasses);

// startUp and the passes. Returns the process status: 0, or 1 when no name could be read.
int agentMain(const AgentOptions& options);

// Creates the shared objects that follow the static ones, in order: the robot objects
// (connected to the given server, its sonar trusting ranges up to sonarMaxRange mm), then the maps. From then on a stop signal saves
// both maps, once a pass has loaded them, before the process ends.
// destroySharedObjects() removes them in the reverse order.
void createSharedObjects(const RobotServer& server, int sonarMaxRange);
void destroySharedObjects();
