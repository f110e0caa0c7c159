// metersim on Windows: there is none (it simulates a line on a pseudo-terminal), so a start is
// refused and there is never anything to stop.
#include "platform/metersim_process.h"

namespace host::platform {

MeterSimProcess::~MeterSimProcess() = default;

bool MeterSimProcess::Supported() {
    return false;
}

SimStart MeterSimProcess::Start(std::vector<std::string>, const std::string&) {
    return SimStart::Unsupported;
}

int MeterSimProcess::Stop(int) {
    return -1;
}

int MeterSimProcess::Wait() {
    return -1;
}

int MeterSimProcess::Reap() {
    return -1;
}

}  // namespace host::platform
