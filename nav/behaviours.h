#pragma once
// The behaviours the controller runs, one per mode. Each runs on the controller
// thread until its job is done, the mode changes, the exit flag is set, or the robot is
// lost or stalls (then it sets the exit flag). None stops the robot on the way out.

// Mode 1: stop, then drive by joystick 0.
void actStopAndManual();
// Mode 0: wander with the robot library's avoidance actions.
void actErratic();
// Mode 2: follow the potential field toward goalPose.
void actPotField();
// Mode 3: follow the field or the flood path toward goalPose.
void actPath();
// Mode 4: drive to frontiers of the global map until none is left to reach, leaving to
// teammates the frontiers they are closer to.
void actExplore();
