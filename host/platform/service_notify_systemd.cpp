// The service manager through libsystemd's sd_notify: its socket comes from $NOTIFY_SOCKET,
// which systemd sets for a Type=notify unit (and a test may set for its own socket).
#include <systemd/sd-daemon.h>

#include "platform/service_notify.h"

namespace host::platform {

bool ServiceNotifyBuiltIn() {
    return true;
}

bool NotifyService(const std::string& state) {
    // > 0: sent; 0: no $NOTIFY_SOCKET; < 0: -errno. The variables stay set (unset_environment
    // 0), for every later call.
    return sd_notify(0, state.c_str()) > 0;
}

std::int64_t ServiceWatchdogUsec() {
    std::uint64_t usec = 0;
    // > 0: enabled for this process (WATCHDOG_PID, if set, is ours); 0: not; < 0: -errno.
    if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
    return static_cast<std::int64_t>(usec);
}

}  // namespace host::platform
