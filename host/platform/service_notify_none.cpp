// No service manager to talk to (Windows, or a build without libsystemd): nothing is sent.
#include "platform/service_notify.h"

namespace host::platform {

bool ServiceNotifyBuiltIn() {
    return false;
}

bool NotifyService(const std::string& state) {
    static_cast<void>(state);
    return false;
}

std::int64_t ServiceWatchdogUsec() {
    return 0;
}

}  // namespace host::platform
