// Line speeds outside the standard termios table, for the POSIX serial back-end.
#pragma once

#include <cstdint>

namespace serial::posix_speed {

#if defined(__linux__)
// Sets input and output speed of the terminal `fd` to `baud` bits per second through the
// kernel's arbitrary-speed interface, and checks what the line took: within 2 % of the rate
// asked (a UART's divisor rounds). False when the system refuses or rounds further.
[[nodiscard]] bool SetCustomSpeed(int fd, std::uint32_t baud);

// The output speed the terminal `fd` holds, in bits per second, whatever way it was set; 0
// when it cannot be read.
[[nodiscard]] std::uint32_t CurrentSpeed(int fd);
#else
// Elsewhere termios knows only its standard speeds.
[[nodiscard]] inline bool SetCustomSpeed(int, std::uint32_t) {
    return false;
}
[[nodiscard]] inline std::uint32_t CurrentSpeed(int) {
    return 0;
}
#endif

}  // namespace serial::posix_speed
