// Loads the driver module by path and calls VpiMain, exactly as a host does.
#pragma once

#include <cstdint>
#include <string>

#include "vpi_records.h"

namespace host::platform {

class DriverModule {
public:
    DriverModule() = default;
    // Unloads the module.
    ~DriverModule();
    // One owner: a copy would unload the module under the other.
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    // Loads the module and looks VpiMain up by name. False with `error` set on failure.
    bool Load(const std::string& path, std::string* error);

    // One VpiMain call.
    std::int32_t Call(VpiCall& call) const;

    // Convenience: a call block for `operation` on `channel` with `argument`.
    std::int32_t Call(VpiOperation operation, void* channel, void* argument,
                      std::int32_t vpiNumber = 1) const;

    // The module file beside the running program (satec_vpi.dll / libsatec_vpi.so), or on
    // POSIX, when there is none beside it, lib/satec-vpi/ of the prefix the program is installed
    // under (bin/../lib/satec-vpi/libsatec_vpi.so).
    static std::string DefaultPath();

private:
    using EntryPoint = std::int32_t(VPI_CALLCONV*)(VpiCall*);
    void* library_ = nullptr;
    EntryPoint entry_ = nullptr;
};

}  // namespace host::platform
