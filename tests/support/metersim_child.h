// Starts metersim as a child process for a test: the spawn, with its failure reported as a
// test failure.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "metersim_spawn.h"

namespace vpitest {

// As SpawnMeterSim; a pipe or spawn that fails is a failed expectation.
inline MeterSimChild StartMeterSim(std::vector<std::string> argv,
                                   const std::string& stderrPath = "/dev/null") {
    MeterSimChild child = SpawnMeterSim(std::move(argv), stderrPath);
    EXPECT_EQ(child.error, 0) << "metersim did not start: " << std::strerror(child.error);
    return child;
}

}  // namespace vpitest
