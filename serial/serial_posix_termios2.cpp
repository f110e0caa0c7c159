// Arbitrary line speeds on Linux (termios2 with BOTHER). A file of its own: the kernel's
// termios header and the C library's <termios.h> cannot be included together.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial_posix_speed.h"

namespace serial::posix_speed {

namespace {

// ioctl: 0 or -1, retried on EINTR.
template <typename Arg>
int Ioctl(int fd, unsigned long request, Arg* arg) {
    int result = ioctl(fd, request, arg);
    while (result == -1 && errno == EINTR) result = ioctl(fd, request, arg);
    return result;
}

}  // namespace

bool SetCustomSpeed(int fd, std::uint32_t baud) {
    termios2 tio{};
    if (Ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (Ioctl(fd, TCSETS2, &tio) != 0) return false;
    termios2 applied{};
    if (Ioctl(fd, TCGETS2, &applied) != 0) return false;
    const std::uint32_t got = applied.c_ospeed;
    const std::uint32_t off = got > baud ? got - baud : baud - got;
    return off * 50u <= baud;
}

std::uint32_t CurrentSpeed(int fd) {
    termios2 tio{};
    return Ioctl(fd, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
}

}  // namespace serial::posix_speed
