#pragma once
// The controller thread: runs the behaviour of the current mode, carries out the
// one-shot modes (save the maps, stop), and ends the pass when the robot is lost or
// stalled or the exit flag is set.

void controllerThread();

// Runs one dispatch of the given mode value (the controller's step for one mode).
void dispatchMode(int value);

// After a behaviour returned by itself: moves mode from `from` to manual mode, unless
// a command changed it meanwhile. Test and store are one hold of the mode mutex.
void finishBehaviourMode(int from);

