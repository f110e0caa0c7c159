// Telling the service manager how serve stands: ready, reloading, stopping, a status line, and
// the watchdog's pings. One back-end file each: service_notify_systemd.cpp where libsystemd is
// built in (Linux with libsystemd-dev), service_notify_none.cpp elsewhere, where every call does
// nothing; picked in host/platform/CMakeLists.txt.
#pragma once

#include <cstdint>
#include <string>

namespace host::platform {

// Whether this build can talk to a service manager at all (false: the calls below do nothing).
bool ServiceNotifyBuiltIn();

// Sends `state` ("READY=1", "STATUS=...", several joined by newlines) to the service manager
// that started this process ($NOTIFY_SOCKET). True when it was sent; false when no manager
// listens (started by hand) or the send failed. Logs nothing: the caller knows what it meant.
bool NotifyService(const std::string& state);

// The interval the service manager expects watchdog pings within, in microseconds
// ($WATCHDOG_USEC, meant for this process); 0 when it expects none.
std::int64_t ServiceWatchdogUsec();

}  // namespace host::platform
