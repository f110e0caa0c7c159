// A test fixture with the real module loaded as vpihost loads it (from beside the program),
// its log lines taken in by the host's logging library.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/loaded_driver.h"

namespace vpitest {

class LoadedDriverTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(driver_.Load("", &error)) << error;
        driver_.Log().Install(true);
    }

    host::core::LoadedDriver driver_;
};

}  // namespace vpitest
