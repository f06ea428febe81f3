#pragma once
#include <chrono>
#include <thread>

namespace ArUtil {
// Sleeps the calling thread for ms milliseconds.
inline void sleep(unsigned int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace ArUtil
