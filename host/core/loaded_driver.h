// The driver module as one run of vpihost holds it: loaded once, called, and its log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/driver_log.h"
#include "platform/driver_module.h"

namespace host::core {

class LoadedDriver {
public:
    // Loads the module at `path` (empty: beside the program) unless it is loaded already.
    // False, with `error` set, when it does not load.
    [[nodiscard]] bool Load(const std::string& path, std::string* error);

    // One VpiMain call for `operation` on `channel` with `argument`.
    std::int32_t Call(VpiOperation operation, void* channel, void* argument) const {
        return module_.Call(operation, channel, argument);
    }

    DriverLog& Log() { return log_; }

    // The driver's log lines since the last TakeLog(), oldest first.
    std::vector<LogLine> TakeLog() { return log_.Take(); }

private:
    platform::DriverModule module_;
    bool loaded_ = false;
    DriverLog log_;
};

}  // namespace host::core
