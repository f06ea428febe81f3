#pragma once
// Steps every behaviour's loop shares. The caller holds the robot lock.

// The robot is not connected, its cycle does not run, or a wheel is stalled.
bool robotLostOrStalled();
// A behaviour's loop ends: the mode is no longer startMode, or the robot is lost or
// stalled (which also sets the exit flag so that the pass ends).
bool behaviourMustEnd(int startMode);
// Lets the robot's own cycle and the other threads have the robot for ms milliseconds.
void sleepUnlocked(unsigned ms);
