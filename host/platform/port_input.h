// Dropping what a serial port queued before a listener began: the system's own input flush,
// which also empties the buffers the serial layer's reads cannot see yet. One back-end file
// each (port_input_posix.cpp, port_input_win32.cpp), picked in host/platform/CMakeLists.txt.
#pragma once

#include <cstdint>

namespace host::platform {

// Discards every byte received on the open port `handle` (the serial layer's handle: a POSIX
// descriptor or a Win32 HANDLE) and not read yet, in the terminal's queue and the driver's.
// False when the system refused.
bool DiscardPortInput(std::uint32_t handle);

}  // namespace host::platform
