// Elapsed wall time for the tests that measure a wait, and waiting for a condition.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace vpitest {

using Clock = std::chrono::steady_clock;

inline std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls `condition` every millisecond until it holds (true) or `timeoutMs` has passed (false):
// for a test that must wait for something to happen, instead of sleeping and assuming it did.
template <typename Condition>
bool WaitUntil(Condition condition, std::int64_t timeoutMs = 10000) {
    const auto start = Clock::now();
    while (!condition()) {
        if (MsSince(start) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vpitest
