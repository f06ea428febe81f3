#pragma once
#include <cstdint>

// The pose correction thread (agent option --localize): every 500 ms it matches the
// robot's sonar echoes of the last seconds against the global map as it stood before
// them, and when the match is confident moves the robot's pose a bounded step toward it
// through the robot's moveTo, so that the messages, both maps, the behaviours and the
// files all see the corrected pose. The global map holds every reading the local map
// does and the teammates' besides, so a robot that enters an area a teammate mapped takes
// up the team's frame. Ends when exitFlag is found set after a sleep.
void localizerThread();

// Matches against the robot's own map as it stood ms ago (0, the default: as it is),
// where it knew the cells then. Called before the thread starts.
void setLocalizerLag(int64_t ms);

// One line on standard error with what the corrections did since the process started.
void reportLocalizerTotals();
