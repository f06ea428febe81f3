#pragma once
// The agent's mode values: what the shared mode holds, what an M message carries, and
// what every program that commands agents sends.

constexpr int MODE_ERRATIC = 0;
constexpr int MODE_STOP_AND_MANUAL = 1;
constexpr int MODE_POT_FIELD = 2;
constexpr int MODE_PATH = 3;
// An extension: agents that do not know it treat it as invalid and wander (mode 0).
constexpr int MODE_EXPLORE = 4;
constexpr int MODE_SAVE_MAPS = 98;
constexpr int MODE_STOP = 99;
