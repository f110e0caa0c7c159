// Elapsed wall time for the tests that measure a wait.
#pragma once

#include <chrono>
#include <cstdint>

namespace vpitest {

using Clock = std::chrono::steady_clock;

inline std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace vpitest
