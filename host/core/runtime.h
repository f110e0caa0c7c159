// What every command works with: the program's own options, the loaded driver and its log,
// and the exit status the run has come to.
#pragma once

#include <string>

#include "core/exit_status.h"
#include "core/loaded_driver.h"

namespace host::core {

struct Runtime {
    std::string modulePath;  // --module; empty: beside the program, or installed
    bool quietLog = false;   // --quiet: keep the driver's log lines off stderr
    ExitStatus exit;
    LoadedDriver driver;
};

}  // namespace host::core
