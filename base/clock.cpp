#include "base/clock.h"

#include <ctime>

uint32_t calendarSeconds() { return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr))); }
