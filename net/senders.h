#pragma once
// The two threads that put this agent's data on the group. Both send to groupAddr
// through mcastSocket; the messages come back to this agent's own receiver as well.

// A D message with the robot's pose at once, then one every 1000 ms (plus the time to
// send it), until exitFlag is found set after a sleep. With pose correction on, a C
// message follows each D.
void poseSenderThread();

// Every 500 ms (plus the cycle's work): an E message for every sonar point whose robot
// pose at the reading's time is known, an O message for every other point, with the
// sonar model (mapModel) an S message for every robot cycle whose firings included
// silent discs, then a P message with the robot's pose, then a T message for every
// way status the behaviours reported since (the current one again every second).
// exitFlag is checked once per cycle, at its end, so a
// begun cycle always completes.
void sensorSenderThread();
