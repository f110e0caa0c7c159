// What differs between POSIX and Windows on the host side: calendar time, terminals and the
// process id. One back-end file each (platform_posix.cpp, platform_win32.cpp), picked in
// host/CMakeLists.txt; nothing else in the host tool tests the platform.
#pragma once

#include <cstdio>
#include <ctime>

namespace host::platform {

// The calendar fields of `seconds` in UTC (UtcTime) or in the local time zone (LocalTime).
// False, with `fields` untouched, when the system cannot convert the time.
bool UtcTime(std::time_t seconds, std::tm* fields);
bool LocalTime(std::time_t seconds, std::tm* fields);

// True when `stream` is a terminal (a live status line only makes sense there).
bool IsTerminal(std::FILE* stream);

// This process's id, for names that must not collide with another run's.
long ProcessId();

}  // namespace host::platform
