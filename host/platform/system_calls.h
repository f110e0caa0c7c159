// The C runtime's calls that differ between POSIX and Windows on the host side: local calendar
// time, terminals and the process id. One back-end file each (system_calls_posix.cpp,
// system_calls_win32.cpp), picked in host/platform/CMakeLists.txt.
#pragma once

#include <cstdio>
#include <ctime>

namespace host::platform {

// The calendar fields of `seconds` in the local time zone. False, with `fields` untouched, when
// the system cannot convert the time.
bool LocalTime(std::time_t seconds, std::tm* fields);

// True when `stream` is a terminal (a live status line only makes sense there).
bool IsTerminal(std::FILE* stream);

// This process's id, for names that must not collide with another run's.
long ProcessId();

}  // namespace host::platform
