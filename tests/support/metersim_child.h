// Starts metersim for a test through the one launcher the host tool and the benchmarks use
// too (host/platform/metersim_process.h); a pipe or spawn that fails is a failed expectation.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/metersim_process.h"

namespace vpitest {

// Starts `argv` (argv[0] is the program) on `sim`, its standard error to `stderrPath` (empty:
// ours). True once it has said where it listens; a simulator that refuses its arguments and
// ends is no failure here, the caller looks at FirstLine() or Wait().
inline bool StartMeterSim(host::platform::MeterSimProcess& sim, std::vector<std::string> argv,
                          const std::string& stderrPath = "/dev/null") {
    const host::platform::SimStart started = sim.Start(std::move(argv), stderrPath);
    EXPECT_TRUE(started == host::platform::SimStart::Started ||
                started == host::platform::SimStart::Silent)
        << "metersim did not start: " << std::strerror(sim.Error());
    return started == host::platform::SimStart::Started;
}

}  // namespace vpitest
