// Loading the driver module once per run.
#include "core/loaded_driver.h"

namespace host::core {

bool LoadedDriver::Load(const std::string& path, std::string* error) {
    if (loaded_) return true;
    loaded_ = module_.Load(path.empty() ? platform::DriverModule::DefaultPath() : path, error);
    return loaded_;
}

}  // namespace host::core
