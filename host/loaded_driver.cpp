// Loading the driver module once per run.
#include "loaded_driver.h"

namespace host {

bool LoadedDriver::Load(const std::string& path, std::string* error) {
    if (loaded_) return true;
    loaded_ = module_.Load(path.empty() ? DriverModule::DefaultPath() : path, error);
    return loaded_;
}

}  // namespace host
