#pragma once
// The main routine: startUp, then passes until mode is MODE_STOP.

// One pass: connect the robot if needed, set up the network, clear the local map and
// load the global one, run the four worker threads until the exit flag is set, then
// tear down the network and the connection and save both maps.
void runPass();

// startUp and the passes. Returns the process status: 0, or 1 when no name could be read.
int agentMain();

// Creates the shared objects that follow the static ones, in order: the robot objects,
// then the maps. destroySharedObjects() removes them in the reverse order.
void createSharedObjects();
void destroySharedObjects();
