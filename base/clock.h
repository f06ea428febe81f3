#pragma once
#include <cstdint>

// The calendar time in seconds since the epoch, low 32 bits: the stamp of the peer table
// and of the J record, and the seed of the random generator.
uint32_t calendarSeconds();
